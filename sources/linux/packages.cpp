#include "packages.h"

#include <QByteArrayView>

namespace qelto::wmi::lnx {

namespace {

// Calls `onLine` with each line of the text, without its '\n'.
template <class OnLine>
void eachLine(const QByteArray& text, OnLine&& onLine) {
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0) end = text.size();
        onLine(QByteArrayView(text).sliced(start, end - start));
        start = end + 1;
    }
}

QString str(QByteArrayView v) {
    return QString::fromUtf8(v.trimmed());
}

// "Jane Doe <jane@example.org>" -> "Jane Doe".
QString withoutAddress(QByteArrayView v) {
    const qsizetype lt = v.indexOf('<');
    return str(lt >= 0 ? v.first(lt) : v);
}

// Reads stanzas of "Field:value" lines that end at an empty line (dpkg's, apk's one-letter
// fields): `onField` gets each field of the stanza, `onEnd` is called at its end. Lines that
// continue a field (a leading blank) and lines without a field are passed over, so that the
// lines keepFields() leaves give the same packages as the whole database.
template <class OnField, class OnEnd>
void eachStanza(const QByteArray& text, OnField&& onField, OnEnd&& onEnd) {
    bool open = false;
    eachLine(text, [&](QByteArrayView line) {
        if (line.isEmpty()) {
            if (open) onEnd();
            open = false;
            return;
        }
        if (line.front() == ' ' || line.front() == '\t') return;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) return;
        open = true;
        onField(line.first(colon), line.sliced(colon + 1));
    });
    if (open) onEnd();
}

bool onDisk(QByteArrayView status) {
    const QByteArrayView s = status.trimmed();
    const qsizetype blank = s.lastIndexOf(' ');
    const QByteArrayView state = blank >= 0 ? s.sliced(blank + 1) : s;
    for (const char* known :
         {"installed", "unpacked", "half-configured", "triggers-awaited", "triggers-pending"})
        if (state == QByteArrayView(known)) return true;
    return false;
}

QString noneEmpty(QByteArrayView v) {
    const QByteArrayView t = v.trimmed();
    return t == QByteArrayView("(none)") ? QString() : QString::fromUtf8(t);
}

// The text of a YAML scalar: its quotes taken off.
QString scalar(QByteArrayView v) {
    QByteArrayView t = v.trimmed();
    if (t.size() >= 2 && (t.front() == '\'' || t.front() == '"') && t.back() == t.front())
        t = t.sliced(1, t.size() - 2);
    return QString::fromUtf8(t);
}

// The text of the first element <tag>…</tag> (no attributes), with the five entities undone.
QString elementText(const QByteArray& xml, QByteArrayView tag) {
    const QByteArray open = '<' + tag.toByteArray() + '>';
    const qsizetype start = xml.indexOf(open);
    if (start < 0) return {};
    const qsizetype from = start + open.size();
    const qsizetype end = xml.indexOf('<', from);
    if (end < 0) return {};
    QString t = QString::fromUtf8(QByteArrayView(xml).sliced(from, end - from).trimmed());
    t.replace(QStringLiteral("&lt;"), QStringLiteral("<"))
        .replace(QStringLiteral("&gt;"), QStringLiteral(">"))
        .replace(QStringLiteral("&quot;"), QStringLiteral("\""))
        .replace(QStringLiteral("&apos;"), QStringLiteral("'"));
    return t.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
}

}  // namespace

QByteArray keepFields(const QByteArray& text, const QStringList& prefixes) {
    std::vector<QByteArray> keys;
    bool first[256] = {};  // the first bytes of the prefixes: most lines stop there
    bool all = false;
    for (const QString& p : prefixes) {
        keys.push_back(p.toUtf8());
        if (keys.back().isEmpty())
            all = true;
        else
            first[static_cast<unsigned char>(keys.back().front())] = true;
    }
    QByteArray out;
    out.reserve(text.size() / 4);
    const char* const end = text.constData() + text.size();
    eachLine(text, [&](QByteArrayView line) {
        bool keep = all || line.isEmpty();
        if (!keep && first[static_cast<unsigned char>(line.front())])
            for (const QByteArray& k : keys) keep = keep || line.startsWith(k);
        if (!keep) return;
        if (line.data() + line.size() < end)
            out.append(line.data(), line.size() + 1);  // with its '\n'
        else
            out.append(line).append('\n');
    });
    return out;
}

QByteArray filterPattern(const QStringList& prefixes) {
    QByteArray alternatives;
    for (const QString& p : prefixes) {
        if (!alternatives.isEmpty()) alternatives += '|';
        for (const char c : p.toUtf8()) {
            if (QByteArrayView("\\^$.[]|()*+?{}").contains(c)) alternatives += '\\';
            alternatives += c;
        }
    }
    return "^(" + alternatives + ")|^$";
}

