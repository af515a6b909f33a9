// Win32_OperatingSystem of a Linux machine: the distribution, kernel, language, memory and the
// moments of installation and boot.

#include "classes.h"

#include <unicode/uloc.h>

#include <QRegularExpression>

#include <algorithm>

namespace qelto::wmi::lnx {

namespace {

int sessionCount(const Context& c) {
    int sessions = 0;
    for (const QString& path : c.g.match(QStringLiteral("/run/systemd/sessions/*"))) {
        if (path.endsWith(u".ref") || !c.g.file(path)) continue;
        const QHash<QString, QString> s = keyValues(c.g.text(path));
        if (!s.value(QStringLiteral("USER")).isEmpty()) ++sessions;
    }
    if (sessions > 0) return sessions;
    return int(parseUtmp(c.g.text(QStringLiteral("/run/utmp"))).size());
}

// The Windows language code of the system locale (1033 for C/POSIX: messages are English).
qint64 languageCode(const Context& c) {
    QString lang;
    for (const QString& file :
         {QStringLiteral("/etc/default/locale"), QStringLiteral("/etc/locale.conf")}) {
        const auto kv = keyValues(c.g.text(file));
        lang = kv.value(QStringLiteral("LANG"));
        if (lang.isEmpty()) lang = kv.value(QStringLiteral("LC_MESSAGES"));
        if (!lang.isEmpty()) break;
    }
    QString modifier;
    if (const qsizetype at = lang.indexOf(u'@'); at >= 0) {
        modifier = lang.mid(at + 1);
        lang.truncate(at);
    }
    if (const qsizetype dot = lang.indexOf(u'.'); dot >= 0) lang.truncate(dot);
    if (lang.isEmpty() || lang == u"C" || lang == u"POSIX") return 1033;
    // The name comes from the gathered machine and goes to this machine's locale data: only the
    // characters of a locale name reach it, anything else is an unknown locale.
    if (lang.size() > 32 || !std::all_of(lang.cbegin(), lang.cend(), [](QChar ch) {
            return ch.unicode() < 0x80 && (ch.isLetterOrNumber() || ch == u'_' || ch == u'-');
        }))
        return 1033;
    if (modifier == u"latin" && lang.startsWith(u"sr_"))
        lang = QStringLiteral("sr_Latn_") + lang.mid(3);
    const QByteArray id = lang.toLatin1();
    const quint32 lcid = uloc_getLCID(id.constData());
    return lcid == 0 ? 1033 : qint64(lcid);
}

Variant installDate(const Context& c) {
    const auto stat = c.g.probe(QStringLiteral("stat"));
    if (!stat) return {};
    QHash<QString, QPair<qint64, qint64>> times;
    for (const QByteArray& line : stat->split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() != 3) continue;
        times.insert(QString::fromUtf8(f[0]), {f[1].toLongLong(), f[2].toLongLong()});
    }
    // The birth of the root folder is the creation of the file system; an installer's log, the
    // folder mkfs made and the machine id written at first boot follow.
    if (times.value(QStringLiteral("/")).first > 0)
        return Variant(c.dateTime(times.value(QStringLiteral("/")).first));
    for (const char* p : {"/var/log/installer", "/lost+found", "/etc/machine-id"}) {
        const qint64 m = times.value(QString::fromLatin1(p)).second;
        if (m > 0) return Variant(c.dateTime(m));
    }
    return {};
}

// The point release, put where Windows puts its service pack: the distribution's full version
// (a numeric /etc/debian_version of the same release, else os-release's VERSION_ID) as CSDVersion,
// and as the service pack numbers the parts of it that the caption does not already show
// ("12.11" under "Debian GNU/Linux 12 (bookworm)" is 11; "3.20.3" under "Alpine Linux v3.20" is
// 3; "24.04" under "Ubuntu 24.04.2 LTS" is 0).
struct PointRelease {
    Variant text;
    qint64 major = 0, minor = 0;
};

PointRelease pointRelease(const Context& c, const QHash<QString, QString>& os,
                          const QString& caption) {
    static const QRegularExpression numeric(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    const QString id = os.value(QStringLiteral("VERSION_ID")).trimmed();
    QString version = c.line(QStringLiteral("/etc/debian_version"));
    if (!numeric.match(version).hasMatch() ||
        (!id.isEmpty() && version.section(u'.', 0, 0) != id.section(u'.', 0, 0)))
        version = id;
    PointRelease p;
    if (version.isEmpty() || !numeric.match(version).hasMatch()) return p;
    p.text = Variant(version);
    const QStringList parts = version.split(u'.');
    // The longest leading part of the version that the caption names as a whole number.
    qsizetype shown = 0;
    for (qsizetype n = parts.size(); n > 0 && shown == 0; --n) {
        const QString head = parts.mid(0, n).join(u'.');
        const QRegularExpression word(QStringLiteral("(?<![0-9.])") +
                                      QRegularExpression::escape(head) +
                                      QStringLiteral("(?![0-9])"));
        if (word.match(caption).hasMatch()) shown = n;
    }
    if (shown == 0) shown = 1;  // the caption names no version: the first number is the release
    p.major = shown < parts.size() ? qint64(parts[shown].toLongLong()) : 0;
    p.minor = shown + 1 < parts.size() ? qint64(parts[shown + 1].toLongLong()) : 0;
    return p;
}

Variant encryptionLevel(const Context& c) {
    int best = 0;
    QString name;
    for (const QByteArray& line : c.g.text(QStringLiteral("/proc/crypto")).split('\n')) {
        if (line.startsWith("name"))
            name = QString::fromLatin1(line.mid(line.indexOf(':') + 1)).trimmed();
        if (line.startsWith("max keysize") && name == u"aes")
            best = qMax(best, int(toUnsigned(line.mid(line.indexOf(':') + 1)).value_or(0)));
    }
    if (best == 0) return {};
    return Variant(qint64(best) * 8);
}

Variant rootDevice(const Context& c) {
    Variant device;
    for (const Mount& m : parseMountinfo(c.g.text(QStringLiteral("/proc/self/mountinfo"))))
        if (m.mountPoint == u"/") device = textOrNull(m.source);
    return device;
}

Variant bootTime(const Context& c) {
    Variant boot;
    for (const QByteArray& line : c.g.text(QStringLiteral("/proc/stat")).split('\n'))
        if (line.startsWith("btime "))
            if (auto t = toUnsigned(line.mid(6))) boot = Variant(c.dateTime(qint64(*t)));
    return boot;
}

Variant processCount(const Context& c) {
    qint64 processes = 0;
    if (const auto procs = c.g.list(QStringLiteral("/proc"))) {
        for (const QString& n : *procs) {
            bool ok = false;
            n.toUInt(&ok);
            if (ok) ++processes;
        }
    }
    return processes > 0 ? Variant(processes) : Variant();
}

}  // namespace

void addOperatingSystem(const Context& c, InstanceStore& store) {
    const QString host = c.hostname.section(u'.', 0, 0);
    const QByteArray* osRelease = c.g.file(QStringLiteral("/etc/os-release"));
    if (!osRelease) osRelease = c.g.file(QStringLiteral("/usr/lib/os-release"));
    const auto os = keyValues(osRelease ? *osRelease : QByteArray());
    const auto mem = parseMeminfo(c.g.text(QStringLiteral("/proc/meminfo")));
    InstanceBuilder<"Win32_OperatingSystem"> o(store);
    QString caption = os.value(QStringLiteral("PRETTY_NAME"));
    if (caption.isEmpty())
        caption =
            QString(os.value(QStringLiteral("NAME")) + u' ' + os.value(QStringLiteral("VERSION")))
                .trimmed();
    o.set("Caption", textOrNull(caption));
    const PointRelease point = pointRelease(c, os, caption);
    o.set("ServicePackMajorVersion", point.major);
    o.set("ServicePackMinorVersion", point.minor);
    o.set("Version", textOrNull(c.release));
    o.set("CSDVersion", point.text);
    o.set("BuildNumber", textOrNull(c.kernelVersion));
    o.set("OSLanguage", languageCode(c));
    o.set("Organization", Variant());
    o.set("RegisteredUser", Variant());
    QString vendor = os.value(QStringLiteral("VENDOR_NAME"));
    if (vendor.isEmpty()) vendor = os.value(QStringLiteral("NAME"));
    o.set("Manufacturer", textOrNull(vendor));
    o.set("InstallDate", installDate(c));
    o.set("SystemDrive", QStringLiteral("/"));
    o.set("SystemDirectory", Variant());
    o.set("WindowsDirectory", Variant());
    o.set("SystemDevice", rootDevice(c));
    o.set("EncryptionLevel", encryptionLevel(c));
    o.set("Status", QStringLiteral("OK"));
    o.set("LastBootUpTime", bootTime(c));
    o.set("Primary", true);
    auto kb = [&](const char* key) -> std::optional<quint64> {
        const QString k = QString::fromLatin1(key);
        if (!mem.contains(k)) return std::nullopt;
        return mem.value(k);
    };
    const auto total = kb("MemTotal");
    o.set("TotalVisibleMemorySize", total ? uint64Text(*total) : Variant());
    o.set("TotalVirtualMemorySize",
          total ? uint64Text(*total + kb("SwapTotal").value_or(0)) : Variant());
    std::optional<quint64> free = kb("MemAvailable");
    if (!free && kb("MemFree"))
        free = *kb("MemFree") + kb("Buffers").value_or(0) + kb("Cached").value_or(0);
    o.set("FreePhysicalMemory", free ? uint64Text(*free) : Variant());
    o.set("SerialNumber", textOrNull(c.line(QStringLiteral("/etc/machine-id"))));
    o.set("NumberOfProcesses", processCount(c));
    o.set("NumberOfUsers", qint64(sessionCount(c)));
    o.set("LocalDateTime", c.now > 0 ? Variant(wmiDateTime(c.now, c.micro, c.offset)) : Variant());
    o.set("CSName", host.isEmpty() ? Variant() : Variant(host));
}

}  // namespace qelto::wmi::lnx
