// Win32_ComputerSystem, Win32_OperatingSystem, Win32_TerminalServiceSetting, Win32_UserAccount and
// Win32_Share of a Linux machine.

#include "context.h"

#include <unicode/uloc.h>

#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace qelto::wmi::lnx {

namespace {

const QString kComputerSystem = QStringLiteral("Win32_ComputerSystem");

QString iniValue(const std::vector<IniSection>& ini, QStringView section, const QString& key) {
    for (const IniSection& s : ini)
        if (s.name.compare(section, Qt::CaseInsensitive) == 0 && s.values.contains(key))
            return s.values.value(key);
    return {};
}

// The user as WMI names the console user: "<domain>\<user>", the domain of a local account being
// the machine; a directory user "u@corp.example.com" becomes "CORP\u".
Variant qualifiedUser(const QString& user, const QString& host) {
    const qsizetype at = user.indexOf(u'@');
    if (at > 0)
        return Variant(user.mid(at + 1).section(u'.', 0, 0).toUpper() + u'\\' + user.left(at));
    return Variant(host + u'\\' + user);
}

// The user of the console: the active session of seat0, else the first login on a virtual
// console or a local display in utmp.
Variant consoleUser(const Context& c, const QString& host) {
    const QHash<QString, QString> seat =
        keyValues(c.g.text(QStringLiteral("/run/systemd/seats/seat0")));
    const QString active = seat.value(QStringLiteral("ACTIVE"));
    if (!active.isEmpty() && !active.contains(u'/')) {
        const QHash<QString, QString> session =
            keyValues(c.g.text(QStringLiteral("/run/systemd/sessions/") + active));
        if (const QString user = session.value(QStringLiteral("USER")); !user.isEmpty())
            return qualifiedUser(user, host);
    }
    for (const Login& l : parseUtmp(c.g.text(QStringLiteral("/run/utmp")))) {
        const bool console =
            (l.line.startsWith(u"tty") && l.line.size() > 3 && l.line[3].isDigit()) ||
            l.line.startsWith(u':');
        if (console) return qualifiedUser(l.user, host);
    }
    return {};
}

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

struct Membership {
    Variant domain, workgroup;
    int role = 0;
};

Membership membership(const Context& c) {
    const auto smb = parseIni(c.g.text(QStringLiteral("/etc/samba/smb.conf")));
    const QString security = iniValue(smb, u"global", QStringLiteral("security")).toLower();
    const QString serverRole = iniValue(smb, u"global", QStringLiteral("server role")).toLower();

    // A joined machine: Samba as a member of an AD domain, sssd, or a host keytab with a realm.
    QString realm;
    if (security == u"ads") realm = iniValue(smb, u"global", QStringLiteral("realm"));
    if (realm.isEmpty()) {
        for (const IniSection& s : parseIni(c.g.text(QStringLiteral("/etc/sssd/sssd.conf"))))
            if (s.name.startsWith(u"domain/")) {
                realm = s.name.mid(7);
                break;
            }
    }
    if (realm.isEmpty() && c.g.exists(QStringLiteral("/etc/krb5.keytab")))
        realm = iniValue(parseIni(c.g.text(QStringLiteral("/etc/krb5.conf"))), u"libdefaults",
                         QStringLiteral("default_realm"));

    const QString target = c.g.link(QStringLiteral("/etc/systemd/system/default.target"));
    const bool workstation =
        target.endsWith(u"/graphical.target") ||
        c.g.exists(QStringLiteral("/etc/systemd/system/display-manager.service"));
    Membership m;
    if (serverRole.contains(u"domain controller")) {
        m.role = serverRole.contains(u"backup") ? 4 : 5;
    } else if (!realm.isEmpty()) {
        m.role = workstation ? 1 : 3;
    } else {
        m.role = workstation ? 0 : 2;
    }
    if (!realm.isEmpty()) {
        m.domain = Variant(realm.toLower());
    } else {
        QString wg = iniValue(smb, u"global", QStringLiteral("workgroup")).toUpper();
        if (wg.isEmpty()) wg = QStringLiteral("WORKGROUP");
        m.domain = Variant(wg);
        m.workgroup = Variant(wg);
    }
    return m;
}

Variant bootupState(const Context& c) {
    const QString cmdline = c.line(QStringLiteral("/proc/cmdline"));
    if (!c.g.file(QStringLiteral("/proc/cmdline"))) return {};
    for (const QString& w : cmdline.split(u' ', Qt::SkipEmptyParts)) {
        if (w == u"single" || w == u"S" || w == u"1" || w == u"rescue" || w == u"emergency" ||
            w == u"systemd.unit=rescue.target" || w == u"systemd.unit=emergency.target")
            return Variant(QStringLiteral("Fail-safe boot"));
    }
    return Variant(QStringLiteral("Normal boot"));
}

Variant startupOptions(const Context& c) {
    QStringList titles;
    for (const QString& grub :
         {QStringLiteral("/boot/grub/grub.cfg"), QStringLiteral("/boot/grub2/grub.cfg")})
        if (const QByteArray* f = c.g.file(grub)) {
            titles = parseGrubMenu(*f);
            break;
        }
    if (titles.isEmpty()) {
        for (const QString& path : c.g.match(QStringLiteral("/boot/loader/entries/*.conf")) +
                                       c.g.match(QStringLiteral("/efi/loader/entries/*.conf"))) {
            const QString t = parseLoaderEntryTitle(c.g.text(path));
            if (!t.isEmpty()) titles << t;
        }
    }
    if (titles.isEmpty()) return {};
    Variant::Array a;
    for (const QString& t : titles) a.emplace_back(t);
    return Variant(std::move(a));
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

}  // namespace

void addSystemClasses(const Context& c, InstanceStore& store) {
    const QString host = c.hostname.section(u'.', 0, 0);

    // -- Win32_ComputerSystem
    {
        const auto dmiSystem = c.ofType(1);
        const smbios::Structure* sys = dmiSystem.empty() ? nullptr : dmiSystem.front();
        Instance& cs = newInstance(store, kComputerSystem);
        cs.set(QStringLiteral("Caption"), host.isEmpty() ? Variant() : Variant(host));
        cs.set(QStringLiteral("Name"), host.isEmpty() ? Variant() : Variant(host));
        Variant model = c.dmi("product_name"), maker = c.dmi("sys_vendor");
        if (model.isNull() && sys) model = textOrNull(sys->string(0x05));
        if (maker.isNull() && sys) maker = textOrNull(sys->string(0x04));
        if (model.isNull() && maker.isNull()) {
            const VirtualMachine vm = virtualMachine(c);
            model = vm.model;
            maker = vm.maker;
        }
        cs.set(QStringLiteral("Model"), model);
        cs.set(QStringLiteral("Manufacturer"), maker);
        QString type;
        if (c.machine == u"x86_64")
            type = QStringLiteral("x64-based PC");
        else if (c.machine.size() == 4 && c.machine.startsWith(u'i') && c.machine.endsWith(u"86"))
            type = QStringLiteral("X86-based PC");
        else if (c.machine == u"aarch64")
            type = QStringLiteral("ARM64-based PC");
        else if (!c.machine.isEmpty())
            type = c.machine + QStringLiteral("-based PC");
        cs.set(QStringLiteral("SystemType"), type.isEmpty() ? Variant() : Variant(type));
        cs.set(QStringLiteral("UserName"), consoleUser(c, host));
        const Membership m = membership(c);
        cs.set(QStringLiteral("Domain"), m.domain);
        cs.set(QStringLiteral("Workgroup"), m.workgroup);
        cs.set(QStringLiteral("DomainRole"), Variant(qint64(m.role)));
        cs.set(QStringLiteral("PartOfDomain"), Variant(m.workgroup.isNull()));
        cs.set(QStringLiteral("BootupState"), bootupState(c));
        cs.set(QStringLiteral("SystemStartupOptions"), startupOptions(c));
        // Packages (sockets), as the count of processors of the machine, and the logical
        // processors the kernel runs on.
        QSet<QString> packages;
        const auto cpus = parseCpuinfo(c.g.text(QStringLiteral("/proc/cpuinfo")));
        for (const CpuBlock& b : cpus)
            packages.insert(b.value(QStringLiteral("physical id"), QStringLiteral("0")));
        const QStringList online =
            c.g.match(QStringLiteral("/sys/devices/system/cpu/cpu*/topology/physical_package_id"));
        const qsizetype listed = std::count_if(cpus.begin(), cpus.end(), [](const CpuBlock& b) {
            return b.contains(QStringLiteral("processor"));
        });
        const qsizetype logical = listed > 0 ? listed : online.size();
        if (logical > 0)
            cs.set(QStringLiteral("NumberOfLogicalProcessors"), Variant(qint64(logical)));
        if (packages.isEmpty())
            for (const QString& p : online) packages.insert(c.line(p));
        cs.set(QStringLiteral("NumberOfProcessors"),
               Variant(qint64(qMax<qsizetype>(1, packages.size()))));
        const auto mem = parseMeminfo(c.g.text(QStringLiteral("/proc/meminfo")));
        if (mem.contains(QStringLiteral("MemTotal")))
            cs.set(QStringLiteral("TotalPhysicalMemory"),
                   uint64Text(mem.value(QStringLiteral("MemTotal")) * 1024));
    }

    // -- Win32_OperatingSystem
    {
        const QByteArray* osRelease = c.g.file(QStringLiteral("/etc/os-release"));
        if (!osRelease) osRelease = c.g.file(QStringLiteral("/usr/lib/os-release"));
        const auto os = keyValues(osRelease ? *osRelease : QByteArray());
        const auto mem = parseMeminfo(c.g.text(QStringLiteral("/proc/meminfo")));
        Instance& o = newInstance(store, QStringLiteral("Win32_OperatingSystem"));
        QString caption = os.value(QStringLiteral("PRETTY_NAME"));
        if (caption.isEmpty())
            caption = QString(os.value(QStringLiteral("NAME")) + u' ' +
                              os.value(QStringLiteral("VERSION")))
                          .trimmed();
        o.set(QStringLiteral("Caption"), textOrNull(caption));
        const PointRelease point = pointRelease(c, os, caption);
        o.set(QStringLiteral("ServicePackMajorVersion"), Variant(point.major));
        o.set(QStringLiteral("ServicePackMinorVersion"), Variant(point.minor));
        o.set(QStringLiteral("Version"), textOrNull(c.release));
        o.set(QStringLiteral("CSDVersion"), point.text);
        o.set(QStringLiteral("BuildNumber"), textOrNull(c.kernelVersion));
        o.set(QStringLiteral("OSLanguage"), Variant(languageCode(c)));
        o.set(QStringLiteral("Organization"), Variant());
        o.set(QStringLiteral("RegisteredUser"), Variant());
        QString vendor = os.value(QStringLiteral("VENDOR_NAME"));
        if (vendor.isEmpty()) vendor = os.value(QStringLiteral("NAME"));
        o.set(QStringLiteral("Manufacturer"), textOrNull(vendor));
        o.set(QStringLiteral("InstallDate"), installDate(c));
        o.set(QStringLiteral("SystemDrive"), Variant(QStringLiteral("/")));
        o.set(QStringLiteral("SystemDirectory"), Variant());
        o.set(QStringLiteral("WindowsDirectory"), Variant());
        Variant rootDevice;
        for (const Mount& m : parseMountinfo(c.g.text(QStringLiteral("/proc/self/mountinfo"))))
            if (m.mountPoint == u"/") rootDevice = textOrNull(m.source);
        o.set(QStringLiteral("SystemDevice"), rootDevice);
        o.set(QStringLiteral("EncryptionLevel"), encryptionLevel(c));
        o.set(QStringLiteral("Status"), Variant(QStringLiteral("OK")));
        Variant boot;
        for (const QByteArray& line : c.g.text(QStringLiteral("/proc/stat")).split('\n'))
            if (line.startsWith("btime "))
                if (auto t = toUnsigned(line.mid(6))) boot = Variant(c.dateTime(qint64(*t)));
        o.set(QStringLiteral("LastBootUpTime"), boot);
        o.set(QStringLiteral("Primary"), Variant(true));
        auto kb = [&](const char* key) -> std::optional<quint64> {
            const QString k = QString::fromLatin1(key);
            if (!mem.contains(k)) return std::nullopt;
            return mem.value(k);
        };
        const auto total = kb("MemTotal");
        o.set(QStringLiteral("TotalVisibleMemorySize"), total ? uint64Text(*total) : Variant());
        o.set(QStringLiteral("TotalVirtualMemorySize"),
              total ? uint64Text(*total + kb("SwapTotal").value_or(0)) : Variant());
        std::optional<quint64> free = kb("MemAvailable");
        if (!free && kb("MemFree"))
            free = *kb("MemFree") + kb("Buffers").value_or(0) + kb("Cached").value_or(0);
        o.set(QStringLiteral("FreePhysicalMemory"), free ? uint64Text(*free) : Variant());
        o.set(QStringLiteral("SerialNumber"),
              textOrNull(c.line(QStringLiteral("/etc/machine-id"))));
        qint64 processes = 0;
        if (const auto procs = c.g.list(QStringLiteral("/proc"))) {
            for (const QString& n : *procs) {
                bool ok = false;
                n.toUInt(&ok);
                if (ok) ++processes;
            }
        }
        o.set(QStringLiteral("NumberOfProcesses"), processes > 0 ? Variant(processes) : Variant());
        o.set(QStringLiteral("NumberOfUsers"), Variant(qint64(sessionCount(c))));
        o.set(QStringLiteral("LocalDateTime"),
              c.now > 0 ? Variant(wmiDateTime(c.now, c.micro, c.offset)) : Variant());
        o.set(QStringLiteral("CSName"), host.isEmpty() ? Variant() : Variant(host));
    }

    // -- Win32_TerminalServiceSetting: remote desktop is allowed when something listens on the
    // remote desktop port.
    {
        const QList<int> ports =
            parseListeningPorts(c.g.probe(QStringLiteral("listening")).value_or(QByteArray()));
        Instance& t = newInstance(store, QStringLiteral("Win32_TerminalServiceSetting"));
        t.set(QStringLiteral("AllowTSConnections"), Variant(qint64(ports.contains(3389) ? 1 : 0)));
    }

    // -- Win32_UserAccount: root and the accounts of people (UID_MIN…UID_MAX of login.defs).
    {
        store.addClass(QStringLiteral("Win32_UserAccount"));
        qint64 uidMin = 1000, uidMax = 60000;
        for (const QByteArray& line : c.g.text(QStringLiteral("/etc/login.defs")).split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() < 2) continue;
            if (f[0] == "UID_MIN") uidMin = f[1].toLongLong();
            if (f[0] == "UID_MAX") uidMax = f[1].toLongLong();
        }
        const QByteArray* shadow = c.g.file(QStringLiteral("/etc/shadow"));
        const auto locked =
            shadow ? parseShadowLocked(*shadow, c.now / 86400) : QHash<QString, bool>();
        for (const Account& a : parsePasswd(c.g.text(QStringLiteral("/etc/passwd")))) {
            if (a.uid != 0 && (a.uid < uidMin || a.uid > uidMax)) continue;
            if (a.name == u"nobody") continue;
            Instance& u = newInstance(store, QStringLiteral("Win32_UserAccount"));
            u.set(QStringLiteral("Name"), Variant(a.name));
            u.set(QStringLiteral("Domain"), host.isEmpty() ? Variant() : Variant(host));
            u.set(QStringLiteral("Disabled"),
                  shadow && locked.contains(a.name) ? Variant(locked.value(a.name)) : Variant());
        }
    }

    // -- Win32_Share: Samba shares (configured and user shares) and NFS exports.
    {
        store.addClass(QStringLiteral("Win32_Share"));
        QStringList names;
        for (const IniSection& s : parseIni(c.g.text(QStringLiteral("/etc/samba/smb.conf"))))
            if (!s.name.isEmpty() && s.name.compare(u"global", Qt::CaseInsensitive) != 0)
                names << s.name;
        for (const QString& path : c.g.match(QStringLiteral("/var/lib/samba/usershares/*")))
            if (c.g.file(path)) names << path.section(u'/', -1);
        QStringList exports = parseExports(c.g.text(QStringLiteral("/etc/exports")));
        for (const QString& path : c.g.match(QStringLiteral("/etc/exports.d/*.exports")))
            exports += parseExports(c.g.text(path));
        for (const QString& n : names) {
            Instance& s = newInstance(store, QStringLiteral("Win32_Share"));
            s.set(QStringLiteral("Name"), Variant(n));
        }
        for (const QString& e : exports) {
            if (names.contains(e)) continue;
            names << e;
            Instance& s = newInstance(store, QStringLiteral("Win32_Share"));
            s.set(QStringLiteral("Name"), Variant(e));
        }
    }
}

}  // namespace qelto::wmi::lnx
