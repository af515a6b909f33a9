#include "rules.h"

#include "forms.h"
#include "wmi/error.h"

namespace qelto::scan {

using wmi::Variant;

namespace {

bool holds(const Test& test, Walk& w) {
    try {
        return test(w);
    } catch (const wmi::Error&) {
        return false;
    } catch (const forms::ValueError&) {
        return false;
    }
}

void note(ScanEnv& env, const QString& query, const wmi::Error& e) {
    if (!env.problems) return;
    Problem p;
    p.query = query;
    p.number = e.number();
    p.description = e.description();
    env.problems->push_back(std::move(p));
}

// A property the object has but whose value could not be read; each one once per scan, however
// often the rows read it. A property the object does not have is no problem: sources leave out
// what they do not know.
void noteUnreadable(ScanEnv& env, const Origin& origin, const QString& property,
                    const wmi::Error& e) {
    if (!env.problems || e.number() == wmi::code::NotFound || !origin.query) return;
    if (env.moreUnreadable) return;
    const QString query = *origin.query;
    const QString key = query + u'\n' + QString::number(origin.number) + u'\n' + property;
    if (env.unreadable.contains(key)) return;
    if (env.unreadable.size() >= kMaxValueProblems) {
        env.moreUnreadable = true;
        return;
    }
    env.unreadable.insert(key);
    Problem p;
    p.kind = Problem::Kind::Value;
    p.query = query;
    p.number = e.number();
    p.description = e.description();
    p.property = property;
    p.object = origin.number;
    env.problems->push_back(std::move(p));
}

void noteTreeFull(ScanEnv& env) {
    if (env.treeFullNoted) return;
    env.treeFullNoted = true;
    if (!env.problems) return;
    Problem p;
    p.kind = Problem::Kind::TreeFull;
    p.description = treeFullNotice();
    env.problems->push_back(std::move(p));
}

// A value as it enters the scan, with every NUL of its text as U+FFFD. A NUL is no character a
// line, a report or an archive can hold: PostgreSQL refuses the whole row, SQLite keeps it and C
// strings end at it. Made here, where every source's values come in, the tree, the record, the
// report and both engines all hold the same text.
Variant withoutNul(Variant v) {
    if (v.isText() && v.textValue().contains(QChar(0)))
        return QString(v.textValue()).replace(QChar(0), QChar(QChar::ReplacementCharacter));
    if (v.isArray()) {
        Variant::Array items = v.arrayValue();
        for (Variant& item : items) item = withoutNul(std::move(item));
        return items;
    }
    return v;
}

// A property of an object of the walk; a failed read is noted and thrown on.
Variant read(Walk& w, const wmi::Object* object, const Origin& origin, const QString& property) {
    try {
        return withoutNul(object->get(property));
    } catch (const wmi::Error& e) {
        noteUnreadable(w.env, origin, property, e);
        throw;
    }
}

// Whether a value equals a numeric code; Null never does, a value that is no number fails.
bool equalsNumber(const Variant& v, qint64 code) {
    const auto n = forms::toNumber(v);
    return n && *n == static_cast<double>(code);
}

QString joinText(const Text& text, Walk& w) {
    QString out;
    for (const Piece& p : text)
        out += p.value ? forms::asText(p.value(w), w.env.locale) : p.literal;
    return out;
}

}  // namespace

QString treeFullNotice() {
    return QStringLiteral("配置树已达到 %1 行的上限，其余的行未加入。")
        .arg(InventoryTree::kMaxLines);
}

QString Key::make(const Walk& w) const {
    switch (kind) {
        case Kind::Fixed:
            return base;
        case Kind::Counted:
            return base + QString::number(w.n);
        case Kind::CountedElement:
            if (w.elementIndex == 0) return base + QString::number(w.n);
            // Further elements of the same array: a dot never stands in any other key.
            return base + QString::number(w.n) + u'.' + QString::number(w.elementIndex);
        case Kind::Element:
            return base + QString::number(w.elementIndex);
    }
    return base;
}

// --- Values -------------------------------------------------------------------------------------

Value prop(const char* name) {
    return [n = QString::fromUtf8(name)](Walk& w) -> Variant {
        if (!w.object) throw forms::ValueError("no current object");
        return read(w, w.object, w.objectOrigin, n);
    };
}

Value outerProp(const char* name) {
    return [n = QString::fromUtf8(name)](Walk& w) -> Variant {
        if (!w.outer) throw forms::ValueError("no outer object");
        return read(w, w.outer, w.outerOrigin, n);
    };
}

Value element() {
    return [](Walk& w) -> Variant {
        if (!w.element) throw forms::ValueError("no current element");
        return *w.element;
    };
}

Value elementNumber() {
    return [](Walk& w) { return Variant(w.elementIndex + 1); };
}

Value counter() {
    return [](Walk& w) { return Variant(w.n); };
}

Value counterMinus(qint64 k) {
    return [k](Walk& w) { return Variant(w.n - k); };
}

Value tally() {
    return [](Walk& w) { return Variant(w.tally); };
}

Value total() {
    return [](Walk& w) { return w.total; };
}

Value field(Field f) {
    return [f](Walk& w) { return w.env.record.*f; };
}

Value zero() {
    return [](Walk&) { return Variant(qint64{0}); };
}

Value concat(Text text) {
    return [text = std::move(text)](Walk& w) { return Variant(joinText(text, w)); };
}

Value trimmed(Value v) {
    return [v = std::move(v)](Walk& w) -> Variant {
        const Variant x = v(w);
        if (x.isNull()) return x;
        const QString s = forms::asText(x, w.env.locale);
        qsizetype b = 0, e = s.size();
        while (b < e && s[b] == u' ') ++b;
        while (e > b && s[e - 1] == u' ') --e;
        return Variant(s.mid(b, e - b));
    };
}

Value left(Value v, int count) {
    return [v = std::move(v), count](Walk& w) {
        return Variant(forms::strictText(v(w), w.env.locale).left(count));
    };
}

Value quotient(Value v, double divisor) {
    return [v = std::move(v), divisor](Walk& w) { return forms::divide(v(w), divisor); };
}

Value quotient(Value v, double divisor1, double divisor2) {
    return [v = std::move(v), divisor1, divisor2](Walk& w) {
        return forms::divide(forms::divide(v(w), divisor1), divisor2);
    };
}

Value oneDecimal(Value v, double divisor) {
    return [v = std::move(v), divisor](Walk& w) {
        return Variant(forms::oneDecimal(forms::divide(v(w), divisor), w.env.locale));
    };
}

Value wholeGrouped(Value v, double divisor1, double divisor2) {
    return [v = std::move(v), divisor1, divisor2](Walk& w) {
        const Variant q = forms::divide(forms::divide(v(w), divisor1), divisor2);
        return Variant(forms::wholeGrouped(q, w.env.locale));
    };
}

Value roundedDown(Value v, double divisor1, double divisor2) {
    return [v = std::move(v), divisor1, divisor2](Walk& w) {
        return forms::roundedDown(forms::divide(forms::divide(v(w), divisor1), divisor2));
    };
}

Value nearestInteger(Value dividend, Value divisor) {
    return [a = std::move(dividend), b = std::move(divisor)](Walk& w) {
        const Variant x = a(w);
        return Variant(forms::nearestInteger(x, b(w)));
    };
}

Value freePercent(Value free, Value totalValue) {
    return [f = std::move(free), t = std::move(totalValue)](Walk& w) {
        const Variant x = f(w);
        return Variant(forms::freePercent(x, t(w), w.env.locale));
    };
}

Value dateText(Value v) {
    return [v = std::move(v)](Walk& w) {
        try {
            return Variant(forms::stringToDate(forms::strictText(v(w), w.env.locale)));
        } catch (const wmi::Error&) {
        } catch (const forms::ValueError&) {
        }
        return Variant(QString());
    };
}

Value languageOf(Value v) {
    return
        [v = std::move(v)](Walk& w) { return Variant(forms::languageName(forms::toLong(v(w)))); };
}

Value name(Value v, const Names& names) {
    std::vector<std::pair<qint64, QString>> table;
    for (const auto& [code, text] : names) table.emplace_back(code, QString::fromUtf8(text));
    return [v = std::move(v), table = std::move(table)](Walk& w) -> Variant {
        const Variant x = v(w);
        for (const auto& [code, text] : table)
            if (equalsNumber(x, code)) return Variant(text);
        throw forms::ValueError("no name for this code");
    };
}

Value nameOr(Value v, const Names& names, const char* otherwise) {
    return orElse(name(std::move(v), names), otherwise);
}

Value orElse(Value v, const char* fallback) {
    return [v = std::move(v), f = QString::fromUtf8(fallback)](Walk& w) -> Variant {
        try {
            return v(w);
        } catch (const wmi::Error&) {
        } catch (const forms::ValueError&) {
        }
        return Variant(f);
    };
}

Value orElse(Value v, Value fallback) {
    return [v = std::move(v), fallback = std::move(fallback)](Walk& w) -> Variant {
        try {
            if (Variant value = v(w); !value.isNull()) return value;
        } catch (const wmi::Error&) {
        } catch (const forms::ValueError&) {
        }
        return fallback(w);
    };
}

// --- Conditions ---------------------------------------------------------------------------------

Test isNull(Value v) {
    return [v = std::move(v)](Walk& w) { return v(w).isNull(); };
}

Test notNull(Value v) {
    return [v = std::move(v)](Walk& w) { return !v(w).isNull(); };
}

Test equals(Value v, qint64 number) {
    return [v = std::move(v), number](Walk& w) { return equalsNumber(v(w), number); };
}

Test isTrue(Value v) {
    return [v = std::move(v)](Walk& w) {
        const Variant x = v(w);
        switch (x.type()) {
            case Variant::Type::Null:
                return false;
            case Variant::Type::Bool:
                return x.boolValue();
            case Variant::Type::Text:
                if (x.textValue().compare(u"True", Qt::CaseInsensitive) == 0) return true;
                if (x.textValue().compare(u"False", Qt::CaseInsensitive) == 0) return false;
                break;
            default:
                break;
        }
        const auto n = forms::toNumber(x);  // throws for anything else
        return n && *n != 0;
    };
}

Test negate(Test t) {
    return [t = std::move(t)](Walk& w) { return !t(w); };
}

Test contains(Value v, const char* text) {
    return [v = std::move(v), needle = QString::fromUtf8(text)](Walk& w) {
        const Variant x = v(w);
        if (x.isNull()) return false;
        return forms::asText(x, w.env.locale).contains(needle, Qt::CaseSensitive);
    };
}

Test sameText(Value a, Value b) {
    return [a = std::move(a), b = std::move(b)](Walk& w) {
        const Variant x = a(w);
        const Variant y = b(w);
        if (x.isNull() || y.isNull()) return false;
        return forms::asText(x, w.env.locale) == forms::asText(y, w.env.locale);
    };
}

// --- Rows ---------------------------------------------------------------------------------------

namespace {

// A line row. It has a type of its own so that a row list can tell that it holds only lines.
struct LineRow {
    Key key;
    QString parent;
    Image image;
    Text text;
    Test when;

