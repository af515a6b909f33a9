// The parsers of the Linux source, on text and bytes given here or taken from the recorded
// machines. None of them touches this machine.

#include "sources/linux/parsers.h"
#include "sources/linux/edid.h"
#include "sources/linux/gather.h"
#include "sources/linux/ids.h"
#include "sources/linux/local.h"
#include "sources/linux/packages.h"
#include "sources/linux/smbios.h"
#include "sources/linux/text.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace qelto::wmi::lnx {
namespace {

QByteArray machineFile(const char* machine, const char* path) {
    QFile f(QStringLiteral(QELTO_TEST_DATA "/machines/") + QLatin1String(machine) +
            QLatin1String(path));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path;
    return f.readAll();
}

std::string joined(const QStringList& l) {
    return l.join(u'|').toStdString();
}

TEST(TextForms, MacAddresses) {
    const struct {
        const char* in;
        const char* out;  // nullptr: Null
    } cases[] = {
        {"3c:fd:fe:01:00:a0\n", "3C:FD:FE:01:00:A0"},
        {"00:00:00:00:00:00", nullptr},
        {"", nullptr},
        {"3c:fd:fe:01:00", nullptr},
        {"3c:fd:fe:01:00:zz", nullptr},
        {"3cfd:fe:01:00:a0:1", nullptr},
    };
    for (const auto& c : cases) {
        const Variant v = macAddress(QLatin1String(c.in));
        if (!c.out) {
            EXPECT_TRUE(v.isNull()) << c.in;
        } else {
            EXPECT_EQ(v, Variant(QString::fromLatin1(c.out))) << c.in;
        }
    }
}

TEST(TextForms, DateTimesAreLocalWithTheOffsetInMinutes) {
    const struct {
        qint64 seconds;
        int micro, offset;
        const char* out;
    } cases[] = {
        {0, 0, 0, "19700101000000.000000+000"},
        {1765095000, 250000, 8 * 3600, "20251207161000.250000+480"},
        {1765095000, 7, -5 * 3600, "20251207031000.000007-300"},
        {1765095000, 0, 5 * 3600 + 1800, "20251207134000.000000+330"},
        {951782400, 0, 0, "20000229000000.000000+000"},  // a leap day of a century
        {-1, 0, -90, "19691231235829.000000-001"},
        {4107542400, 0, 0, "21000301000000.000000+000"},  // 2100 has no 29 February
    };
    for (const auto& c : cases)
        EXPECT_EQ(wmiDateTime(c.seconds, c.micro, c.offset).toStdString(), c.out);
}

TEST(TextForms, KeyValueFilesUnquote) {
    const auto kv = keyValues(
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n# NAME=no\nID=debian\n"
        "X='single quoted'\nY=\"a \\\"b\\\" \\$c\"\nexport LANG=zh_CN.UTF-8\nbroken\n=nokey\n");
    EXPECT_EQ(kv.value(QStringLiteral("PRETTY_NAME")).toStdString(),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(kv.value(QStringLiteral("ID")).toStdString(), "debian");
    EXPECT_EQ(kv.value(QStringLiteral("X")).toStdString(), "single quoted");
    EXPECT_EQ(kv.value(QStringLiteral("Y")).toStdString(), "a \"b\" $c");
    EXPECT_EQ(kv.value(QStringLiteral("LANG")).toStdString(), "zh_CN.UTF-8");
    EXPECT_FALSE(kv.contains(QStringLiteral("NAME")));
    EXPECT_EQ(kv.size(), 5);
}

TEST(Cpuinfo, BlocksPerLogicalProcessor) {
    const auto cpus = parseCpuinfo(
        "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: X @ 2.80GHz\n\n"
        "processor\t: 1\nvendor_id\t: GenuineIntel\n"
        "processor\t: 2\n\nHardware\t: BCM2835\n");
    ASSERT_EQ(cpus.size(), 3u);
    EXPECT_EQ(cpus[0].value(QStringLiteral("model name")).toStdString(), "X @ 2.80GHz");
    EXPECT_EQ(cpus[2].value(QStringLiteral("processor")).toStdString(), "2");
}

TEST(GrubMenu, TitlesOfEntriesAndNestedEntries) {
    const struct {
        const char* text;
        const char* titles;
    } cases[] = {
        {"menuentry 'Debian GNU/Linux' --class debian {\n}\n", "Debian GNU/Linux"},
        {"submenu 'Advanced' {\n\tmenuentry 'A (recovery mode)' {\n\t}\n}\n", "A (recovery mode)"},
        {"menuentry 'It'\\''s UEFI' {\n}\n", "It's UEFI"},
        {"menuentry \"Li's \\\"test\\\"\" {\n}\n", "Li's \"test\""},
        {"menuentry Plain\\ words {\n}\n", "Plain words"},
        {"menuentry_id_option=x\n#menuentry 'commented'\nmenuentry\n", ""},
        {"menuentry 'unterminated\n", "unterminated"},
    };
    for (const auto& c : cases) EXPECT_EQ(joined(parseGrubMenu(c.text)), c.titles) << c.text;
    EXPECT_EQ(parseLoaderEntryTitle("linux /vmlinuz\ntitle   Fedora Linux 39\n").toStdString(),
              "Fedora Linux 39");
}

TEST(Leases, DhclientKeepsTheLastLeasePerInterface) {
    const auto leases =
        parseDhclientLeases(machineFile("desktop", "/var/lib/dhcp/dhclient.enp3s0.leases") +
                            "lease6 {\n interface \"eth9\";\n}\nlease {\n interface \"wlan0\";\n");
    ASSERT_EQ(leases.size(), 1u);
    EXPECT_EQ(leases[0].interface.toStdString(), "enp3s0");
    EXPECT_EQ(leases[0].address.toStdString(), "192.168.10.50");
    EXPECT_EQ(leases[0].server.toStdString(), "192.168.10.1");
    EXPECT_EQ(leases[0].domain.toStdString(), "lan.example");
    EXPECT_EQ(joined(leases[0].netbiosServers), "192.168.10.2|192.168.10.3");
}

TEST(Leases, KeyValueLeases) {
    const Lease l =
        parseKeyValueLease("ADDRESS=10.0.0.5\nSERVER_ADDRESS=10.0.0.1\nDOMAINNAME=corp\n");
    EXPECT_EQ(l.address.toStdString(), "10.0.0.5");
    EXPECT_EQ(l.server.toStdString(), "10.0.0.1");
    EXPECT_EQ(l.domain.toStdString(), "corp");
}

QByteArray dhcpReply(const QByteArray& options) {
    QByteArray m(240, '\0');
    m[0] = 2;
    m[16] = char(192), m[17] = char(168), m[18] = 1, m[19] = 77;  // yiaddr
    m[236] = 99, m[237] = char(130), m[238] = 83, m[239] = 99;
    return m + options;
}

TEST(Leases, DhcpMessagesOfDhcpcd) {
    const auto l = parseDhcpMessage(dhcpReply(QByteArray(
        "\x36\x04\xc0\xa8\x01\x01\x0f\x03lan\x2c\x08\x0a\x00\x00\x02\x0a\x00\x00\x03\xff", 22)));
    ASSERT_TRUE(l);
    EXPECT_EQ(l->address.toStdString(), "192.168.1.77");
    EXPECT_EQ(l->server.toStdString(), "192.168.1.1");
    EXPECT_EQ(l->domain.toStdString(), "lan");
    EXPECT_EQ(joined(l->netbiosServers), "10.0.0.2|10.0.0.3");
    // An option running past the end, a wrong cookie, a short message.
    const auto cut = parseDhcpMessage(dhcpReply(QByteArray("\x36\x09\xc0\xa8", 4)));
    ASSERT_TRUE(cut);
    EXPECT_TRUE(cut->server.isEmpty());
    QByteArray wrong = dhcpReply({});
    wrong[236] = 0;
    EXPECT_FALSE(parseDhcpMessage(wrong));
    EXPECT_FALSE(parseDhcpMessage(QByteArray(100, '\x02')));
}

TEST(InputDevices, BitmapsAreReadLowestWordLast) {
    const auto devices = parseInputDevices(machineFile("laptop", "/proc/bus/input/devices"));
    ASSERT_EQ(devices.size(), 5u);
    const InputDevice& kbd = devices[2];
    EXPECT_EQ(kbd.name.toStdString(), "AT Translated Set 2 keyboard");
    EXPECT_EQ(kbd.bus, 0x11);
    EXPECT_TRUE(kbd.hasHandler(u"kbd"));
    EXPECT_FALSE(kbd.hasHandler(u"mouse"));
    EXPECT_TRUE(kbd.bit(QStringLiteral("KEY"), 1));   // Esc
    EXPECT_TRUE(kbd.bit(QStringLiteral("KEY"), 88));  // F12
    EXPECT_FALSE(kbd.bit(QStringLiteral("KEY"), 0));
    EXPECT_FALSE(kbd.bit(QStringLiteral("KEY"), 100000));
    EXPECT_TRUE(devices[3].hasHandler(u"mouse"));
    // 32-bit kernels print 32-bit words.
    const auto narrow = parseInputDevices("I: Bus=0003\nB: KEY=1 80000000 0\n", 32);
    ASSERT_EQ(narrow.size(), 1u);
    EXPECT_TRUE(narrow[0].bit(QStringLiteral("KEY"), 63));
    EXPECT_TRUE(narrow[0].bit(QStringLiteral("KEY"), 64));
}

TEST(Accounts, PasswdAndShadowLockState) {
    const auto accounts = parsePasswd(
        "root:x:0:0::/root:/bin/bash\n+nis\nbad:x:notanumber:0\nli:x:1000:1000::/h:/bin/sh\n");
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[1].name.toStdString(), "li");
    EXPECT_EQ(accounts[1].uid, 1000);
    const auto locked = parseShadowLocked(machineFile("server", "/etc/shadow"), 20500);
    EXPECT_FALSE(locked.value(QStringLiteral("root")));
    EXPECT_TRUE(locked.value(QStringLiteral("postgres")));    // "*"
    EXPECT_TRUE(locked.value(QStringLiteral("legacy")));      // "!"
    EXPECT_TRUE(locked.value(QStringLiteral("svc-backup")));  // expired on day 20000
    EXPECT_FALSE(parseShadowLocked(machineFile("server", "/etc/shadow"), 19999)
                     .value(QStringLiteral("svc-backup")));
}

// Each package database read exactly: which packages count, and every field of each.
TEST(Packages, EachDatabaseReadsExactly) {
    const QByteArray dpkg =
        "Package: libc6\nStatus: install ok installed\nPriority: required\n"
        "Architecture: amd64\nMulti-Arch: same\nMaintainer: GNU Libc Maintainers "
        "<debian-glibc@lists.debian.org>\nVersion: 2.36-9+deb12u10\nDescription: GNU C Library\n"
        " Package: not-a-field\n .\n\n"
        "Package: gone\nStatus: deinstall ok config-files\nVersion: 1.0\n\n"
        "Package: broken\nStatus: install reinstreq half-installed\nVersion: 2\n\n"
        "Package: fresh\nStatus: install ok unpacked\nArchitecture: all\nVersion: 3:1.2\n"
        "Maintainer: Solo\nConffiles:\n /etc/fresh 0123\n\n\n"
        "Package: libc6\nStatus: install ok triggers-pending\nArchitecture: i386\n"
        "Version: 2.36-9\n";
    const QByteArray apk =
        "C:Q1abc=\nP:musl\nV:1.2.5-r0\nA:x86_64\nS:383152\nm:Natanael Copa "
        "<ncopa@alpinelinux.org>\nt:1727000000\nF:lib\nR:libc.musl.so.1\n\n"
        "P:busybox\nV:1.36.1-r29\nA:aarch64\nZ:Q1xyz=\n";
    const QByteArray rpm =
        "bash\t5.2.26-3.fc40\tx86_64\tFedora Project\t1718000000\n"
        "gpg-pubkey\ta15b79cc-63d04c2c\t(none)\t(none)\t1718000001\n"
        "kernel\t1:6.9.4-200.fc40\tx86_64\t\t(none)\n\tno-name\n";
    struct Case {
        const char* name;
        std::vector<Package> found;
        const char* expected;  // name|version|architecture|vendor|installed, per package
    } cases[] = {
        {"dpkg", parseDpkgStatus(dpkg),
         "libc6|2.36-9+deb12u10|amd64|GNU Libc Maintainers|0 fresh|3:1.2|all|Solo|0 "
         "libc6|2.36-9|i386||0"},
        {"dpkg, filtered",
         parseDpkgStatus(keepFields(dpkg, {QStringLiteral("Package:"), QStringLiteral("Status:"),
                                           QStringLiteral("Version:")})),
         "libc6|2.36-9+deb12u10|||0 fresh|3:1.2|||0 libc6|2.36-9|||0"},
        {"apk", parseApkInstalled(apk),
         "musl|1.2.5-r0|x86_64|Natanael Copa|0 busybox|1.36.1-r29|aarch64||0"},
        {"rpm", parseRpmList(rpm),
         "bash|5.2.26-3.fc40|x86_64|Fedora Project|1718000000 "
         "gpg-pubkey|a15b79cc-63d04c2c|||1718000001 kernel|1:6.9.4-200.fc40|x86_64||0"},
        {"snap, a list",
         {parseSnapYaml("name: firefox\nversion: '126.0-2'\nsummary: x\n"
                        "architectures:\n  - amd64\n  - arm64\nname2: y\n")},
         "firefox|126.0-2|amd64||0"},
        {"snap, inline",
         {parseSnapYaml("name: \"core22\"\nversion: 20240408\n"
                        "architectures: [arm64, amd64]\n")},
         "core22|20240408|arm64||0"},
        {"flatpak",
         {flatpakApp(QStringLiteral("org.gimp.GIMP"),
                     QStringLiteral("/var/lib/flatpak/app/org.gimp.GIMP/x86_64/stable"),
                     "<component><developer_name>The GIMP Team &amp; co"
                     "</developer_name><releases><release version=\"2.10.38\" "
                     "date=\"2024-05-02\"/><release version=\"2.10.36\"/>")},
         "org.gimp.GIMP|2.10.38|x86_64|The GIMP Team & co|0"},
        {"flatpak, no metainfo",
         {flatpakApp(QStringLiteral("a.b"), QStringLiteral("/x/app/a.b/aarch64/beta"), {})},
         "a.b|beta|aarch64||0"},
    };
    for (const Case& c : cases) {
        QStringList got;
        for (const Package& p : c.found)
            got << QStringList{p.name, p.version, p.architecture, p.vendor,
                               QString::number(p.installed)}
                       .join(u'|');
        EXPECT_EQ(got.join(u' ').toStdString(), c.expected) << c.name;
    }
    EXPECT_EQ(filterPattern({QStringLiteral("P:"), QStringLiteral("a.b")}).toStdString(),
              "^(P:|a\\.b)|^$");
}

TEST(ConfigFiles, IniPrintersExportsMounts) {
    const auto ini = parseIni(
        "[global]\n  Work Group = corp\n  server   role = member server\n; c\n[data]\npath = /a "
        "\\\n  /b\n");
    ASSERT_EQ(ini.size(), 3u);
    EXPECT_EQ(ini[1].values.value(QStringLiteral("server role")).toStdString(), "member server");
    EXPECT_EQ(ini[2].name.toStdString(), "data");
    EXPECT_EQ(ini[2].values.value(QStringLiteral("path")).toStdString(), "/a  /b");
    const auto printers = parsePrintersConf(machineFile("desktop", "/etc/cups/printers.conf"));
    ASSERT_EQ(printers.size(), 3u);
    EXPECT_TRUE(printers[0].shared);
    EXPECT_TRUE(printers[0].isDefault);
    EXPECT_EQ(printers[1].deviceUri.toStdString(), "cups-pdf:/");
    EXPECT_EQ(joined(parsePrintcapNames("# x\nq1|Desc:rm=h:\nq2:rm=h\n")), "q1|q2");
    EXPECT_EQ(joined(parseExports(machineFile("server", "/etc/exports"))),
              "/srv/nfs/data|/srv/nfs/with space");
    const auto mounts = parseMountinfo(machineFile("desktop", "/proc/self/mountinfo"));
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[1].mountPoint.toStdString(), "/media/li/UBUNTU 22.04");
    EXPECT_EQ(mounts[1].source.toStdString(), "/dev/sr0");
}

