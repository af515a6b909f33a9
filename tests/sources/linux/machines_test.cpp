// Recorded Linux machines (folders laid out like the machine's own tree, written by
// make_machines.py): each is gathered and scanned under a fixed locale and must give exactly
// golden/<name>.json. QELTO_UPDATE_GOLDEN=1 rewrites the goldens instead (review them by hand).

#include "cli/scanjson.h"
#include "connect/connector.h"
#include "scan/scan.h"
#include "sources/linux/connector.h"
#include "sources/linux/gather.h"
#include "sources/linux/local.h"
#include "sources/linux/source.h"
#include "wmi/error.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iterator>

namespace qelto::test {
namespace {

const QString kData = QStringLiteral(QELTO_TEST_DATA);

QString machine(const char* name) {
    return kData + QStringLiteral("/machines/") + QLatin1String(name);
}

QByteArray scanJson(const QString& root) {
    wmi::lnx::LocalConnector connector(root);
    auto service = connector.connect({QStringLiteral("."), wmi::Road::CurrentLogin, {}, {}});
    scan::InventoryTree tree;
    scan::ScanRecord record;
    record.clearForScan();
    std::vector<scan::Problem> problems;
    scan::infoscan(*service, tree, record, QLocale(QLocale::English, QLocale::UnitedStates),
                   &problems);
    EXPECT_TRUE(problems.empty()) << "a query failed: "
                                  << (problems.empty() ? "" : problems.front().query.toStdString());
    return cli::scanToJson(tree, record);
}

class RecordedMachine : public testing::TestWithParam<const char*> {};

TEST_P(RecordedMachine, ScanGivesTheGolden) {
    const QByteArray actual = scanJson(machine(GetParam()));
    const QString golden =
        kData + QStringLiteral("/golden/") + QLatin1String(GetParam()) + QStringLiteral(".json");
    if (qEnvironmentVariableIsSet("QELTO_UPDATE_GOLDEN")) {
        QDir().mkpath(kData + QStringLiteral("/golden"));
        QFile f(golden);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(actual);
        GTEST_SKIP() << "golden rewritten";
    }
    QFile f(golden);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << golden.toStdString();
    EXPECT_EQ(actual.toStdString(), f.readAll().toStdString());
}

const char* const kMachines[] = {"laptop", "server", "desktop", "minimal", "microvm", "armvm"};

INSTANTIATE_TEST_SUITE_P(Machines, RecordedMachine, testing::ValuesIn(kMachines));

// Any rename on the system can make the kernel refuse a walk over ".." (the links of sysfs are full
// of them). Another process renames files as fast as it can while every machine is replayed 500
// times, or for as long as the time bound allows in a slow build; no replay may change a value.
TEST(RecordedMachineUnderRenames, ReplaysNeverChangeAValue) {
    QByteArray goldens[std::size(kMachines)];
    for (std::size_t m = 0; m < std::size(kMachines); ++m) {
        QFile f(kData + QStringLiteral("/golden/") + QLatin1String(kMachines[m]) +
                QStringLiteral(".json"));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        goldens[m] = f.readAll();
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray a = QFile::encodeName(dir.filePath(QStringLiteral("a")));
    const QByteArray b = QFile::encodeName(dir.filePath(QStringLiteral("b")));
    QFile(dir.filePath(QStringLiteral("a"))).open(QIODevice::WriteOnly);
    const pid_t renamer = ::fork();
    ASSERT_GE(renamer, 0);
    if (renamer == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::alarm(300);  // never outlives a stuck test
        for (;;) {
            ::rename(a.constData(), b.constData());
            ::rename(b.constData(), a.constData());
        }
    }
    const QDeadlineTimer bound(std::chrono::seconds(60));
    int rounds = 0;
    try {
        for (; rounds < 500 && !bound.hasExpired() && !HasFailure(); ++rounds)
            for (std::size_t m = 0; m < std::size(kMachines); ++m)
                EXPECT_EQ(scanJson(machine(kMachines[m])), goldens[m])
                    << kMachines[m] << ", round " << rounds;
    } catch (const wmi::Error& e) {
        ADD_FAILURE() << "round " << rounds << ": " << e.description().toStdString();
    }
    ::kill(renamer, SIGKILL);
    ::waitpid(renamer, nullptr, 0);
    std::printf("%d rounds of %zu replays while files were renamed\n", rounds,
                std::size(kMachines));
    EXPECT_GT(rounds, 0);
}

// The answers of one class of a recorded machine.
const wmi::ClassData& classOf(const wmi::InstanceStore& store, const char* name) {
    const wmi::ClassData* c = store.findClass(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    static const wmi::ClassData empty;
    return c ? *c : empty;
}

QString textOf(const wmi::Instance& i, const char16_t* property) {
    const auto* p = i.find(property);
    if (!p || p->value.isNull()) return QStringLiteral("<null>");
    return p->value.type() == wmi::Variant::Type::Int ? QString::number(p->value.intValue())
                                                      : p->value.textValue();
}

// What Linux tells where the firmware does not: the maker and model of a virtual machine, the
// installed memory without memory devices, the point release as the service pack, and past dates
// with the offset their day had in the machine's zone (Berlin by TZ, New York by /etc/localtime).
TEST(RecordedMachineAnswers, WhatTheFirmwareDoesNotTellLinuxDoes) {
    const struct {
        const char* machine;
        const char16_t *maker, *model, *modules, *csd, *sp, *installed, *booted, *bios;
    } cases[] = {
        {"microvm", u"KVM", u"虚拟机", u"2147483648", u"12.8", u"8/0", u"20250701020000.000000+120",
         u"20251025154640.000000+120", u"-"},
        {"armvm", u"QEMU", u"虚拟机", u"4160749568", u"12.8", u"8/0", u"20250708144000.000000-240",
         u"20251206004640.000000-300", u"-"},
        {"minimal", u"<null>", u"虚拟机", u"2147483648", u"12", u"0/0", u"<null>",
         u"20251206054640.000000+000", u"-"},
        {"laptop", u"LENOVO", u"20XW0055CD", u"8589934592 8589934592", u"12.11", u"11/0",
         u"20231115061320.000000+480", u"20251206134640.000000+480", u"20230711000000.000000+480"},
        {"server", u"Example Corp", u"Model X100", u"34359738368 ×8", u"12.9", u"9/0",
         u"20230722122640.000000+480", u"20251206134640.000000+480", u"20240315000000.000000+480"},
        {"desktop", u"Example Corp", u"Model X100", u"17179869184 17179869184", u"22.04", u"0/0",
         u"20220415132000.000000+480", u"20251206134640.000000+480", u"20240315000000.000000+480"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.machine);
        const auto store = wmi::lnx::scanLocal(machine(c.machine));
        const wmi::Instance& cs = *classOf(*store, "Win32_ComputerSystem").items.at(0);
        EXPECT_EQ(textOf(cs, u"Manufacturer"), QString::fromUtf16(c.maker));
        EXPECT_EQ(textOf(cs, u"Model"), QString::fromUtf16(c.model));
        QStringList sizes;
        for (const auto& m : classOf(*store, "Win32_PhysicalMemory").items)
            sizes << textOf(*m, u"Capacity");
        if (sizes.size() > 2 && sizes.count(sizes.front()) == sizes.size())
            sizes = {sizes.front() + QStringLiteral(" ×%1").arg(sizes.size())};
        EXPECT_EQ(sizes.join(u' '), QString::fromUtf16(c.modules));
        const wmi::Instance& os = *classOf(*store, "Win32_OperatingSystem").items.at(0);
        EXPECT_EQ(textOf(os, u"CSDVersion"), QString::fromUtf16(c.csd));
        EXPECT_EQ(
            textOf(os, u"ServicePackMajorVersion") + u'/' + textOf(os, u"ServicePackMinorVersion"),
            QString::fromUtf16(c.sp));
        EXPECT_EQ(textOf(os, u"InstallDate"), QString::fromUtf16(c.installed));
        EXPECT_EQ(textOf(os, u"LastBootUpTime"), QString::fromUtf16(c.booted));
        const auto& bios = classOf(*store, "Win32_BIOS").items;
        EXPECT_EQ(bios.empty() ? QStringLiteral("-") : textOf(*bios.at(0), u"ReleaseDate"),
                  QString::fromUtf16(c.bios));
    }
}

TEST(RecordedMachineAnswers, EveryClassOfTheScanIsAnsweredEvenOnAnAlmostEmptyMachine) {
    const auto store = wmi::lnx::scanLocal(machine("minimal"));
    for (const char* name : {"Win32_ComputerSystem",
                             "Win32_OperatingSystem",
                             "Win32_TerminalServiceSetting",
                             "Win32_UserAccount",
                             "Win32_Share",
                             "Win32_Processor",
                             "Win32_CacheMemory",
                             "Win32_PhysicalMemoryArray",
                             "Win32_PhysicalMemory",
                             "Win32_BaseBoard",
                             "Win32_PortConnector",
                             "Win32_USBController",
                             "Win32_SystemSlot",
                             "Win32_DiskDrive",
                             "Win32_VideoController",
                             "Win32_DesktopMonitor",
                             "Win32_NetworkAdapter",
                             "Win32_NetworkAdapterConfiguration",
                             "Win32_SoundDevice",
                             "Win32_CDROMDrive",
                             "Win32_Printer",
                             "Win32_Keyboard",
                             "Win32_PointingDevice",
                             "Win32_BIOS",
                             "Win32_PortableBattery"})
        EXPECT_NE(store->findClass(QString::fromLatin1(name)), nullptr) << name;
}

TEST(RecordedMachineAnswers, ValuesHaveTheFormsOfTheirProperties) {
    const auto store = wmi::lnx::scanLocal(machine("desktop"));
    const wmi::Instance& os = *classOf(*store, "Win32_OperatingSystem").items.at(0);
    // 64-bit sizes are decimal text; dates are local CIM date-times.
    EXPECT_EQ(os.find(u"TotalVisibleMemorySize")->value, wmi::Variant(QStringLiteral("32803208")));
    EXPECT_EQ(os.find(u"LocalDateTime")->value,
              wmi::Variant(QStringLiteral("20251207161000.250000+480")));
    EXPECT_EQ(os.find(u"InstallDate")->value,
              wmi::Variant(QStringLiteral("20220415132000.000000+480")));
    EXPECT_EQ(os.find(u"OSLanguage")->value, wmi::Variant(qint64(2052)));
    const wmi::Instance& disk = *classOf(*store, "Win32_DiskDrive").items.at(0);
    EXPECT_EQ(disk.find(u"Size")->value, wmi::Variant(QStringLiteral("1000204886016")));
    // The adapter and its configuration carry the same MAC text, upper case with colons.
    const wmi::Instance& adapter = *classOf(*store, "Win32_NetworkAdapter").items.at(0);
    const wmi::Instance& config = *classOf(*store, "Win32_NetworkAdapterConfiguration").items.at(0);
    EXPECT_EQ(adapter.find(u"MACAddress")->value,
              wmi::Variant(QStringLiteral("00:D8:61:12:34:56")));
    EXPECT_EQ(config.find(u"MACAddress")->value, adapter.find(u"MACAddress")->value);
    EXPECT_EQ(config.find(u"IPAddress")->value,
              wmi::Variant(wmi::Variant::Array{QStringLiteral("192.168.10.50"),
                                               QStringLiteral("fe80::2d8:61ff:fe12:3456")}));
    EXPECT_EQ(
        config.find(u"IPSubnet")->value,
        wmi::Variant(wmi::Variant::Array{QStringLiteral("255.255.255.0"), QStringLiteral("64")}));
    // The keyboard class has no maker: reading it fails as on Windows.
    const wmi::Instance& keyboard = *classOf(*store, "Win32_Keyboard").items.at(0);
    EXPECT_EQ(keyboard.find(u"Manufacturer"), nullptr);
}

TEST(RecordedMachineAnswers, SoftwareInterfacesRestingOnADeviceAreShownOthersNot) {
    const auto store = wmi::lnx::scanLocal(machine("server"));
    QStringList configs;
    for (const auto& i : classOf(*store, "Win32_NetworkAdapterConfiguration").items)
        configs << i->find(u"Description")->value.textValue();
    EXPECT_EQ(configs.join(u'|').toStdString(),
              "绑定接口 bond0|VLAN 接口 bond0.100|I350 Gigabit Network Connection (eno1)|I350 "
              "Gigabit Network Connection (eno2)");
    // One adapter per MAC: the bond's members and its VLAN share the first member's.
    const auto& adapters = classOf(*store, "Win32_NetworkAdapter").items;
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0]->find(u"Manufacturer")->value,
              wmi::Variant(QStringLiteral("Intel Corporation")));
}

// A machine of one network interface of each kind, written by hand.
std::shared_ptr<wmi::InstanceStore> networkOnly(bool withNames, bool routeViaVeth = false) {
    wmi::lnx::Gathered g;
    auto nic = [&](const QString& name, const QString& mac, const QString& real,
                   const QString& device) {
        const QString dir = QStringLiteral("/sys/class/net/") + name + u'/';
        g.addFile(dir + QStringLiteral("address"), mac.toLatin1() + '\n');
        g.addFile(dir + QStringLiteral("type"), name == u"lo" ? "772\n" : "1\n");
        g.addFile(dir + QStringLiteral("flags"), "0x1003\n");
        g.addLink(QStringLiteral("/sys/class/net/") + name, real);
        if (!device.isEmpty()) g.addLink(dir + QStringLiteral("device"), device);
    };
    const QString pci = QStringLiteral("/sys/devices/pci0000:00/0000:00:03.0");
    const QString usb = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2");
    g.addLink(QStringLiteral("/sys/bus/pci/devices/0000:00:03.0"), pci);
    g.addFile(QStringLiteral("/sys/bus/pci/devices/0000:00:03.0/vendor"), "0x8086\n");
    g.addFile(QStringLiteral("/sys/bus/pci/devices/0000:00:03.0/device"), "0x100e\n");
    g.addLink(QStringLiteral("/sys/bus/usb/devices/1-2"), usb);
    g.addFile(QStringLiteral("/sys/bus/usb/devices/1-2/idVendor"), "0bda\n");
    g.addFile(QStringLiteral("/sys/bus/usb/devices/1-2/idProduct"), "8153\n");
    g.addFile(QStringLiteral("/sys/bus/usb/devices/1-2/manufacturer"), "Realtek\n");
    nic(QStringLiteral("eth0"), QStringLiteral("52:54:00:aa:bb:01"),
        pci + QStringLiteral("/net/eth0"), pci);
    nic(QStringLiteral("usb0"), QStringLiteral("52:54:00:aa:bb:02"),
        usb + QStringLiteral("/1-2:1.0/net/usb0"), usb + QStringLiteral("/1-2:1.0"));
    nic(QStringLiteral("lo"), QStringLiteral("00:00:00:00:00:00"),
        QStringLiteral("/sys/devices/virtual/net/lo"), {});
    nic(QStringLiteral("veth9"), QStringLiteral("52:54:00:aa:bb:03"),
        QStringLiteral("/sys/devices/virtual/net/veth9"), {});
    if (routeViaVeth)  // the default route of a container: via 172.17.0.1 on its veth
        g.addFile(
            QStringLiteral("/proc/net/route"),
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "veth9\t00000000\t010011AC\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    if (withNames) {
        g.addFile(QStringLiteral("/usr/share/misc/pci.ids"),
                  "8086  Intel Corporation\n\t100e  82540EM Gigabit Ethernet Controller\n");
        g.addFile(QStringLiteral("/usr/share/misc/usb.ids"), "0bda  Realtek Semiconductor Corp.\n");
    }
    return wmi::lnx::buildStore(g);
}

TEST(NetworkAdapters, EveryDeviceHasAMakerWithOrWithoutTheNameDatabases) {
    const struct {
        bool names;
        const char* makers;
    } cases[] = {
        {true, "eth0=Intel Corporation|usb0=Realtek Semiconductor Corp."},
        // Without the databases: the PCI vendor id, and the USB device's own maker string.
        {false, "eth0=8086|usb0=Realtek"},
    };
    for (const auto& c : cases) {
        const auto store = networkOnly(c.names);
        QStringList makers;
        for (const auto& a : classOf(*store, "Win32_NetworkAdapter").items)
            makers << a->find(u"NetConnectionID")->value.textValue() + u'=' +
                          a->find(u"Manufacturer")->value.textValue();
        EXPECT_EQ(makers.join(u'|').toStdString(),
                  c.makers);  // loopback and the lone veth are not there
    }
}

TEST(NetworkAdapters, AVethCarryingTheDefaultRouteIsListed) {
    for (const bool route : {false, true}) {
        QStringList listed;
        const auto store = networkOnly(true, route);
        for (const auto& a : classOf(*store, "Win32_NetworkAdapter").items)
            listed << a->find(u"NetConnectionID")->value.textValue();
        EXPECT_EQ(listed.contains(QStringLiteral("veth9")), route);
        EXPECT_FALSE(listed.contains(QStringLiteral("lo")));
        EXPECT_TRUE(listed.contains(QStringLiteral("eth0")));
    }
}

TEST(ComputerSystem, TheConsoleUserIsNamedDomainBackslashUser) {
    const struct {
        const char* sessionUser;  // nullptr: no seat
        const char* userName;     // nullptr: Null
    } cases[] = {
        {"zhang", "pc7\\zhang"},
        {"li@corp.example.com", "CORP\\li"},
        {nullptr, nullptr},
    };
    for (const auto& c : cases) {
        wmi::lnx::Gathered g;
        g.addFile(QStringLiteral("/proc/sys/kernel/hostname"), "pc7.corp.example.com\n");
        if (c.sessionUser) {
            g.addFile(QStringLiteral("/run/systemd/seats/seat0"), "ACTIVE=c2\nACTIVE_UID=1000\n");
            g.addFile(QStringLiteral("/run/systemd/sessions/c2"),
                      QByteArray("USER=") + c.sessionUser + "\n");
        }
        const auto store = wmi::lnx::buildStore(g);
        const wmi::Instance& cs = *classOf(*store, "Win32_ComputerSystem").items.at(0);
        EXPECT_EQ(cs.find(u"Caption")->value, wmi::Variant(QStringLiteral("pc7")));
        if (c.userName) {
            EXPECT_EQ(cs.find(u"UserName")->value, wmi::Variant(QString::fromUtf8(c.userName)));
        } else {
            EXPECT_TRUE(cs.find(u"UserName")->value.isNull());
        }
    }
}

TEST(LocalRoad, TheNamesOfThisMachineAreLocal) {
    for (const char* host : {"", ".", "localhost", "LOCALHOST", "127.0.0.1", "::1"})
        EXPECT_TRUE(wmi::lnx::isThisMachine(QLatin1String(host))) << host;
    char own[256] = {};
    ASSERT_EQ(::gethostname(own, sizeof own - 1), 0);
    const QString name = QString::fromLocal8Bit(own);
    EXPECT_TRUE(wmi::lnx::isThisMachine(name.toUpper()));
    EXPECT_TRUE(
        wmi::lnx::isThisMachine(name.section(u'.', 0, 0) + QStringLiteral(".corp.example")));
    EXPECT_FALSE(wmi::lnx::isThisMachine(QStringLiteral("server-elsewhere.example")));
    EXPECT_FALSE(wmi::lnx::isThisMachine(QStringLiteral("10.1.2.3")));
}

TEST(LocalRoad, CredentialsOnTheLocalMachineFailLikeWmi) {
    connect::SourceConnector connector;
    try {
        connector.connect({QStringLiteral("localhost"), wmi::Road::Credentials, QStringLiteral("u"),
                           QStringLiteral("p")});
        FAIL() << "no error";
    } catch (const wmi::Error& e) {
        EXPECT_EQ(e.number(), 0x80041064u);
        EXPECT_EQ(e.description().toStdString(), "用户凭据不能用于本地连接。");
    }
}

TEST(LocalRoad, OtherHostsAreNotTakenByTheLocalSource) {
    // Only the local source: a remote source would send a probe to the host.
    connect::SourceRegistry all;
    connect::registerSources(all);
    std::vector<connect::Source> local;
    for (auto& s : all.release())
        if (s.name == u"local") local.push_back(std::move(s));
    ASSERT_EQ(local.size(), 1u);
    connect::SourceConnector connector(std::move(local));
    EXPECT_THROW(connector.connect(
                     {QStringLiteral("server-elsewhere.example"), wmi::Road::CurrentLogin, {}, {}}),
                 wmi::Error);
}

TEST(LocalRoad, ASnapshotAnswersEveryConnectionEvenTheLocalOne) {
    auto snapshot = std::make_shared<wmi::InstanceStore>();
    snapshot->addClass(QStringLiteral("Win32_Marker"));
    connect::SourceConnector connector(snapshot);
    auto service = connector.connect(
        {QStringLiteral("."), wmi::Road::Credentials, QStringLiteral("u"), QStringLiteral("p")});
    auto* store = dynamic_cast<wmi::StoreService*>(service.get());
    ASSERT_NE(store, nullptr);
    EXPECT_NE(store->store().findClass(u"Win32_Marker"), nullptr);
}

}  // namespace
}  // namespace qelto::test
