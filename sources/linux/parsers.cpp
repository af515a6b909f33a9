#include "parsers.h"

#include "text.h"

#include <QSet>
#include <QtEndian>

#include <arpa/inet.h>

namespace qelto::wmi::lnx {

namespace {

QList<QByteArray> lines(const QByteArray& text) {
    return text.split('\n');
}

QString ipv4(quint32 networkOrder) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a;
    a.s_addr = networkOrder;
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return QString::fromLatin1(buf);
}

QString ipv6FromHex(const QByteArray& hex) {
    if (hex.size() != 32) return {};
    const QByteArray raw = QByteArray::fromHex(hex);
    if (raw.size() != 16) return {};
    char buf[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, raw.constData(), buf, sizeof buf);
    return QString::fromLatin1(buf);
}

}  // namespace

std::vector<CpuBlock> parseCpuinfo(const QByteArray& text) {
    std::vector<CpuBlock> out;
    CpuBlock current;
    for (const QByteArray& raw : lines(text)) {
        const QString line = QString::fromUtf8(raw);
        if (line.trimmed().isEmpty()) {
            if (!current.isEmpty()) out.push_back(std::move(current));
            current = {};
            continue;
        }
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0) continue;
        const QString key = line.left(colon).trimmed();
        if (key.isEmpty()) continue;
        if (key == u"processor" && current.contains(key)) {
            out.push_back(std::move(current));
            current = {};
        }
        current.insert(key, line.mid(colon + 1).trimmed());
    }
    if (!current.isEmpty()) out.push_back(std::move(current));
    // Blocks that describe no processor (the "Hardware"/"Serial" trailer of some ARM kernels)
    // are kept apart: only blocks with a processor number count.
    std::vector<CpuBlock> cpus;
    for (auto& b : out)
        if (b.contains(QStringLiteral("processor"))) cpus.push_back(std::move(b));
    return cpus;
}

QHash<QString, quint64> parseMeminfo(const QByteArray& text) {
    QHash<QString, quint64> out;
    for (const QByteArray& line : lines(text)) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) continue;
        if (auto v = toUnsigned(line.mid(colon + 1)))
            out.insert(QString::fromLatin1(line.left(colon)), *v);
    }
    return out;
}

namespace {

// One shell-like word of GRUB's script language from the start of `s`.
QString grubWord(QStringView s) {
    QString word;
    qsizetype i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t')) ++i;
    while (i < s.size()) {
        const QChar c = s[i];
        if (c == u' ' || c == u'\t' || c == u'{' || c == u';') break;
        if (c == u'\'') {
            const qsizetype end = s.indexOf(u'\'', i + 1);
            if (end < 0) {
                word += s.mid(i + 1);
                break;
            }
            word += s.mid(i + 1, end - i - 1);
            i = end + 1;
        } else if (c == u'"') {
            ++i;
            while (i < s.size() && s[i] != u'"') {
                if (s[i] == u'\\' && i + 1 < s.size()) ++i;
                word += s[i++];
            }
            ++i;
        } else if (c == u'\\' && i + 1 < s.size()) {
            word += s[i + 1];
            i += 2;
        } else {
            word += c;
            ++i;
        }
    }
    return word;
}

}  // namespace

QStringList parseGrubMenu(const QByteArray& text) {
    QStringList titles;
    for (const QByteArray& raw : lines(text)) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (!line.startsWith(u"menuentry")) continue;
        if (line.size() == 9 || !(line[9] == u' ' || line[9] == u'\t')) continue;
        const QString title = grubWord(QStringView(line).mid(10));
        if (!title.isEmpty()) titles << title;
        if (titles.size() >= 1000) break;
    }
    return titles;
}

QString parseLoaderEntryTitle(const QByteArray& text) {
    for (const QByteArray& raw : lines(text)) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u"title") && line.size() > 5 && line[5].isSpace())
            return line.mid(6).trimmed();
    }
    return {};
}