TEST(Network, GatewaysAddressesAndListeningPorts) {
    const auto gw = parseDefaultGateways(machineFile("server", "/proc/net/route"),
                                         machineFile("server", "/proc/net/ipv6_route"));
    EXPECT_EQ(joined(gw.value(QStringLiteral("bond0"))), "10.20.0.1|2001:db8:20::1");
    const auto addrs = parseAddresses(
        "eth0 inet 10.0.0.2/24\neth0 inet6 fe80::1%eth0/64\neth0 inet 1.2.3.4/99\njunk\n");
    ASSERT_EQ(addrs.value(QStringLiteral("eth0")).size(), 2);
    EXPECT_EQ(addrs.value(QStringLiteral("eth0"))[1].address.toStdString(), "fe80::1");
    EXPECT_EQ(parseListeningPorts("tcp 22\ntcp 3389\ntcp 99999\nudp 53\n"), (QList<int>{22, 3389}));
    const auto utmp = parseUtmp(machineFile("server", "/run/utmp"));
    ASSERT_EQ(utmp.size(), 2u);
    EXPECT_EQ(utmp[0].line.toStdString(), "pts/0");
    EXPECT_EQ(utmp[0].user.toStdString(), "ops");
}

TEST(Smbios, TheGeneratedTableDecodes) {
    const QByteArray table = machineFile("server", "/sys/firmware/dmi/tables/DMI");
    const auto all = smbios::parseTable(table);
    ASSERT_GE(all.size(), 10u);
    EXPECT_EQ(all.back().type, 127);
    const smbios::Structure& bios = all.front();
    EXPECT_EQ(bios.type, 0);
    EXPECT_EQ(bios.string(0x04).toStdString(), "Example BIOS Vendor");
    EXPECT_EQ(smbios::entryPointVersion(
                  machineFile("server", "/sys/firmware/dmi/tables/smbios_entry_point")),
              0x0304);
    // Every cut of the table parses to a prefix of the structures, with no read beyond the bytes.
    for (qsizetype cut = 0; cut < table.size(); cut += 7) {
        const auto part = smbios::parseTable(table.left(cut));
        ASSERT_LE(part.size(), all.size());
        for (const auto& s : part) {
            EXPECT_EQ(s.byte(0x400), 0);
            EXPECT_TRUE(s.string(0x7F).isEmpty() || s.has(0x7F, 1));
        }
    }
    // A structure whose length points past the end stops the walk.
    EXPECT_TRUE(smbios::parseTable(QByteArray("\x00\xff\x00\x00", 4)).empty());
}