    void operator()(Walk& w) const {
        // A full tree takes no more lines: nothing of them is worked out.
        if (w.env.tree.full()) {
            noteTreeFull(w.env);
            return;
        }
        if (when && !holds(when, w)) return;
        const QString k = key.make(w);
        const QString& picture =
            image.when ? (holds(image.when, w) ? image.ifTrue : image.ifFalse) : image.ifTrue;
        const QString t = joinText(text, w);
        w.env.tree.add(parent, k, t, picture);  // a refused line is simply not there
    }
};

bool onlyLines(const std::vector<Step>& rows) {
    for (const Step& row : rows)
        if (!row.target<LineRow>()) return false;
    return true;
}

}  // namespace

Step line(Key key, const char* parent, Image image, Text text, Test when) {
    return LineRow{std::move(key), QString::fromUtf8(parent), std::move(image), std::move(text),
                   std::move(when)};
}

Step set(Field f, Value v) {
    return [f, v = std::move(v)](Walk& w) { w.env.record.*f = v(w); };
}

Step append(Field f, Value v) {
    return [f, v = std::move(v)](Walk& w) {
        Variant& target = w.env.record.*f;
        const QString piece = forms::asText(v(w), w.env.locale);
        // The field gives up its text first, so that the text is not shared and grows in place:
        // appending to a field costs the piece, not the whole field.
        QString text = forms::asText(target, w.env.locale);
        target = Variant();
        text.append(u"  ").append(piece);
        target = Variant(std::move(text));
    };
}

Step addTo(Field f, Value v) {
    return [f, v = std::move(v)](Walk& w) {
        Variant& target = w.env.record.*f;
        target = forms::add(target, v(w));
    };
}

Step addToTotal(Value v) {
    return [v = std::move(v)](Walk& w) { w.total = forms::add(w.total, v(w)); };
}

Step setCounter(qint64 start) {
    return [start](Walk& w) { w.n = start; };
}

Step nextCounter() {
    return [](Walk& w) { ++w.n; };
}

Step setTotal(qint64 start) {
    return [start](Walk& w) { w.total = Variant(start); };
}

Step setTally(qint64 start) {
    return [start](Walk& w) { w.tally = start; };
}

Step countIf(Test t) {
    return [t = std::move(t)](Walk& w) {
        if (holds(t, w)) ++w.tally;
    };
}

Step forEachElement(Value array, std::vector<Step> rows) {
    const bool linesOnly = onlyLines(rows);
    return [array = std::move(array), rows = std::move(rows), linesOnly](Walk& w) {
        // Rows that would all be refused by a full tree are not worth reading the array for.
        if (linesOnly && w.env.tree.full()) {
            noteTreeFull(w.env);
            return;
        }
        const Variant a = array(w);
        if (!a.isArray()) return;
        const auto& items = a.arrayValue();
        for (std::size_t i = 0; i < items.size(); ++i) {
            w.element = &items[i];
            w.elementIndex = static_cast<qint64>(i);
            for (const Step& row : rows) runStep(row, w);
        }
        w.element = nullptr;
        w.elementIndex = 0;
    };
}

Step forEachMatch(const char* wql, Test match, std::vector<Step> rows) {
    return [query = QString::fromUtf8(wql), match = std::move(match),
            rows = std::move(rows)](Walk& w) {
        const wmi::Object* const outer = w.outer;
        const wmi::Object* const current = w.object;
        struct Restore {
            Walk& w;
            const wmi::Object* outer;
            const wmi::Object* current;
            Origin outerOrigin, currentOrigin;
            ~Restore() {
                w.outer = outer;
                w.object = current;
                w.outerOrigin = outerOrigin;
                w.objectOrigin = currentOrigin;
            }
        } restore{w, outer, current, w.outerOrigin, w.objectOrigin};
        try {
            auto inner = w.env.service.execQuery(query);
            w.outer = current;
            w.outerOrigin = restore.currentOrigin;
            w.objectOrigin = {&query, 0};
            while (auto object = inner->next()) {
                w.object = object.get();
                ++w.objectOrigin.number;
                if (holds(match, w))
                    for (const Step& row : rows) runStep(row, w);
                w.object = nullptr;
            }
        } catch (const wmi::Error& e) {
            note(w.env, query, e);
        }
    };
}

void runStep(const Step& step, Walk& walk) {
    try {
        step(walk);
    } catch (const wmi::Error&) {
    } catch (const forms::ValueError&) {
    }
}

void runGroup(const Group& group, ScanEnv& env) {
    Walk w(env);
    for (const Step& row : group.before) runStep(row, w);
    try {
        auto result = env.service.execQuery(group.query);
        w.objectOrigin = {&group.query, 0};
        while (auto object = result->next()) {
            w.object = object.get();
            ++w.objectOrigin.number;
            for (const Step& row : group.each) runStep(row, w);
            w.object = nullptr;
        }
    } catch (const wmi::Error& e) {
        note(env, group.query, e);
    }
    w.object = nullptr;
    w.objectOrigin = {};
    for (const Step& row : group.after) runStep(row, w);
}

}  // namespace qelto::scan