std::vector<Lease> parseDhclientLeases(const QByteArray& text) {
    std::vector<Lease> out;
    const QString all = QString::fromUtf8(text);
    qsizetype pos = 0;
    while (true) {
        const qsizetype start = all.indexOf(QLatin1String("lease"), pos);
        if (start < 0) break;
        const qsizetype open = all.indexOf(u'{', start);
        if (open < 0) break;
        const qsizetype close = all.indexOf(u'}', open);
        if (close < 0) break;  // an unfinished block is left out
        pos = close + 1;
        if (!all.mid(start + 5, open - start - 5).trimmed().isEmpty()) continue;  // "lease6" etc.
        Lease lease;
        for (QString st : all.mid(open + 1, close - open - 1).split(u';')) {
            st = st.simplified();
            auto value = [&](QLatin1String key) -> std::optional<QString> {
                if (!st.startsWith(key)) return std::nullopt;
                QString v = st.mid(key.size()).trimmed();
                if (v.startsWith(u'"') && v.endsWith(u'"') && v.size() >= 2)
                    v = v.mid(1, v.size() - 2);
                return v;
            };
            if (auto v = value(QLatin1String("interface ")))
                lease.interface = *v;
            else if (auto v = value(QLatin1String("fixed-address ")))
                lease.address = *v;
            else if (auto v = value(QLatin1String("option dhcp-server-identifier ")))
                lease.server = *v;
            else if (auto v = value(QLatin1String("option domain-name ")))
                lease.domain = *v;
            else if (auto v = value(QLatin1String("option netbios-name-servers "))) {
                for (const QString& s : v->split(u',', Qt::SkipEmptyParts))
                    lease.netbiosServers << s.trimmed();
            }
        }
        bool replaced = false;
        for (Lease& l : out)
            if (l.interface == lease.interface) {
                l = lease;
                replaced = true;
            }
        if (!replaced) out.push_back(lease);
    }
    return out;
}

Lease parseKeyValueLease(const QByteArray& text) {
    const QHash<QString, QString> kv = keyValues(text);
    Lease l;
    l.address = kv.value(QStringLiteral("ADDRESS"));
    l.server = kv.value(QStringLiteral("SERVER_ADDRESS"));
    l.domain = kv.value(QStringLiteral("DOMAINNAME"));
    for (const QString& s :
         kv.value(QStringLiteral("NETBIOS_NAME_SERVERS")).split(u' ', Qt::SkipEmptyParts))
        l.netbiosServers << s;
    return l;
}

std::optional<Lease> parseDhcpMessage(const QByteArray& b) {
    if (b.size() < 240) return std::nullopt;
    const auto* p = reinterpret_cast<const quint8*>(b.constData());
    if (p[0] != 2 || !(p[236] == 99 && p[237] == 130 && p[238] == 83 && p[239] == 99))
        return std::nullopt;
    Lease l;
    quint32 yiaddr;
    std::memcpy(&yiaddr, p + 16, 4);
    if (yiaddr != 0) l.address = ipv4(yiaddr);
    qsizetype i = 240;
    while (i < b.size()) {
        const quint8 code = p[i];
        if (code == 0) {
            ++i;
            continue;
        }
        if (code == 255 || i + 1 >= b.size()) break;
        const int len = p[i + 1];
        if (i + 2 + len > b.size()) break;
        const quint8* d = p + i + 2;
        if (code == 54 && len == 4) {
            quint32 a;
            std::memcpy(&a, d, 4);
            l.server = ipv4(a);
        } else if (code == 15 && len > 0) {
            QString dom = QString::fromLatin1(reinterpret_cast<const char*>(d), len);
            dom.remove(QChar(0));
            l.domain = dom;
        } else if (code == 44) {
            // Repeated options add up; a real lease names a handful of servers at most.
            for (int k = 0; k + 4 <= len && l.netbiosServers.size() < 64; k += 4) {
                quint32 a;
                std::memcpy(&a, d + k, 4);
                l.netbiosServers << ipv4(a);
            }
        }
        i += 2 + len;
    }
    return l;
}

bool InputDevice::hasHandler(QStringView prefix) const {
    for (const QString& h : handlers)
        if (h.startsWith(prefix)) {
            if (h.size() == prefix.size()) return true;
            if (prefix == u"mouse" || prefix == u"event" || prefix == u"js")
                return h.mid(prefix.size())[0].isDigit();
        }
    return false;
}

bool InputDevice::bit(const QString& bitmap, int index) const {
    auto it = bitmaps.constFind(bitmap);
    if (it == bitmaps.constEnd() || index < 0) return false;
    const int word = index / 64;
    if (word >= it.value().size()) return false;
    return (it.value()[word] >> (index % 64)) & 1;
}