TEST(Edid, MonitorNameIdRangeAndPreferredMode) {
    const auto info = edid::parse(machineFile(
        "desktop", "/sys/devices/pci0000:00/0000:00:03.1/0000:0a:00.0/drm/card0/card0-DP-1/edid"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->manufacturerId.toStdString(), "DEL");
    EXPECT_EQ(info->productCode, 0x40A6);
    EXPECT_EQ(info->name.toStdString(), "DELL U2415");
    EXPECT_EQ(info->width, 1920);
    EXPECT_EQ(info->height, 1200);
    EXPECT_EQ(info->refreshHz, 60);
    EXPECT_EQ(info->minVerticalHz, 56);
    EXPECT_EQ(info->maxVerticalHz, 76);
    EXPECT_FALSE(edid::parse(QByteArray(127, '\0')));
    EXPECT_FALSE(edid::parse(QByteArray(128, '\xff')));
}

TEST(IdDatabase, VendorsAndDevices) {
    const IdDatabase ids(
        "# comment\n8086  Intel Corporation\n\t1521  I350 Gigabit\n\t\t1028 1f60  sub\n"
        "10ec  Realtek\n\t8168  RTL8111\nC 02  Network controller\n\t00  Ethernet\n");
    EXPECT_EQ(ids.vendor(0x8086).toStdString(), "Intel Corporation");
    EXPECT_EQ(ids.device(0x8086, 0x1521).toStdString(), "I350 Gigabit");
    EXPECT_EQ(ids.device(0x8086, 0x8168).toStdString(), "");
    EXPECT_EQ(ids.device(0x10ec, 0x8168).toStdString(), "RTL8111");
    EXPECT_EQ(ids.vendor(0x0002).toStdString(), "");  // class lines are not vendors
    EXPECT_EQ(parsePnpIds("DEL\tDell Inc.\nXX\tno\n").value(QStringLiteral("DEL")).toStdString(),
              "Dell Inc.");
}

TEST(Gathered, PatternsMatchRecordedPathsInNaturalOrder) {
    Gathered g;
    for (const char* p :
         {"/sys/class/net/eth10/address", "/sys/class/net/eth2/address", "/sys/class/net/lo/type"})
        g.addFile(QLatin1String(p), "x");
    EXPECT_EQ(joined(g.match(QStringLiteral("/sys/class/net/*/address"))),
              "/sys/class/net/eth2/address|/sys/class/net/eth10/address");
    EXPECT_EQ(joined(g.children(QStringLiteral("/sys/class/net"))), "eth2|eth10|lo");
    EXPECT_TRUE(g.match(QStringLiteral("/sys/class/net/*/ifindex")).isEmpty());
}

TEST(Gathered, TheLocalGathererReadsARecordedFolder) {
    GatherPlan plan;
    plan.files = {QStringLiteral("/etc/passwd"), QStringLiteral("/etc/missing")};
    plan.globs = {QStringLiteral("/sys/class/net/*/address")};
    plan.links = {QStringLiteral("/sys/class/net/*")};
    plan.probes = {QStringLiteral("uid")};
    const Gathered g = gatherLocal(plan, QStringLiteral(QELTO_TEST_DATA "/machines/minimal"));
    EXPECT_TRUE(g.file(QStringLiteral("/etc/passwd")));
    EXPECT_FALSE(g.exists(QStringLiteral("/etc/missing")));
    EXPECT_EQ(g.text(QStringLiteral("/sys/class/net/eth0/address")).toStdString(),
              "52:54:00:12:34:56\n");
    EXPECT_EQ(g.link(QStringLiteral("/sys/class/net/eth0")).toStdString(),
              "/sys/devices/pci0000:00/0000:00:03.0/virtio0/net/eth0");
    EXPECT_EQ(g.probe(QStringLiteral("uid")).value_or("none").toStdString(), "1000\n");
}

TEST(Gathered, PipesAndDevicesAreNeverReadSoNothingWaits) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    QDir(root.path()).mkpath(QStringLiteral("run/systemd/sessions"));
    const QByteArray fifo =
        QFile::encodeName(root.path() + QStringLiteral("/run/systemd/sessions/2.ref"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    GatherPlan plan;
    plan.globs = {QStringLiteral("/run/systemd/sessions/*")};
    const Gathered g = gatherLocal(plan, root.path());
    EXPECT_TRUE(g.unreadable(QStringLiteral("/run/systemd/sessions/2.ref")));
    EXPECT_FALSE(g.file(QStringLiteral("/run/systemd/sessions/2.ref")));
}

}  // namespace
}  // namespace qelto::wmi::lnx

