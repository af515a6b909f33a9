// The scan as a whole: the root and the categories, what an empty or failing source leaves, and
// the tree rules every group relies on.

#include "scan_fixture.h"

#include "scan/forms.h"
#include "wmi/error.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace qelto::test {
namespace {

TEST(Scan, RootAndCategoriesInOrder) {
    const auto r = scanClasses(R"("Win32_BIOS": [{"Name": "B"}])");
    ASSERT_GE(r->tree.count(), 19);
    EXPECT_EQ(r->text("C"), "正在检测计算机：PC01 的配置信息...");
    EXPECT_EQ(r->tree.node(0).parent, -1);
    EXPECT_EQ(r->childKeys("C"),
              "SystemAbstract OperatingSystem User Share Cpu Memory MotherBoard DiskDrive "
              "VideoController Display NetworkAdapter SoundDevice CdromDrive Printer Keyboard "
              "PointDrive Bios PortableBattery");
    const char* texts[] = {"系统摘要", "操作系统", "用户",   "共享",   "CPU",        "内存",
                           "主板",     "硬盘",     "显示卡", "显示器", "网络适配器", "音频",
                           "光驱",     "打印机",   "键盘",   "鼠标",   "BIOS",       "电池"};
    const char* images[] = {"k1",  "k9", "k19", "k21", "k4",  "k11", "k12", "k13", "k10",
                            "k23", "k7", "k2",  "k14", "k18", "k8",  "k5",  "k3",  "k22"};
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(r->tree.node(i + 1).text.toStdString(), texts[i]);
        EXPECT_EQ(r->tree.node(i + 1).image.toStdString(), images[i]);
    }
    // Every node was selected once, so every category with lines is expanded; the root ends
    // selected.
    EXPECT_EQ(r->tree.selected(), 0);
    EXPECT_TRUE(r->tree.node(r->tree.indexOf(QStringLiteral("Bios"))).expanded);
    EXPECT_TRUE(r->tree.node(0).expanded);
}

TEST(Scan, EmptyComputerSystemLeavesTreeEmptyButWritesFields) {
    const auto r = scanClasses(R"("Win32_ComputerSystem": [],
        "Win32_PROCESSOR": [{"Name": "CPU X"}], "Win32_DiskDrive": [{"Caption": "D", "Size": "1"}])");
    EXPECT_EQ(r->tree.count(), 0);
    EXPECT_EQ(r->tree.selected(), -1);
    EXPECT_EQ(repr(r->record.datecpu), "text:CPU X");
    EXPECT_EQ(repr(r->record.datediskdrive), "text:  D");
    EXPECT_EQ(repr(r->record.datecomputername), "text:");
}

TEST(Scan, MissingClassesAreReportedOutsideTheTree) {
    const auto r = scanClasses("");
    // Only the computer class exists: the root, 18 categories, the after-walk lines of memory,
    // USB and disks.
    EXPECT_EQ(r->childKeys("MotherBoard"), "usb usb2");
    EXPECT_EQ(r->childKeys("Memory"), "m7 m8");
    EXPECT_EQ(r->childKeys("DiskDrive"), "dd7 dd8");
    EXPECT_EQ(r->tree.count(), 19 + 7);  // and sa1
    bool sawOperatingSystem = false;
    for (const auto& p : r->problems) {
        EXPECT_EQ(p.number, wmi::code::InvalidClass) << p.query.toStdString();
        if (p.query == u"Select * From Win32_OperatingSystem") sawOperatingSystem = true;
    }
    EXPECT_TRUE(sawOperatingSystem);
}