std::vector<InputDevice> parseInputDevices(const QByteArray& text, int wordBits) {
    std::vector<InputDevice> out;
    InputDevice cur;
    bool any = false;
    auto flush = [&] {
        if (any) out.push_back(std::move(cur));
        cur = {};
        any = false;
    };
    for (const QByteArray& raw : lines(text)) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty()) {
            flush();
            continue;
        }
        if (line.size() < 3 || line[1] != u':') continue;
        any = true;
        const QChar kind = line[0];
        const QString rest = line.mid(2).trimmed();
        if (kind == u'I') {
            for (const QString& part : rest.split(u' ', Qt::SkipEmptyParts)) {
                const qsizetype eq = part.indexOf(u'=');
                if (eq < 0) continue;
                const quint16 v =
                    quint16(toUnsigned(QStringView(part).mid(eq + 1), 16).value_or(0));
                const QStringView key = QStringView(part).left(eq);
                if (key == u"Bus")
                    cur.bus = v;
                else if (key == u"Vendor")
                    cur.vendor = v;
                else if (key == u"Product")
                    cur.product = v;
            }
        } else if (kind == u'N') {
            QString n = rest.startsWith(u"Name=") ? rest.mid(5) : rest;
            if (n.startsWith(u'"') && n.endsWith(u'"') && n.size() >= 2) n = n.mid(1, n.size() - 2);
            cur.name = n;
        } else if (kind == u'S') {
            if (rest.startsWith(u"Sysfs=")) cur.sysfs = rest.mid(6);
        } else if (kind == u'H') {
            if (rest.startsWith(u"Handlers="))
                cur.handlers = rest.mid(9).split(u' ', Qt::SkipEmptyParts);
        } else if (kind == u'B') {
            const qsizetype eq = rest.indexOf(u'=');
            if (eq <= 0) continue;
            const QStringList words = rest.mid(eq + 1).split(u' ', Qt::SkipEmptyParts);
            QList<quint64> bits;
            // Words are written highest first; each is one kernel long wide.
            int shift = 0;
            quint64 acc = 0;
            for (qsizetype i = words.size() - 1; i >= 0 && bits.size() < 64; --i) {
                const quint64 w = toUnsigned(words[i], 16).value_or(0);
                if (wordBits == 32) {
                    acc |= (w & 0xFFFFFFFFu) << shift;
                    shift += 32;
                    if (shift == 64) {
                        bits << acc;
                        acc = 0;
                        shift = 0;
                    }
                } else {
                    bits << w;
                }
            }
            if (shift != 0) bits << acc;
            cur.bitmaps.insert(rest.left(eq), bits);
        }
    }
    flush();
    return out;
}

std::vector<Account> parsePasswd(const QByteArray& text) {
    std::vector<Account> out;
    for (const QByteArray& raw : lines(text)) {
        if (raw.isEmpty() || raw.startsWith('#') || raw.startsWith('+') || raw.startsWith('-'))
            continue;
        const QList<QByteArray> f = raw.split(':');
        if (f.size() < 3 || f[0].isEmpty()) continue;
        bool ok = false;
        const qint64 uid = f[2].toLongLong(&ok);
        if (!ok) continue;
        out.push_back({QString::fromUtf8(f[0]), uid});
    }
    return out;
}

QHash<QString, bool> parseShadowLocked(const QByteArray& text, qint64 today) {
    QHash<QString, bool> out;
    for (const QByteArray& raw : lines(text)) {
        const QList<QByteArray> f = raw.split(':');
        if (f.size() < 2 || f[0].isEmpty()) continue;
        bool locked = f[1].startsWith('!') || f[1].startsWith('*');
        if (f.size() >= 8 && !f[7].isEmpty()) {
            bool ok = false;
            const qint64 expire = f[7].toLongLong(&ok);
            if (ok && expire <= today) locked = true;
        }
        out.insert(QString::fromUtf8(f[0]), locked);
    }
    return out;
}

std::vector<IniSection> parseIni(const QByteArray& text) {
    std::vector<IniSection> out;
    out.push_back({QString(), {}});
    QString pending;
    for (const QByteArray& raw : lines(text)) {
        QString line = QString::fromUtf8(raw).trimmed();
        if (!pending.isEmpty()) {
            line = pending + line;
            pending.clear();
        }
        if (line.endsWith(u'\\')) {
            pending = line.chopped(1) + u' ';
            continue;
        }
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';')) continue;
        if (line.startsWith(u'[')) {
            const qsizetype end = line.indexOf(u']');
            if (end > 1) out.push_back({line.mid(1, end - 1).trimmed(), {}});
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0) continue;
        out.back().values.insert(line.left(eq).simplified().toLower(), line.mid(eq + 1).trimmed());
    }
    return out;
}

