#include "options.h"

#include "charset.h"

#include <QRegularExpression>

#include <algorithm>

namespace qelto::common {

namespace {

// `pattern` with %1 and %2 replaced in one pass (QString::arg would warn about a %2 that a
// message does not use).
QString fill(const QString& pattern, const QString& typed, const QString& value = {}) {
    QString out;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == u'%' && i + 1 < pattern.size() &&
            (pattern[i + 1] == u'1' || pattern[i + 1] == u'2')) {
            out += pattern[++i] == u'1' ? typed : value;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

QString missingOf(const Option& o) {
    return o.missingMessage.isEmpty() ? QStringLiteral("%1 需要一个值") : o.missingMessage;
}

QString invalidOf(const Option& o) {
    if (!o.invalidMessage.isEmpty()) return o.invalidMessage;
    if (o.kind == ValueKind::Count)
        return QStringLiteral("%1 的值应为 ") + QString::number(o.min) + QStringLiteral(" 到 ") +
               QString::number(o.max) + QStringLiteral(" 之间的整数");
    return QStringLiteral("%1 的值“%2”不是时长（例如 24h）");
}

const Option* optionNamed(const CommandLine& line, const QString& name) {
    for (const Section& s : line.sections)
        for (const Option& o : s.options)
            if (o.names.contains(name)) return &o;
    return nullptr;
}

QString labelOf(const Option& o) {
    if (!o.label.isEmpty()) return o.label;
    QStringList shorts, longs;
    for (const QString& n : o.names) (n.startsWith(u"--") ? longs : shorts) << n;
    QString label = (shorts + longs).join(QStringLiteral(", "));
    if (!o.valueName.isEmpty()) label += u' ' + o.valueName;
    return label;
}

}  // namespace

QString CommandLine::helpText() const {
    int widest = 0;  // the column of the sections that leave it to their labels
    for (const Section& s : sections)
        if (s.inHelp && s.column == 0)
            for (const Option& o : s.options)
                if (!o.hidden && !o.description.isEmpty())
                    widest = std::max(widest, displayWidth(labelOf(o)) + 2);
    QString text;
    for (const Section& s : sections) {
        if (!s.inHelp) continue;
        text += s.head;
        const int column = s.column == 0 ? widest : s.column;
        const QString indent(2 + column, u' ');
        for (const Option& o : s.options) {
            if (o.hidden) continue;
            const QString label = labelOf(o);
            text += QStringLiteral("  ") + label;
            if (o.description.isEmpty()) {
                text += u'\n';
                continue;
            }
            const int pad = column - displayWidth(label);
            text += pad < 2 ? u'\n' + indent : QString(pad, u' ');
            text += QString(o.description).replace(u'\n', u'\n' + indent) + u'\n';
        }
        text += s.tail;
    }
    return text;
}

namespace {

// The option among `args` (before "--") that ends the reading at once, such as --help, when the
// line says such options come first.
const Option* stoppingOption(const CommandLine& line, const QStringList& args) {
    const QStringList before =
        line.endOfOptions ? args.mid(0, args.indexOf(QStringLiteral("--"))) : args;
    for (const Section& s : line.sections)
        for (const Option& o : s.options)
            if (o.stops && std::any_of(o.names.begin(), o.names.end(),
                                       [&](const QString& n) { return before.contains(n); }))
                return &o;
    return nullptr;
}

// The value of `o` as typed (`--name=value`, or the next argument, which moves `i` on) into
// `given`; the problem when it is missing or empty where it may not be.
QString takeValue(const Option& o, const QString& typed, const std::optional<QString>& inlineValue,
                  const QStringList& args, qsizetype& i, ParsedLine::Given& given) {
    if (o.valueOnlyInline) {
        if (inlineValue) given.value = *inlineValue;
    } else if (o.kind != ValueKind::Flag) {
        if (inlineValue)
            given.value = *inlineValue;
        else if (i + 1 < args.size())
            given.value = args[++i];
        else
            return fill(missingOf(o), typed);
    }
    if (given.value.isNull() || !given.value.isEmpty() || o.empty == Empty::Allowed) return {};
    if (o.empty == Empty::Missing) return fill(missingOf(o), typed);
    return fill(o.emptyMessage.isEmpty() ? QStringLiteral("%1 的值不能为空") : o.emptyMessage,
                typed);
}

// A duration or a count read into `given.number`; the problem when the text is not one.
QString readNumber(const Option& o, const QString& typed, ParsedLine::Given& given) {
    if (o.kind == ValueKind::Duration) {
        const std::optional<qint64> seconds = durationSeconds(given.value);
        if (!seconds) return fill(invalidOf(o), typed, given.value);
        given.number = *seconds;
    } else if (o.kind == ValueKind::Count) {
        bool ok = false;
        given.number = given.value.toInt(&ok);
        if (!ok || given.number < o.min || given.number > o.max)
            return fill(invalidOf(o), typed, given.value);
    }
    return {};
}

// One option at args[i] (which may move on past its value) added to `parsed`; false, with the
// problem in `parsed`, when the reading ends here.
bool readOption(const CommandLine& line, const QStringList& args, qsizetype& i,
                ParsedLine& parsed) {
    const QString& a = args[i];
    QString typed = a;
    std::optional<QString> inlineValue;
    if (const qsizetype eq = a.indexOf(u'='); a.startsWith(u"--") && eq > 2) {
        typed = a.left(eq);
        inlineValue = a.mid(eq + 1);
    }
    const Option* o = optionNamed(line, typed);
    if (o && inlineValue && o->kind == ValueKind::Flag && !line.unexpectedValueMessage.isEmpty()) {
        parsed.problem = fill(line.unexpectedValueMessage, typed);
        return false;
    }
    if (!o || (inlineValue && o->kind == ValueKind::Flag)) {
        parsed.problem = fill(line.unknownMessage, a);
        parsed.unknownOption = typed;
        return false;
    }
    ParsedLine::Given given{o->names, typed, {}, 0};
    parsed.problem = takeValue(*o, typed, inlineValue, args, i, given);
    if (parsed.problem.isEmpty()) parsed.problem = readNumber(*o, typed, given);
    if (parsed.problem.isEmpty() && o->repeat == Repeat::Once &&
        std::any_of(parsed.given.begin(), parsed.given.end(),
                    [o](const ParsedLine::Given& g) { return g.names == o->names; }))
        parsed.problem = fill(line.onceMessage, typed);
    if (!parsed.problem.isEmpty()) return false;
    parsed.given.push_back(std::move(given));
    if (!o->stops) return true;
    parsed.stoppedAt = o->names.first();
    return false;
}

}  // namespace

ParsedLine parse(const CommandLine& line, const QStringList& args) {
    ParsedLine parsed;
    if (line.stopsFirst) {
        if (const Option* o = stoppingOption(line, args)) {
            parsed.stoppedAt = o->names.first();
            return parsed;
        }
    }
    bool options = true;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (options && line.endOfOptions && a == u"--") {
            options = false;
        } else if (!options || !a.startsWith(u'-')) {
            if (line.maxOperands >= 0 && parsed.operands.size() >= line.maxOperands) {
                parsed.problem = fill(line.extraOperandMessage, a);
                return parsed;
            }
            parsed.operands << a;
        } else if (!readOption(line, args, i, parsed)) {
            return parsed;
        }
    }
    return parsed;
}

const ParsedLine::Given* ParsedLine::last(const QString& name) const {
    for (auto g = given.rbegin(); g != given.rend(); ++g)
        if (g->names.contains(name)) return &*g;
    return nullptr;
}

bool ParsedLine::isSet(const QString& name) const {
    return last(name) != nullptr;
}

QString ParsedLine::value(const QString& name) const {
    const Given* g = last(name);
    return g ? g->value : QString();
}

std::optional<QString> ParsedLine::optionalValue(const QString& name) const {
    const Given* g = last(name);
    if (!g) return std::nullopt;
    return g->value;
}

QStringList ParsedLine::values(const QString& name) const {
    QStringList all;
    for (const Given& g : given)
        if (g.names.contains(name)) all << g.value;
    return all;
}

QString ParsedLine::typed(const QString& name) const {
    const Given* g = last(name);
    return g ? g->typed : QString();
}

std::optional<qint64> ParsedLine::number(const QString& name) const {
    const Given* g = last(name);
    if (!g) return std::nullopt;
    return g->number;
}

std::optional<qint64> durationSeconds(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9})([smhd])$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch()) return std::nullopt;
    const qint64 unit = m.captured(2) == u"s"   ? 1
                        : m.captured(2) == u"m" ? 60
                        : m.captured(2) == u"h" ? 3600
                                                : 86400;
    const qint64 seconds = m.captured(1).toLongLong() * unit;
    if (seconds <= 0 || seconds > qint64(3653) * 86400) return std::nullopt;
    return seconds;
}

QDateTime timeArgument(const QString& text, const QDateTime& now) {
    if (const std::optional<qint64> ago = durationSeconds(text)) return now.addSecs(-*ago);
    QString t = text.trimmed();
    t.replace(u'T', u' ');
    for (const char* format : {"yyyy-MM-dd", "yyyy-MM-dd HH:mm", "yyyy-MM-dd HH:mm:ss"}) {
        const QDateTime when = QDateTime::fromString(t, QLatin1String(format));
        if (when.isValid()) return when;
    }
    return {};
}

}  // namespace qelto::common
