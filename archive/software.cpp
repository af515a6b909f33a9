#include "software.h"

#include <QHash>

#include <algorithm>
#include <map>

namespace qelto::archive {

namespace {

QString textOf(const wmi::Instance& item, QStringView name) {
    const wmi::Property* p = item.find(name);
    return p && p->readable && p->value.isText() ? p->value.textValue() : QString();
}

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool isLetter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

int sign(qsizetype v) {
    return v < 0 ? -1 : v > 0 ? 1 : 0;
}

// Two runs of digits as numbers, of any length: leading zeros aside, the longer is larger.
int compareNumbers(QStringView a, QStringView b) {
    while (!a.isEmpty() && a.front() == u'0') a = a.mid(1);
    while (!b.isEmpty() && b.front() == u'0') b = b.mid(1);
    if (a.size() != b.size()) return sign(a.size() - b.size());
    return sign(a.compare(b));
}

// [epoch:]rest as dpkg and rpm split it: the epoch (digits before the first colon) and the rest.
std::pair<QStringView, QStringView> splitEpoch(QStringView v) {
    const qsizetype colon = v.indexOf(u':');
    if (colon < 0) return {u"0", v};
    return {v.left(colon), v.mid(colon + 1)};
}

// A part and what follows the last hyphen, or the whole and nothing.
std::pair<QStringView, QStringView> splitRelease(QStringView v) {
    const qsizetype hyphen = v.lastIndexOf(u'-');
    if (hyphen < 0) return {v, {}};
    return {v.left(hyphen), v.mid(hyphen + 1)};
}

// dpkg's weight of a non-digit (the end weighs as a digit does: nothing left).
int dpkgOrder(QStringView s, qsizetype i) {
    if (i >= s.size() || isDigit(s[i])) return 0;
    if (isLetter(s[i])) return s[i].unicode();
    if (s[i] == u'~') return -1;
    return s[i].unicode() + 256;
}

// One upstream version or revision in dpkg's order.
int dpkgPart(QStringView a, QStringView b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        while ((i < a.size() && !isDigit(a[i])) || (j < b.size() && !isDigit(b[j]))) {
            const int x = dpkgOrder(a, i), y = dpkgOrder(b, j);
            if (x != y) return sign(x - y);
            ++i;
            ++j;
        }
        const qsizetype i0 = i, j0 = j;
        while (i < a.size() && isDigit(a[i])) ++i;
        while (j < b.size() && isDigit(b[j])) ++j;
        if (const int n = compareNumbers(a.sliced(i0, i - i0), b.sliced(j0, j - j0))) return n;
    }
    return 0;
}

// A run that starts at i: digits, or letters; its end.
qsizetype runEnd(QStringView s, qsizetype i, bool digits) {
    while (i < s.size() && (digits ? isDigit(s[i]) : isLetter(s[i]))) ++i;
    return i;
}

// The separators rpm's order skips.
qsizetype skipSeparators(QStringView s, qsizetype i) {
    while (i < s.size() && !isDigit(s[i]) && !isLetter(s[i]) && s[i] != u'~' && s[i] != u'^') ++i;
    return i;
}

// "~" and "^" at i and j: the order they decide, or nullopt to go on (both stepped past).
std::optional<int> rpmMarks(QStringView a, qsizetype& i, QStringView b, qsizetype& j) {
    for (const QChar mark : {QChar(u'~'), QChar(u'^')}) {
        const bool x = i < a.size() && a[i] == mark, y = j < b.size() && b[j] == mark;
        if (!x && !y) continue;
        if (mark == u'^') {
            if (i >= a.size()) return -1;
            if (j >= b.size()) return 1;
        }
        if (!x) return 1;
        if (!y) return -1;
        ++i;
        ++j;
        return std::nullopt;
    }
    return 0;  // not reached: called where one of them has a mark
}

// One version or release in rpm's order.
int rpmPart(QStringView a, QStringView b) {
    if (a == b) return 0;
    qsizetype i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        i = skipSeparators(a, i);
        j = skipSeparators(b, j);
        const bool marked = (i < a.size() && (a[i] == u'~' || a[i] == u'^')) ||
                            (j < b.size() && (b[j] == u'~' || b[j] == u'^'));
        if (marked) {
            if (const std::optional<int> r = rpmMarks(a, i, b, j)) return *r;
            continue;
        }
        if (i >= a.size() || j >= b.size()) break;
        const bool digits = isDigit(a[i]);
        const qsizetype ie = runEnd(a, i, digits), je = runEnd(b, j, digits);
        if (je == j) return digits ? 1 : -1;  // a number sorts after letters
        const QStringView x = a.sliced(i, ie - i), y = b.sliced(j, je - j);
        if (const int r = digits ? compareNumbers(x, y) : sign(x.compare(y))) return r;
        i = ie;
        j = je;
    }
    if (i >= a.size() && j >= b.size()) return 0;
    return i >= a.size() ? -1 : 1;
}