std::vector<PrinterEntry> parsePrintersConf(const QByteArray& text) {
    std::vector<PrinterEntry> out;
    std::optional<PrinterEntry> cur;
    for (const QByteArray& raw : lines(text)) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u"<Printer ") || line.startsWith(u"<DefaultPrinter ")) {
            const bool def = line.startsWith(u"<Default");
            QString name = line.mid(def ? 16 : 9);
            if (name.endsWith(u'>')) name.chop(1);
            cur = PrinterEntry{name.trimmed(), {}, false, def};
        } else if (line.startsWith(u"</Printer") || line.startsWith(u"</DefaultPrinter")) {
            if (cur && !cur->name.isEmpty()) out.push_back(*cur);
            cur.reset();
        } else if (cur) {
            if (line.startsWith(u"DeviceURI "))
                cur->deviceUri = line.mid(10).trimmed();
            else if (line.startsWith(u"Shared ")) {
                const QString v = line.mid(7).trimmed().toLower();
                cur->shared = v == u"yes" || v == u"true" || v == u"on" || v == u"1";
            }
        }
    }
    return out;
}

QStringList parsePrintcapNames(const QByteArray& text) {
    QStringList out;
    for (const QByteArray& raw : lines(text)) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        qsizetype end = line.indexOf(u'|');
        const qsizetype colon = line.indexOf(u':');
        if (end < 0 || (colon >= 0 && colon < end)) end = colon;
        const QString name = (end < 0 ? line : line.left(end)).trimmed();
        if (!name.isEmpty() && !out.contains(name)) out << name;
    }
    return out;
}

std::vector<QueueDevice> parseLpstatDevices(const QByteArray& text) {
    std::vector<QueueDevice> out;
    QSet<QString> seen;
    for (const QByteArray& raw : lines(text)) {
        if (!raw.startsWith("device for ")) continue;
        const QString rest = QString::fromUtf8(raw.mid(11));
        // A queue name holds no blank, so the first ": " ends it.
        const qsizetype colon = rest.indexOf(u": ");
        const QString name =
            colon < 0 ? rest.chopped(rest.endsWith(u':') ? 1 : 0) : rest.left(colon);
        if (name.isEmpty() || name.contains(u'/') || name.contains(u' ')) continue;
        if (seen.contains(name)) continue;
        seen.insert(name);
        out.push_back({name, colon < 0 ? QString() : rest.mid(colon + 2).trimmed()});
    }
    return out;
}

QString withoutCredentials(const QString& uri) {
    // "user:password@" of the authority; the old form of some backends puts it after the first
    // segment ("smb://workgroup/user:password@server/share").
    QString out = uri;
    const qsizetype start = out.indexOf(u"://");
    if (start < 0) return out;
    qsizetype from = start + 3;
    const qsizetype query = out.indexOf(u'?', from);
    for (int segment = 0; segment < 2; ++segment) {
        qsizetype end = out.indexOf(u'/', from);
        if (end < 0 || (query >= 0 && end > query)) end = query >= 0 ? query : out.size();
        const qsizetype at = out.lastIndexOf(u'@', end - 1);
        if (at >= from && (segment == 0 || out.mid(from, at - from).contains(u':'))) {
            out.remove(from, at + 1 - from);
            break;
        }
        if (end >= out.size() || out[end] != u'/') break;
        from = end + 1;
    }
    return out;
}

std::vector<Mount> parseMountinfo(const QByteArray& text) {
    std::vector<Mount> out;
    auto unescape = [](const QByteArray& s) {
        QByteArray r;
        for (qsizetype i = 0; i < s.size(); ++i) {
            if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
                r += char(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
                i += 3;
            } else {
                r += s[i];
            }
        }
        return QString::fromUtf8(r);
    };
    for (const QByteArray& raw : lines(text)) {
        const QList<QByteArray> f = raw.split(' ');
        const qsizetype dash = f.indexOf(QByteArray("-"));
        if (dash < 6 || dash + 2 >= f.size()) continue;
        out.push_back({unescape(f[dash + 2]), unescape(f[4]), QString::fromLatin1(f[dash + 1])});
    }
    return out;
}

