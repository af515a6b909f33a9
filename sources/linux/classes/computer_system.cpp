// Win32_ComputerSystem of a Linux machine: its name, maker and model, membership of a domain,
// the console user, processors and memory.

#include "classes.h"

#include <QSet>

#include <algorithm>

namespace qelto::wmi::lnx {

namespace {

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

// What Linux can tell of a virtual machine that has no firmware table to name it: the
// hypervisor as maker ("KVM", Null when it cannot be told) and "虚拟机" as model; both Null on
// a machine that shows no sign of a hypervisor.
struct VirtualMachine {
    Variant maker, model;
};

VirtualMachine virtualMachine(const Context& c) {
    // The hypervisor by what it left in the kernel: Xen's own interface, the paravirtual clock
    // that the CPU's hypervisor leaf made the kernel register, Hyper-V's bus, the device tree.
    const QString xen = c.line(QStringLiteral("/sys/hypervisor/type"));
    const QStringList clocks =
        c.line(QStringLiteral("/sys/devices/system/clocksource/clocksource0/available_clocksource"))
            .split(u' ', Qt::SkipEmptyParts);
    auto strings = [&](const char* path) {
        return QString::fromLatin1(c.g.text(QString::fromLatin1(path)))
            .split(QChar(0), Qt::SkipEmptyParts);
    };
    const QStringList compatible = strings("/sys/firmware/devicetree/base/compatible");
    const QStringList dtHypervisor = strings("/sys/firmware/devicetree/base/hypervisor/compatible");
    QString maker;
    if (xen == u"xen" || clocks.contains(u"xen") ||
        std::any_of(dtHypervisor.begin(), dtHypervisor.end(),
                    [](const QString& s) { return s.startsWith(u"xen,"); }))
        maker = QStringLiteral("Xen");
    else if (clocks.contains(u"kvm-clock"))
        maker = QStringLiteral("KVM");
    else if (c.g.exists(QStringLiteral("/sys/bus/vmbus/devices")) ||
             std::any_of(clocks.begin(), clocks.end(),
                         [](const QString& s) { return s.startsWith(u"hyperv_clocksource"); }))
        maker = QStringLiteral("Microsoft Hyper-V");
    else if (compatible.contains(u"linux,dummy-virt"))
        maker = QStringLiteral("QEMU");  // the board QEMU makes up for a guest with no firmware
    // Without a name for it: the CPU says it runs under a hypervisor, or the devices are virtio.
    bool virtualised = !maker.isEmpty();
    if (!virtualised) {
        const auto cpus = parseCpuinfo(c.g.text(QStringLiteral("/proc/cpuinfo")));
        virtualised = !cpus.empty() && cpus.front()
                                           .value(QStringLiteral("flags"))
                                           .split(u' ', Qt::SkipEmptyParts)
                                           .contains(QStringLiteral("hypervisor"));
    }
    if (!virtualised)
        virtualised =
            !c.g.list(QStringLiteral("/sys/bus/virtio/devices")).value_or(QStringList()).isEmpty();
    if (!virtualised) return {};
    return {maker.isEmpty() ? Variant() : Variant(maker), Variant(QStringLiteral("虚拟机"))};
}

}  // namespace

void addComputerSystem(const Context& c, InstanceStore& store) {
    const QString host = c.hostname.section(u'.', 0, 0);
    const auto dmiSystem = c.ofType(1);
    const smbios::Structure* sys = dmiSystem.empty() ? nullptr : dmiSystem.front();
    InstanceBuilder<"Win32_ComputerSystem"> cs(store);
    cs.set("Caption", host.isEmpty() ? Variant() : Variant(host));
    cs.set("Name", host.isEmpty() ? Variant() : Variant(host));
    Variant model = c.dmi("product_name"), maker = c.dmi("sys_vendor");
    if (model.isNull() && sys) model = textOrNull(sys->string(0x05));
    if (maker.isNull() && sys) maker = textOrNull(sys->string(0x04));
    if (model.isNull() && maker.isNull()) {
        const VirtualMachine vm = virtualMachine(c);
        model = vm.model;
        maker = vm.maker;
    }
    cs.set("Model", model);
    cs.set("Manufacturer", maker);
    QString type;
    if (c.machine == u"x86_64")
        type = QStringLiteral("x64-based PC");
    else if (c.machine.size() == 4 && c.machine.startsWith(u'i') && c.machine.endsWith(u"86"))
        type = QStringLiteral("X86-based PC");
    else if (c.machine == u"aarch64")
        type = QStringLiteral("ARM64-based PC");
    else if (!c.machine.isEmpty())
        type = c.machine + QStringLiteral("-based PC");
    cs.set("SystemType", type.isEmpty() ? Variant() : Variant(type));
    cs.set("UserName", consoleUser(c, host));
    const Membership m = membership(c);
    cs.set("Domain", m.domain);
    cs.set("Workgroup", m.workgroup);
    cs.set("DomainRole", qint64(m.role));
    cs.set("PartOfDomain", m.workgroup.isNull());
    cs.set("BootupState", bootupState(c));
    cs.set("SystemStartupOptions", startupOptions(c));
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
    if (logical > 0) cs.set("NumberOfLogicalProcessors", qint64(logical));
    if (packages.isEmpty())
        for (const QString& p : online) packages.insert(c.line(p));
    cs.set("NumberOfProcessors", qint64(qMax<qsizetype>(1, packages.size())));
    const auto mem = parseMeminfo(c.g.text(QStringLiteral("/proc/meminfo")));
    if (mem.contains(QStringLiteral("MemTotal")))
        cs.set("TotalPhysicalMemory", uint64Text(mem.value(QStringLiteral("MemTotal")) * 1024));
}

}  // namespace qelto::wmi::lnx