TEST(Scan, SecondScanReplacesTheTreeAndKeepsUnclearedFields) {
    auto store1 = wmi::readSnapshot(R"({"Win32_ComputerSystem": [{"Caption": "ONE"}],
        "Win32_OperatingSystem": [{"systemdrive": "C:", "OSLanguage": 1033}],
        "Win32_BIOS": [{"Name": "B1"}]})");
    auto store2 = wmi::readSnapshot(R"({"Win32_ComputerSystem": [{"Caption": "TWO"}]})");
    scan::InventoryTree tree;
    scan::ScanRecord record;
    wmi::StoreService one(store1), two(store2);
    scan::infoscan(one, tree, record, QLocale::c());
    ASSERT_GE(tree.indexOf(QStringLiteral("b1")), 0);
    record.clearForScan();
    scan::infoscan(two, tree, record, QLocale::c());
    EXPECT_LT(tree.indexOf(QStringLiteral("b1")), 0);
    EXPECT_EQ(tree.node(0).text, u"正在检测计算机：TWO 的配置信息...");
    EXPECT_EQ(repr(record.systemdrive), "text:C:");  // not cleared before a scan
    EXPECT_EQ(repr(record.getl), "text:英语");
    EXPECT_EQ(repr(record.datebios), "text:");
    EXPECT_EQ(repr(record.computername), "text:TWO");
}

TEST(Scan, ComputerNameKeptWhenTheGroupReadsNothing) {
    scan::ScanRecord earlier;
    earlier.computername = wmi::Variant(QStringLiteral("OLD"));
    const auto r =
        scanClasses(R"("Win32_ComputerSystem": [{"Name": "no caption"}])", QLocale::c(), earlier);
    EXPECT_EQ(repr(r->record.computername), "text:OLD");
    EXPECT_EQ(r->tree.count(), 0);  // no caption, no root
}

TEST(Scan, HostileValuesCostOnlyTheirLines) {
    // Invalid UTF-8, a nested object, a huge number, an array where text is expected: each is a
    // failed read, and the lines around them stay.
    const std::string bad = std::string(R"("Win32_BIOS": [{"Name": "bad)") + "\xff\xfe" +
                            R"(", "Manufacturer": {"x": [1, 2]}, "Version": 1e400,
        "SMBIOSBIOSVersion": ["a", "b"], "CurrentLanguage": "ok"}])";
    const auto r = scanClasses(bad);
    EXPECT_EQ(r->text("b1"), "<missing>");
    EXPECT_EQ(r->text("b2"), "<missing>");
    EXPECT_EQ(r->text("b3"), "<missing>");
    EXPECT_EQ(r->text("b4"), "<missing>");
    EXPECT_EQ(r->text("b5"), "当前语言：ok");
    EXPECT_EQ(repr(r->record.datebios), "text:");
}

TEST(Tree, RefusesDuplicateKeysAndMissingParents) {
    scan::InventoryTree t;
    EXPECT_TRUE(
        t.add(QString(), QStringLiteral("C"), QStringLiteral("root"), QStringLiteral("k1")));
    EXPECT_TRUE(
        t.add(QStringLiteral("C"), QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("k1")));
    EXPECT_FALSE(t.add(QStringLiteral("C"), QStringLiteral("a"), QStringLiteral("again"),
                       QStringLiteral("k2")));
    EXPECT_FALSE(t.add(QStringLiteral("nope"), QStringLiteral("b"), QStringLiteral("B"),
                       QStringLiteral("k1")));
    EXPECT_TRUE(
        t.add(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("B"), QStringLiteral("k1")));
    EXPECT_TRUE(t.add(QStringLiteral("C"), QStringLiteral("c"), QStringLiteral("C2"),
                      QStringLiteral("k1")));
    ASSERT_EQ(t.count(), 4);
    EXPECT_EQ(t.node(1).text, u"A");                          // the refused line changed nothing
    EXPECT_EQ(t.node(0).children, (std::vector<int>{1, 3}));  // added as the last child
    EXPECT_FALSE(t.node(1).expanded);
    t.select(2);
    EXPECT_TRUE(t.node(1).expanded);
    EXPECT_TRUE(t.node(0).expanded);
    EXPECT_FALSE(t.node(3).expanded);
    t.clear();
    EXPECT_EQ(t.count(), 0);
    EXPECT_TRUE(t.add(QString(), QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("k1")));
}