std::vector<Login> parseUtmp(const QByteArray& bytes) {
    constexpr int kRecord = 384, kUserProcess = 7;
    std::vector<Login> out;
    for (qsizetype off = 0; off + kRecord <= bytes.size() && out.size() < 4096; off += kRecord) {
        const char* r = bytes.constData() + off;
        const qint16 type = qFromLittleEndian<qint16>(r);
        if (type != kUserProcess) continue;
        auto field = [&](int at, int size) {
            return QString::fromUtf8(r + at, qstrnlen(r + at, size));
        };
        const QString user = field(44, 32);
        if (!user.isEmpty()) out.push_back({field(8, 32), user});
    }
    return out;
}

QHash<QString, QStringList> parseDefaultGateways(const QByteArray& route,
                                                 const QByteArray& route6) {
    QHash<QString, QStringList> out;
    // Each gateway once per interface, in the order of the tables; a hash keeps that linear in
    // the number of routes.
    QSet<QString> seen;
    const auto add = [&out, &seen](const QByteArray& iface, const QString& gateway) {
        const QString name = QString::fromUtf8(iface);
        const qsizetype before = seen.size();
        seen.insert(name + u'\n' + gateway);
        if (seen.size() > before) out[name] << gateway;
    };
    for (const QByteArray& raw : lines(route)) {
        const QList<QByteArray> f = raw.simplified().split(' ');
        if (f.size() < 4 || f[1] != "00000000") continue;
        const quint64 flags = toUnsigned(f[3], 16).value_or(0);
        if (!(flags & 0x2)) continue;
        const auto gw = toUnsigned(f[2], 16);
        if (!gw || *gw == 0) continue;
        // The kernel prints the address in host byte order of a little-endian word.
        const quint32 n = qToLittleEndian<quint32>(quint32(*gw));
        quint32 net;
        std::memcpy(&net, &n, 4);
        add(f[0], ipv4(net));
    }
    for (const QByteArray& raw : lines(route6)) {
        const QList<QByteArray> f = raw.simplified().split(' ');
        if (f.size() < 10) continue;
        if (f[0] != QByteArray(32, '0') || f[1] != "00" || f[4] == QByteArray(32, '0')) continue;
        const quint64 flags = toUnsigned(f[8], 16).value_or(0);
        if (!(flags & 0x2)) continue;
        const QString a = ipv6FromHex(f[4]);
        if (!a.isEmpty()) add(f[9], a);
    }
    return out;
}

QList<int> parseListeningPorts(const QByteArray& text) {
    QList<int> out;
    for (const QByteArray& raw : lines(text)) {
        const QList<QByteArray> f = raw.simplified().split(' ');
        if (f.size() != 2 || f[0] != "tcp") continue;
        if (auto port = toUnsigned(f[1]); port && *port < 65536 && !out.contains(int(*port)))
            out << int(*port);
    }
    return out;
}

QHash<QString, QList<Address>> parseAddresses(const QByteArray& text) {
    QHash<QString, QList<Address>> out;
    for (const QByteArray& raw : lines(text)) {
        const QList<QByteArray> f = raw.simplified().split(' ');
        if (f.size() < 3 || (f[1] != "inet" && f[1] != "inet6")) continue;
        const qsizetype slash = f[2].indexOf('/');
        Address a;
        a.v6 = f[1] == "inet6";
        a.address = QString::fromLatin1(slash < 0 ? f[2] : f[2].left(slash));
        const qsizetype pct = a.address.indexOf(u'%');
        if (pct >= 0) a.address.truncate(pct);
        a.prefix = slash < 0 ? (a.v6 ? 128 : 32) : int(toUnsigned(f[2].mid(slash + 1)).value_or(0));
        if (a.address.isEmpty() || a.prefix > (a.v6 ? 128 : 32)) continue;
        out[QString::fromUtf8(f[0])] << a;
    }
    return out;
}

QStringList parseExports(const QByteArray& text) {
    QStringList out;
    QString pending;
    for (const QByteArray& raw : lines(text)) {
        QString line = pending + QString::fromUtf8(raw).trimmed();
        pending.clear();
        if (line.endsWith(u'\\')) {
            pending = line.chopped(1) + u' ';
            continue;
        }
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        QString path;
        if (line.startsWith(u'"')) {
            const qsizetype end = line.indexOf(u'"', 1);
            path = end < 0 ? line.mid(1) : line.mid(1, end - 1);
        } else {
            path = line.section(u' ', 0, 0).section(u'\t', 0, 0);
        }
        if (path.startsWith(u'/') && !out.contains(path)) out << path;
    }
    return out;
}

}  // namespace qelto::wmi::lnx