namespace qelto::test {
namespace {

// A batch reads and indexes the scanning machine's id databases once: every host's gathering
// holds the same text, and the same index answers for all of them, until the file changes.
TEST(IdDatabases, ReadAndIndexedOnceForEveryHostOfABatch) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/pci.ids");
    const auto write = [&](const QByteArray& text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    write("8086  Intel Corporation\n");
    wmi::lnx::GatherPlan plan;
    plan.lookups = {{path}};
    const auto read = [&] {
        wmi::lnx::Gathered g;
        wmi::lnx::readLookups(plan, QStringLiteral("/"), g);
        return g.text(path);
    };
    const QByteArray one = read(), two = read();
    EXPECT_EQ(one.constData(), two.constData());
    EXPECT_EQ(wmi::lnx::sharedIdDatabase(one), wmi::lnx::sharedIdDatabase(two));
    EXPECT_EQ(wmi::lnx::sharedIdDatabase(two)->vendor(0x8086).toStdString(), "Intel Corporation");
    // Changed (a new size): read and indexed again.
    write("8086  Intel Corp.\n10de  NVIDIA\n");
    const QByteArray three = read();
    EXPECT_NE(three.constData(), one.constData());
    EXPECT_EQ(wmi::lnx::sharedIdDatabase(three)->vendor(0x10de).toStdString(), "NVIDIA");
}

}  // namespace
}  // namespace qelto::test