TEST(Tree, ManyNodesStayUniqueAndFindable) {
    scan::InventoryTree t;
    t.add(QString(), QStringLiteral("C"), QString(), QString());
    // The root and 99,999 lines fill the tree; then even a new key is refused.
    for (int i = 0; i < scan::InventoryTree::kMaxLines - 1; ++i)
        ASSERT_TRUE(t.add(QStringLiteral("C"), QStringLiteral("n%1").arg(i), QString(), QString()));
    EXPECT_FALSE(t.add(QStringLiteral("C"), QStringLiteral("n99998"), QString(), QString()));
    EXPECT_EQ(t.indexOf(QStringLiteral("n54321")), 54322);
    EXPECT_TRUE(t.full());
    EXPECT_FALSE(t.add(QStringLiteral("C"), QStringLiteral("new"), QString(), QString()));
    EXPECT_EQ(t.count(), 100000);
}

// --- hostile sources
// ------------------------------------------------------------------------------

// A machine of `adapters` adapters and as many IP-enabled configurations, all with one MAC address:
// every adapter pairs with every configuration.
std::shared_ptr<wmi::InstanceStore> sameMacMachine(int adapters) {
    auto store = std::make_shared<wmi::InstanceStore>();
    const auto add = [&](const char* className,
                         std::vector<std::pair<const char*, wmi::Variant>> ps) {
        wmi::Instance instance;
        for (auto& [name, value] : ps) instance.set(QString::fromLatin1(name), std::move(value));
        store->addClass(QString::fromLatin1(className)).items.emplace_back(std::move(instance));
    };
    const wmi::Variant mac(QStringLiteral("00:11:22:33:44:55"));
    add("Win32_ComputerSystem", {{"Caption", wmi::Variant(QStringLiteral("PC01"))}});
    for (int i = 0; i < adapters; ++i) {
        add("Win32_NetworkAdapter", {{"MACAddress", mac}, {"Manufacturer", wmi::Variant(u"M")}});
        add("Win32_NetworkAdapterConfiguration",
            {{"MACAddress", mac},
             {"IPEnabled", wmi::Variant(true)},
             {"Description", wmi::Variant(u"nic")},
             {"IPAddress", wmi::Variant(wmi::Variant::Array{wmi::Variant(u"10.0.0.1")})}});
    }
    add("Win32_BIOS", {{"Name", wmi::Variant(u"B")}});
    return store;
}

TEST(Limits, PairingEveryAdapterWithEveryConfigurationStaysLinearAndBounded) {
    // 1000 × 1000 pairs: a million blocks of lines and a million pieces in each network field.
    QElapsedTimer timer;
    timer.start();
    wmi::StoreService service(sameMacMachine(1000));
    scan::InventoryTree tree;
    scan::ScanRecord record;
    record.clearForScan();
    std::vector<scan::Problem> problems;
    scan::infoscan(service, tree, record, QLocale::c(), &problems);
    EXPECT_LT(timer.elapsed(), 60000) << "the scan took " << timer.elapsed() << " ms";

    EXPECT_EQ(tree.count(), scan::InventoryTree::kMaxLines);
    EXPECT_EQ(tree.indexOf(QStringLiteral("b1")), -1);  // after the tree filled up
    EXPECT_EQ(repr(record.datebios), "text:B");         // fields are still written
    const qsizetype piece = QStringLiteral("  nic").size();
    EXPECT_EQ(record.datenetworkname.textValue().size(), 1000 * 1000 * piece);
    int full = 0;
    for (const auto& p : problems)
        if (p.kind == scan::Problem::Kind::TreeFull) ++full;
    EXPECT_EQ(full, 1);
}

TEST(Limits, ValuesThatCannotBeReadAreNotedOnceEach) {
    // The caption is read by the root line and by the computer name; the memory module's
    // capacity by several rows. A property the object lacks is no problem.
    const auto r = scanClasses(R"("Win32_ComputerSystem": [{"Caption": {}}],
        "Win32_PhysicalMemory": [{"Capacity": 1}, {"Capacity": [{}], "Speed": 800}])");
    EXPECT_EQ(r->tree.count(), 0);
    QStringList values;
    for (const auto& p : r->problems)
        if (p.kind == scan::Problem::Kind::Value)
            values << QStringLiteral("%1 #%2 %3").arg(p.query).arg(p.object).arg(p.property);
    EXPECT_EQ(values.join(u'|').toStdString(),
              "Select * From Win32_ComputerSystem #1 Caption|"
              "Select * From Win32_PhysicalMemory #2 capacity");
}

}  // namespace
}  // namespace qelto::test
