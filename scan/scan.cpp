#include "scan.h"

#include "groups/groups.h"

namespace qelto::scan {

namespace {

constexpr Category kCategories[] = {
    {"SystemAbstract", "系统摘要", "k1"},
    {"OperatingSystem", "操作系统", "k9"},
    {"User", "用户", "k19"},
    {"Share", "共享", "k21"},
    {"Cpu", "CPU", "k4"},
    {"Memory", "内存", "k11"},
    {"MotherBoard", "主板", "k12"},
    {"DiskDrive", "硬盘", "k13"},
    {"VideoController", "显示卡", "k10"},
    {"Display", "显示器", "k23"},
    {"NetworkAdapter", "网络适配器", "k7"},
    {"SoundDevice", "音频", "k2"},
    {"CdromDrive", "光驱", "k14"},
    {"Printer", "打印机", "k18"},
    {"Keyboard", "键盘", "k8"},
    {"PointDrive", "鼠标", "k5"},
    {"Bios", "BIOS", "k3"},
    {"PortableBattery", "电池", "k22"},
};

// The computer itself: the root line, and the computer name of the record.
const Group& computer() {
    static const Group g{
        QStringLiteral("Select * From Win32_ComputerSystem"),
        {},
        {
            line("C", "", "k1", {"正在检测计算机：", prop("Caption"), " 的配置信息..."}),
            set(&ScanRecord::datecomputername, prop("Caption")),
        },
        // The categories are added once, whatever the query returned; without a root they are
        // refused like every other line.
        [] {
            std::vector<Step> rows;
            for (const Category& c : kCategories)
                rows.push_back(line(c.key, "C", c.image, {c.text}));
            return rows;
        }()};
    return g;
}

using GroupFn = const Group& (*)();
constexpr GroupFn kGroups[] = {
    groups::computerSystem,
    groups::operatingSystem,
    groups::terminalService,
    groups::userAccounts,
    groups::shares,
    groups::processor,
    groups::cacheMemory,
    groups::memoryArray,
    groups::memoryModules,
    groups::baseBoard,
    groups::portConnectors,
    groups::usbControllers,
    groups::systemSlots,
    groups::diskDrives,
    groups::videoController,
    groups::desktopMonitor,
    groups::networkAdapters,
    groups::soundDevice,
    groups::cdromDrives,
    groups::printers,
    groups::keyboard,
    groups::pointingDevice,
    groups::bios,
    groups::portableBattery,
};

}  // namespace

std::span<const Category> categories() {
    return kCategories;
}

void infoscan(wmi::Service& service, InventoryTree& tree, ScanRecord& record, const QLocale& locale,
              std::vector<Problem>* problems) {
    ScanEnv env{service, tree, record, locale, problems};
    tree.clear();
    runGroup(computer(), env);
    for (GroupFn group : kGroups) runGroup(group(), env);
    if (env.moreUnreadable && problems) {
        Problem more;
        more.kind = Problem::Kind::Value;
        more.description = QStringLiteral("还有更多无法读取的值，未逐一列出。");
        problems->push_back(std::move(more));
    }
    const int count = tree.count();
    for (int i = 0; i < count; ++i) tree.select(i);
    tree.select(0);
}

}  // namespace qelto::scan