std::vector<Package> parseDpkgStatus(const QByteArray& text) {
    std::vector<Package> out;
    out.reserve(std::size_t(text.count("\nPackage:")) + 1);
    Package p;
    bool installed = false;
    eachStanza(
        text,
        [&](QByteArrayView field, QByteArrayView value) {
            if (field == QByteArrayView("Package"))
                p.name = str(value);
            else if (field == QByteArrayView("Status"))
                installed = onDisk(value);
            else if (field == QByteArrayView("Version"))
                p.version = str(value);
            else if (field == QByteArrayView("Architecture"))
                p.architecture = str(value);
            else if (field == QByteArrayView("Maintainer"))
                p.vendor = withoutAddress(value);
        },
        [&] {
            if (installed && !p.name.isEmpty()) out.push_back(std::move(p));
            p = Package{};
            installed = false;
        });
    return out;
}

std::vector<Package> parseApkInstalled(const QByteArray& text) {
    std::vector<Package> out;
    Package p;
    eachStanza(
        text,
        [&](QByteArrayView field, QByteArrayView value) {
            if (field.size() != 1) return;
            switch (field.front()) {
                case 'P':
                    p.name = str(value);
                    break;
                case 'V':
                    p.version = str(value);
                    break;
                case 'A':
                    p.architecture = str(value);
                    break;
                case 'm':
                    p.vendor = withoutAddress(value);
                    break;
                default:
                    break;
            }
        },
        [&] {
            if (!p.name.isEmpty()) out.push_back(std::move(p));
            p = Package{};
        });
    return out;
}

std::vector<Package> parseRpmList(const QByteArray& text) {
    std::vector<Package> out;
    eachLine(text, [&](QByteArrayView line) {
        const QList<QByteArray> f = line.toByteArray().split('\t');
        if (f.size() < 2 || f[0].trimmed().isEmpty()) return;
        Package p;
        p.name = str(f[0]);
        p.version = noneEmpty(f[1]);
        if (f.size() > 2) p.architecture = noneEmpty(f[2]);
        if (f.size() > 3) p.vendor = noneEmpty(f[3]);
        if (f.size() > 4) p.installed = qMax<qint64>(0, f[4].trimmed().toLongLong());
        out.push_back(std::move(p));
    });
    return out;
}

Package parseSnapYaml(const QByteArray& text) {
    Package p;
    bool inArchitectures = false;
    eachLine(text, [&](QByteArrayView line) {
        if (inArchitectures && line.trimmed().startsWith("- ")) {
            if (p.architecture.isEmpty()) p.architecture = scalar(line.trimmed().sliced(2));
            return;
        }
        inArchitectures = false;
        if (line.isEmpty() || line.front() == ' ' || line.front() == '#') return;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) return;
        const QByteArrayView key = line.first(colon);
        const QByteArrayView value = line.sliced(colon + 1).trimmed();
        if (key == QByteArrayView("name")) p.name = scalar(value);
        if (key == QByteArrayView("version")) p.version = scalar(value);
        if (key != QByteArrayView("architectures")) return;
        if (value.startsWith('[')) {
            const QByteArrayView inside = value.sliced(1).first(
                value.indexOf(']') > 0 ? value.indexOf(']') - 1 : value.size() - 1);
            p.architecture = scalar(inside.toByteArray().split(',').value(0));
        } else {
            inArchitectures = value.isEmpty();
        }
    });
    return p;
}

Package flatpakApp(const QString& id, const QString& current, const QByteArray& metainfo) {
    Package p;
    p.name = id;
    p.architecture = current.section(u'/', -2, -2);
    const QString branch = current.section(u'/', -1);
    const qsizetype release = metainfo.indexOf("<release ");
    if (release >= 0) {
        const qsizetype close = metainfo.indexOf('>', release);
        const QByteArray tag = metainfo.mid(release, close < 0 ? -1 : close - release);
        const qsizetype v = tag.indexOf("version=");
        if (v >= 0 && v + 9 < tag.size()) {
            const char quote = tag[v + 8];
            const qsizetype end = tag.indexOf(quote, v + 9);
            if (end > v + 9) p.version = QString::fromUtf8(tag.mid(v + 9, end - v - 9));
        }
    }
    if (p.version.isEmpty()) p.version = branch;
    p.vendor = elementText(metainfo, "developer_name");
    if (p.vendor.isEmpty()) {
        const qsizetype developer = metainfo.indexOf("<developer");
        if (developer >= 0) p.vendor = elementText(metainfo.mid(developer), "name");
    }
    return p;
}

}  // namespace qelto::wmi::lnx