// Leading digits of a dotted part, and the rest.
std::pair<QStringView, QStringView> splitNumber(QStringView part) {
    qsizetype n = 0;
    while (n < part.size() && isDigit(part[n])) ++n;
    return {part.left(n), part.mid(n)};
}

}  // namespace

std::optional<std::vector<Program>> programsOf(const wmi::InstanceStore& answers) {
    const wmi::ClassData* data = answers.findClass(u"Qelto_Software");
    if (!data || data->broken) return std::nullopt;
    std::vector<Program> programs;
    for (const std::optional<wmi::Instance>& item : data->items)
        if (item)
            programs.push_back({textOf(*item, u"Name"), textOf(*item, u"Version"),
                                textOf(*item, u"Vendor"), textOf(*item, u"InstallDate"),
                                textOf(*item, u"Architecture"), textOf(*item, u"Source")});
    return programs;
}

QString installDateText(const QString& s) {
    if (s.size() < 14) return s;
    for (qsizetype i = 0; i < 14; ++i)
        if (!isDigit(s[i])) return s;
    return s.mid(0, 4) + u'-' + s.mid(4, 2) + u'-' + s.mid(6, 2) + u' ' + s.mid(8, 2) + u':' +
           s.mid(10, 2) + u':' + s.mid(12, 2);
}

int compareDpkgVersions(const QString& a, const QString& b) {
    // The views below point into these two.
    const QString x = a.trimmed(), y = b.trimmed();
    const auto [ea, ra] = splitEpoch(x);
    const auto [eb, rb] = splitEpoch(y);
    if (const int e = compareNumbers(ea, eb)) return e;
    const auto [ua, va] = splitRelease(ra);
    const auto [ub, vb] = splitRelease(rb);
    if (const int u = dpkgPart(ua, ub)) return u;
    return dpkgPart(va, vb);
}

int compareRpmVersions(const QString& a, const QString& b) {
    // The views below point into these two.
    const QString x = a.trimmed(), y = b.trimmed();
    const auto [ea, ra] = splitEpoch(x);
    const auto [eb, rb] = splitEpoch(y);
    if (const int e = compareNumbers(ea, eb)) return e;
    const auto [va, la] = splitRelease(ra);
    const auto [vb, lb] = splitRelease(rb);
    if (const int v = rpmPart(va, vb)) return v;
    return la.isEmpty() || lb.isEmpty() ? 0 : rpmPart(la, lb);
}

int compareWindowsVersions(const QString& a, const QString& b) {
    const QStringList x = a.trimmed().split(u'.'), y = b.trimmed().split(u'.');
    for (qsizetype i = 0; i < std::max(x.size(), y.size()); ++i) {
        const auto [nx, rx] = splitNumber(i < x.size() ? QStringView(x[i]) : QStringView(u"0"));
        const auto [ny, ry] = splitNumber(i < y.size() ? QStringView(y[i]) : QStringView(u"0"));
        if (const int n = compareNumbers(nx, ny)) return n;
        if (const int r = sign(rx.compare(ry, Qt::CaseInsensitive))) return r;
    }
    return 0;
}

int compareVersions(const QString& source, const QString& a, const QString& b) {
    if (source == u"rpm") return compareRpmVersions(a, b);
    if (source == u"dpkg" || source == u"apk" || source == u"snap" || source == u"flatpak")
        return compareDpkgVersions(a, b);
    return compareWindowsVersions(a, b);
}

std::vector<ProgramChange> diffPrograms(const std::vector<Program>& from,
                                        const std::vector<Program>& to) {
    using Kind = ProgramChange::Kind;
    // By name (case aside), source and architecture; the map keeps the names' order.
    const auto key = [](const Program& p) -> QString {
        return p.name.toLower() + u'\n' + p.source + u'\n' + p.architecture;
    };
    std::map<QString, std::pair<const Program*, const Program*>> both;
    for (const Program& p : from) both[key(p)].first = &p;
    for (const Program& p : to) both[key(p)].second = &p;
    std::vector<ProgramChange> changes;
    for (const auto& [k, pair] : both) {
        const auto [old, now] = pair;
        const Program& p = now ? *now : *old;
        ProgramChange c{Kind::Installed,
                        p.name,
                        p.source,
                        p.architecture,
                        old ? old->version : QString(),
                        now ? now->version : QString()};
        if (!old || !now) {
            c.kind = old ? Kind::Removed : Kind::Installed;
        } else {
            if (old->version == now->version) continue;
            const int order = compareVersions(p.source, old->version, now->version);
            c.kind = order < 0 ? Kind::Upgraded : order > 0 ? Kind::Downgraded : Kind::Changed;
        }
        changes.push_back(std::move(c));
    }
    return changes;
}

}  // namespace qelto::archive
