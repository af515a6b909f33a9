// The lines and fields of every query group, scanned from snapshots. Each case gives the classes of
// one machine and the lines (by key) and fields that the scan must produce from them.

#include "scan_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qelto::test {
namespace {

const char* const kMissing = "<missing>";

struct Case {
    const char* name;
    std::string classes;
    std::vector<std::pair<const char*, const char*>> lines;          // key → text, or kMissing
    std::vector<std::pair<const char*, const char*>> fields;         // field → repr()
    std::vector<std::pair<const char*, const char*>> children = {};  // key → child keys
    const char* locale = "en_US";
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string fieldRepr(const scan::ScanRecord& r, const char* name) {
    if (std::string(name) == "computername") return repr(r.computername);
    for (const auto& f : scan::ScanRecord::publicFields())
        if (std::string(f.name) == name) return repr(r.*f.member);
    return "<no such field>";
}

class GroupLines : public ::testing::TestWithParam<Case> {};

TEST_P(GroupLines, MatchTheTable) {
    const Case& c = GetParam();
    const auto r = scanClasses(c.classes, QLocale(QString::fromLatin1(c.locale)));
    for (const auto& [key, text] : c.lines) EXPECT_EQ(r->text(key), text) << "line " << key;
    for (const auto& [field, value] : c.fields)
        EXPECT_EQ(fieldRepr(r->record, field), value) << "field " << field;
    for (const auto& [key, keys] : c.children)
        EXPECT_EQ(r->childKeys(key), keys) << "under " << key;
}

const std::string kOs =
    R"J("Caption": "Debian GNU/Linux 12 (bookworm)", "ServicePackMajorVersion": 0, "Version": "6.1.0",
       "CSDVersion": null, "OSLanguage": 2052, "Organization": "QEL", "RegisteredUser": "root",
       "Manufacturer": "Debian", "systemdrive": "/", "SystemDirectory": "/usr/bin",
       "WindowsDirectory": "/etc", "SystemDevice": "/dev/sda1", "encryptionlevel": 256,
       "Status": "OK", "lastbootuptime": "20261207081500.000000+000", "Primary": true,
       "TotalVirtualMemorySize": "2097152", "SerialNumber": "abc", "NumberOfProcesses": 123,
       "NumberOfUsers": 2, "LocalDateTime": "20261207093000.123456+000")J";

std::string os(const std::string& more) {
    return R"("Win32_OperatingSystem": [{)" + kOs + ", " + more + "}]";
}

const std::string kCpu =
    R"("Name": "  Intel(R) Xeon(R)  CPU  ", "Manufacturer": "GenuineIntel",
       "Description": "Intel64 Family 6", "Status": "OK", "ProcessorId": "BFEBFBFF000906EA",
       "AddressWidth": 64, "DataWidth": 64, "SocketDesignation": "CPU0", "LoadPercentage": 3)";

std::string cpu(const std::string& more) {
    return R"("Win32_PROCESSOR": [{)" + kCpu + ", " + more + "}]";
}

std::string disks(const std::vector<std::string>& sizes) {
    std::string s = R"("Win32_DiskDrive": [)";
    char name = 'A';
    for (const auto& size : sizes) {
        if (name != 'A') s += ", ";
        s += R"({"Caption": "Disk )" + std::string(1, name++) +
             R"J(", "Manufacturer": "(标准磁盘驱动器)", "MediaType": "Fixed hard disk media",
                 "InterfaceType": "SCSI", "Partitions": 2, "Size": )J" +
             size + "}";
    }
    return s + "]";
}

const std::string kAdapter =
    R"("Win32_NetworkAdapter": [{"MACAddress": "00:1A:2B:3C:4D:5E", "Manufacturer": "Intel Corporation",
                                 "AdapterType": "以太网 802.3"}])";

std::string config(const std::string& mac, const std::string& more) {
    return R"({"MACAddress": ")" + mac + R"(", "IPEnabled": true, "Description": "eth0",
               "DHCPEnabled": false, "IPSubnet": ["255.255.255.0"], "DefaultIPGateway": ["192.168.0.1"],
               "DHCPServer": null, "DNSDomain": null, "WINSPrimaryServer": null,
               "WINSSecondaryServer": null, )" +
           more + "}";
}

const Case kCases[] = {
    // --- computer system --------------------------------------------------------------------
    {"workgroup_member",
     R"("Win32_ComputerSystem": [{"Caption": "PC01", "model": "OptiPlex", "systemtype": "x64-based PC",
        "Manufacturer": "Dell", "UserName": "CORP\\alice", "workgroup": "WORKGROUP", "domain": "WORKGROUP",
        "DomainRole": 1, "BootupState": "Normal boot", "SystemStartupOptions": ["Debian GNU/Linux", "Windows 10"],
        "NumberOfProcessors": 2}])",
     {{"C", "正在检测计算机：PC01 的配置信息..."},
      {"sa1", "计算机名：PC01"},
      {"sa2", "型号：OptiPlex"},
      {"sa3", "系统类型：x64-based PC"},
      {"sa7", "制造商：Dell"},
      {"sa4", "用户名：CORP\\alice"},
      {"sa5", "工作组：WORKGROUP"},
      {"sa6", "角色：成员工作站"},
      {"sa8", "启动方式：Normal boot"},
      {"sa90", "安装的系统-1：Debian GNU/Linux"},
      {"sa91", "安装的系统-2：Windows 10"},
      {"cpu13", "处理器核心数：2"}},
     {{"dateuser", "text:CORP\\alice"},
      {"computername", "text:PC01"},
      {"datecomputername", "text:PC01"}},
     {{"SystemAbstract", "sa1 sa2 sa3 sa7 sa4 sa5 sa6 sa8 sa90 sa91"}, {"Cpu", "cpu13"}}},
    // cpu13 counts logical processors where the object has them, sockets otherwise.
    {"logical_processors",
     R"("Win32_ComputerSystem": [{"Caption": "PC02", "NumberOfProcessors": 2, "NumberOfLogicalProcessors": 16}])",
     {{"cpu13", "处理器核心数：16"}},
     {}},
    {"logical_processors_null",
     R"("Win32_ComputerSystem": [{"Caption": "PC03", "NumberOfProcessors": 2, "NumberOfLogicalProcessors": null}])",
     {{"cpu13", "处理器核心数：2"}},
     {}},
    {"domain_controller",
     R"("Win32_ComputerSystem": [{"Caption": "DC1", "workgroup": null, "domain": "corp.example", "DomainRole": 5}])",
     {{"sa5", "域名：corp.example"}, {"sa6", "角色：主域控制器"}, {"sa2", kMissing}},
     {}},
    {"nobody_logged_on_unknown_role",
     R"("Win32_ComputerSystem": [{"Caption": "PC01", "UserName": null, "DomainRole": 6,
        "SystemStartupOptions": null, "workgroup": "WG"}])",
     {{"sa4", "用户名："}, {"sa6", kMissing}, {"sa90", kMissing}},
     {{"dateuser", "null"}}},
    {"role_unreadable_and_text_role",
     R"("Win32_ComputerSystem": [{"Caption": "PC01", "DomainRole": "3", "SystemStartupOptions": "not an array"}])",
     {{"sa6", "角色：成员服务器"}, {"sa90", kMissing}},
     {}},

    // --- operating system -------------------------------------------------------------------
    {"operating_system_lines",
     os(R"("InstallDate": "20090402153045.000000+480", "TotalVisibleMemorySize": "1048052",
           "FreePhysicalMemory": "300000")"),
     {{"os1", "当前操作系统：Debian GNU/Linux 12 (bookworm) (SP0)"},
      {"os2", "版本：6.1.0 Build "},
      {"os3", "系统语言：中文简体"},
      {"os4", "注册组织：QEL"},
      {"os5", "注册用户：root"},
      {"os6", "制造商：Debian"},
      {"os7", "安装日期：2009-04-02 15：30：45"},
      {"os8", "系统盘：/盘"},
      {"os9", "系统目录：/usr/bin"},
      {"os10", "Windows目录：/etc"},
      {"os11", "开机装置：/dev/sda1"},
      {"os12", "加密级别：256 bit"},
      {"os13", "状态：OK"},
      {"os14", "开机时间：2026-12-07 08：15：00"},
      {"os15", "主要的系统：True"},
      {"os16", "虚拟内存总计：2048MB"},
      {"os17", "产品ID：abc"},
      {"os18", "物理内存总计：1023MB"},
      {"os19", "物理内存剩余：292MB   28.6%"},
      {"os20", "进程数：123"},
      {"os21", "进程用户数：2"},
      {"os22", "本机时间：2026-12-07 09：30：00"}},
     {{"dateos", "text:Debian GNU/Linux 12 (bookworm) (SP0)"},
      {"getl", "text:中文简体"},
      {"dateinstalldate", "text:20090402153045"},
      {"systemdrive", "text:/"},
      {"datememory", "text:1023MB"}},
     {{"OperatingSystem",
       "os1 os2 os3 os4 os5 os6 os7 os8 os9 os10 os11 os12 os13 os14 os15 os16 os17 os18 os19 os20 "
       "os21 os22"}}},
    {"free_memory_quarter",
     os(R"("InstallDate": "2009", "TotalVisibleMemorySize": 1048576, "FreePhysicalMemory": 262144)"),
     {{"os18", "物理内存总计：1024MB"},
      {"os19", "物理内存剩余：256MB   25%"},
      {"os7", "安装日期：2009-- ：："}},
     {{"dateinstalldate", "text:2009"}}},
    {"free_memory_cut_not_rounded",
     os(R"("TotalVisibleMemorySize": 1048576, "FreePhysicalMemory": 300000)"),
     {{"os19", "物理内存剩余：292MB   28.6%"},
      {"os7", "安装日期："},
      {"os14", "开机时间：2026-12-07 08：15：00"}},
     {{"dateinstalldate", "text:"}}},
    {"free_memory_comma_locale",
     os(R"("TotalVisibleMemorySize": 1048576, "FreePhysicalMemory": 300000)"),
     {{"os19", "物理内存剩余：292MB   28,6%"}},
     {},
     {},
     "de_DE"},
    {"memory_total_zero",
     os(R"("TotalVisibleMemorySize": 0, "FreePhysicalMemory": 0)"),
     {{"os18", "物理内存总计：0MB"}, {"os19", kMissing}},
     {{"datememory", "text:0MB"}}},
    {"memory_total_null",
     os(R"("TotalVisibleMemorySize": null, "FreePhysicalMemory": 100, "TotalVirtualMemorySize": null)"),
     {{"os16", "虚拟内存总计：MB"}, {"os18", "物理内存总计：MB"}, {"os19", kMissing}},
     {{"datememory", "text:MB"}}},
    {"memory_total_not_a_number",
     os(R"("TotalVisibleMemorySize": "lots", "FreePhysicalMemory": 100)"),
     {{"os18", kMissing}, {"os19", kMissing}, {"os20", "进程数：123"}},
     {{"datememory", "text:"}}},
    {"install_date_null",
     os(R"("InstallDate": null, "TotalVisibleMemorySize": 1, "FreePhysicalMemory": 1)"),
     {{"os7", "安装日期："}},
     {{"dateinstalldate", "text:"}}},
    {"remote_desktop_allowed",
     R"("Win32_TerminalServiceSetting": [{"AllowTSConnections": 1}])",
     {{"tss1", "远程桌面：允许"}},
     {}},
    {"remote_desktop_denied",
     R"("Win32_TerminalServiceSetting": [{"AllowTSConnections": 0}, {"AllowTSConnections": 1}])",
     {{"tss1", "远程桌面：不允许"}},
     {}},
    {"remote_desktop_null",
     R"("Win32_TerminalServiceSetting": [{"AllowTSConnections": null}])",
     {{"tss1", "远程桌面：允许"}},
     {}},
    {"accounts_and_shares_count_separately",
     R"("Win32_UserAccount": [{"Name": "root", "Disabled": false}, {"Name": "daemon", "Disabled": true},
                              {"Name": "alice", "Disabled": null}],
        "Win32_Share": [{"Name": "public"}, {"Name": "IPC$"}])",
     {{"uaitem11", "1-名称：root"},
      {"uaitem12", "2-名称：daemon"},
      {"uaitem13", "3-名称：alice"},
      {"shareitem11", "1-名称：public"},
      {"shareitem12", "2-名称：IPC$"}},
     {},
     {{"User", "uaitem11 uaitem12 uaitem13"}}},
    {"account_unreadable_keeps_numbering",
     R"("Win32_UserAccount": [{"Name": {"nested": 1}}, {"Name": "b"}])",
     {{"uaitem11", kMissing}, {"uaitem12", "2-名称：b"}},
     {}},

    // --- processor and cache ------------------------------------------------------------------
    {"processor_lines",
     R"("Win32_ComputerSystem": [{"Caption": "PC01", "NumberOfProcessors": 1}], )" +
         cpu(R"("MaxClockSpeed": 2394, "ExtClock": 100, "CurrentVoltage": 15, "CurrentClockSpeed": 1150)"),
     {{"cpu1", "型号：Intel(R) Xeon(R)  CPU"},
      {"cpu2", "制造商：GenuineIntel"},
      {"cpu3", "处理器描述：Intel64 Family 6"},
      {"cpu4", "最大频率：2.4GHz"},
      {"cpu5", "状态：OK"},
      {"cpu6", "处理器号码：BFEBFBFF000906EA"},
      {"cpu7", "外频：100 MHZ"},
      {"cpu8", "倍频：x24"},
      {"cpu9", "地址宽度：64Bits"},
      {"cpu10", "数据宽度：64Bits"},
      {"cpu11", "针脚：CPU0"},
      {"cpu12", "电压：1.5 V"},
      {"cpu14", "CPU使用率：3%"},
      {"cpu15", "当前频率：1.2GHz"}},
     {{"datecpu", "text:Intel(R) Xeon(R)  CPU"}},
     {{"Cpu", "cpu13 cpu1 cpu2 cpu3 cpu4 cpu5 cpu6 cpu7 cpu8 cpu9 cpu10 cpu11 cpu12 cpu14 cpu15"}}},
    {"frequency_3000",
     cpu(R"("MaxClockSpeed": 3000, "ExtClock": 200)"),
     {{"cpu4", "最大频率：3.0GHz"}, {"cpu8", "倍频：x15"}},
     {}},
    {"frequency_half_away",
     cpu(R"("MaxClockSpeed": 2250, "ExtClock": 200, "CurrentClockSpeed": 2350)"),
     {{"cpu4", "最大频率：2.3GHz"}, {"cpu15", "当前频率：2.4GHz"}},
     {}},
    {"multiplier_12",
     cpu(R"("MaxClockSpeed": 2400, "ExtClock": 200)"),
     {{"cpu8", "倍频：x12"}},
     {}},
    {"multiplier_tie_to_even_down",
     cpu(R"("MaxClockSpeed": 2500, "ExtClock": 200)"),
     {{"cpu8", "倍频：x12"}},
     {}},
    {"multiplier_tie_to_even_up",
     cpu(R"("MaxClockSpeed": 2700, "ExtClock": 200)"),
     {{"cpu8", "倍频：x14"}},
     {}},
    {"multiplier_zero_ext_clock",
     cpu(R"("MaxClockSpeed": 2700, "ExtClock": 0)"),
     {{"cpu8", kMissing}, {"cpu7", "外频：0 MHZ"}, {"cpu4", "最大频率：2.7GHz"}},
     {}},
    {"multiplier_out_of_range",
     cpu(R"("MaxClockSpeed": 4000000, "ExtClock": 1)"),
     {{"cpu8", kMissing}},
     {}},
    {"null_clock_and_voltage",
     cpu(R"("MaxClockSpeed": null, "ExtClock": null, "CurrentVoltage": null, "CurrentClockSpeed": null)"),
     {{"cpu4", kMissing},
      {"cpu8", kMissing},
      {"cpu7", "外频： MHZ"},
      {"cpu12", "电压： V"},
      {"cpu15", kMissing}},
     {}},
    {"voltage_33", cpu(R"("CurrentVoltage": 33)"), {{"cpu12", "电压：3.3 V"}}, {}},
    {"comma_decimal_separator",
     cpu(R"("MaxClockSpeed": 2394, "CurrentVoltage": 15, "CurrentClockSpeed": 1150)"),
     {{"cpu4", "最大频率：2,4GHz"}, {"cpu12", "电压：1,5 V"}, {"cpu15", "当前频率：1,2GHz"}},
     {},
     {},
     "de_DE"},
    {"wrong_types_cost_only_their_line",
     cpu(R"("MaxClockSpeed": "fast", "ExtClock": 100, "CurrentVoltage": {"v": 1})"),
     {{"cpu4", kMissing}, {"cpu8", kMissing}, {"cpu12", kMissing}, {"cpu7", "外频：100 MHZ"}},
     {}},
    {"second_processor_fills_free_key",
     R"("Win32_PROCESSOR": [{"Name": "First", "MaxClockSpeed": null, "Status": "OK"},
                            {"Name": " Second ", "MaxClockSpeed": 3000, "Status": "Degraded"}])",
     {{"cpu1", "型号：First"}, {"cpu4", "最大频率：3.0GHz"}, {"cpu5", "状态：OK"}},
     {{"datecpu", "text:Second"}}},
    {"processor_null_name",
     R"("Win32_PROCESSOR": [{"Name": null}])",
     {{"cpu1", "型号："}},
     {{"datecpu", "null"}}},
    {"caches_in_delivery_order",
     R"("Win32_CacheMemory": [{"Level": 5, "MaxCacheSize": 8192}, {"Level": 3, "MaxCacheSize": 32},
                              {"Level": 4, "MaxCacheSize": 512}, {"Level": 3, "MaxCacheSize": 64},
                              {"Level": 6, "MaxCacheSize": 1}, {"Level": null, "MaxCacheSize": 2}])",
     {{"c1", "L1 缓存：32KB"}, {"c2", "L2 缓存：512KB"}, {"c3", "L3 缓存：8192KB"}},
     {},
     {{"Cpu", "c3 c1 c2"}}},

    // --- memory, board, ports, slots -----------------------------------------------------------
    {"memory_array",
     R"("Win32_PhysicalMemoryArray": [{"MaxCapacity": 4194304, "MemoryDevices": 4}])",
     {{"ma1", "最高可扩充：4GB"}, {"ma2", "插槽总数：4个"}},
     {}},
    {"memory_array_fraction",
     R"("Win32_PhysicalMemoryArray": [{"MaxCapacity": 1572864, "MemoryDevices": null}])",
     {{"ma1", "最高可扩充：1,5GB"}, {"ma2", "插槽总数：个"}},
     {},
     {},
     "de_DE"},
    {"two_modules",
     R"("Win32_PhysicalMemory": [
          {"Name": "DIMM0", "Manufacturer": "Samsung", "capacity": "536870912", "Speed": 2666, "PositionInRow": 1, "MemoryType": 20},
          {"Name": "DIMM1", "Manufacturer": "Hynix", "capacity": "1073741824", "Speed": 2666, "PositionInRow": 2, "MemoryType": 21}])",
     {{"m11", "1-名称：DIMM0"},
      {"m21", "1-制造商：Samsung"},
      {"m31", "1-容量：512MB"},
      {"m41", "1-频率：2666 MHz"},
      {"m51", "1-安装位置：1插槽"},
      {"m61", "内存类型：DDR "},
      {"m12", "2-名称：DIMM1"},
      {"m32", "2-容量：1024MB"},
      {"m62", "内存类型：DDR 2 "},
      {"m7", "总条数：2条"},
      {"m8", "总容量：1536MB"}},
     {},
     {{"Memory", "m11 m21 m31 m41 m51 m61 m12 m22 m32 m42 m52 m62 m7 m8"}}},
    {"memory_type_names",
     R"("Win32_PhysicalMemory": [{"MemoryType": 24}, {"MemoryType": 0}, {"MemoryType": null}, {"MemoryType": 17},
                                 {"MemoryType": "x"}, {}])",
     {{"m61", "内存类型：未知 "},
      {"m62", "内存类型：未知 "},
      {"m63", "内存类型：未知 "},
      {"m64", "内存类型：SDRAM "},
      {"m65", "内存类型：未知 "},
      {"m66", "内存类型：未知 "},
      {"m7", "总条数：6条"},
      {"m8", "总容量：0MB"}},
     {}},
    {"no_modules", "", {{"m7", "总条数：0条"}, {"m8", "总容量：0MB"}, {"ma1", kMissing}}, {}},
    {"null_capacity_empties_total",
     R"("Win32_PhysicalMemory": [{"capacity": null}, {"capacity": "1048576"}])",
     {{"m31", "1-容量：MB"}, {"m32", "2-容量：1MB"}, {"m8", "总容量：MB"}},
     {}},
    {"unreadable_capacity_adds_nothing",
     R"("Win32_PhysicalMemory": [{"capacity": {}}, {"capacity": "1048576"}])",
     {{"m31", kMissing}, {"m32", "2-容量：1MB"}, {"m7", "总条数：2条"}, {"m8", "总容量：1MB"}},
     {}},
    {"two_boards",
     R"("Win32_BaseBoard": [{"product": "X570 ", "Manufacturer": "ASUS", "Version": "Rev 1", "SerialNumber": "S1"},
                            {"product": "B450", "Manufacturer": "MSI"}])",
     {{"mb1", "型号：X570 "},
      {"mb2", "制造商：ASUS"},
      {"mb3", "版本：Rev 1"},
      {"mb4", "序列号：S1"}},
     {{"datebaseboard", "text:B450"}},
     {{"MotherBoard", "mb1 mb2 mb3 mb4 usb usb2"}}},
    {"usb_counts",
     R"("Win32_PortConnector": [{"PortType": 16}, {"PortType": 16}, {"PortType": 3}, {"PortType": null}, {"PortType": 16}, {}],
        "Win32_USBController": [{"Name": "Intel USB2 Enhanced Host Controller"}, {"Name": "usb2 enhanced host"},
                                {"Name": "Standard OpenHCD"}, {"Name": null}, {"Name": "Enhanced"}])",
     {{"usb", "USB接口数：3"}, {"usb2", "USB 2.0接口数：2"}},
     {}},
    {"usb_counts_without_classes", "", {{"usb", "USB接口数：0"}, {"usb2", "USB 2.0接口数：0"}}, {}},
    {"slots_from_zero",
     R"("Win32_SystemSlot": [{"Tag": "Slot0", "SlotDesignation": "PCIe x16", "CurrentUsage": 3},
                             {"Tag": "Slot1", "SlotDesignation": "PCIe x1", "CurrentUsage": 4},
                             {"Tag": "Slot2", "SlotDesignation": "PCI", "CurrentUsage": 2}])",
     {{"ss10", "0-标签：Slot0"},
      {"ss20", "0-扩展槽类型：PCIe x16"},
      {"ss30", "0-使用状况：未使用"},
      {"ss31", "1-使用状况：已使用"},
      {"ss32", "2-使用状况：其它"},
      {"ss12", "2-标签：Slot2"}},
     {}},

    // --- disks, display
    // ---------------------------------------------------------------------------
    {"one_disk",
     disks({R"("500107862016")"}),
     {{"dd11", "1-名称：Disk A"},
      {"dd21", "1-制造商：(标准磁盘驱动器)"},
      {"dd31", "1-类型：Fixed hard disk media"},
      {"dd41", "1-容量：466 GB"},
      {"dd51", "1-接口：SCSI"},
      {"dd61", "1-分区数：2"},
      {"dd7", "总块数：1"},
      {"dd8", "总容量：465 GB"}},
     {{"diskdrivesum", "number:500107862016"}, {"datediskdrive", "text:  Disk A"}}},
    {"disk_grouped",
     disks({R"("2000398934016")"}),
     {{"dd41", "1-容量：1,863 GB"}, {"dd8", "总容量：1863 GB"}},
     {}},
    {"disk_grouped_comma_locale",
     disks({R"("2000398934016")"}),
     {{"dd41", "1-容量：1.863 GB"}},
     {},
     {},
     "de_DE"},
    {"disk_half_gigabyte_rounds_up",
     disks({R"("499826819072")"}),
     {{"dd41", "1-容量：466 GB"}, {"dd8", "总容量：465 GB"}},
     {}},
    {"two_disks",
     disks({R"("500107862016")", "250059350016"}),
     {{"dd12", "2-名称：Disk B"},
      {"dd42", "2-容量：233 GB"},
      {"dd7", "总块数：2"},
      {"dd8", "总容量：698 GB"}},
     {{"datediskdrive", "text:  Disk A  Disk B"}, {"diskdrivesum", "number:750167212032"}}},
    {"no_disk",
     "",
     {{"dd11", kMissing}, {"dd7", "总块数：0"}, {"dd8", "总容量：0 GB"}},
     {{"diskdrivesum", "number:0"}, {"datediskdrive", "text:"}}},
    {"null_disk_size",
     disks({"null", R"("1073741824")"}),
     {{"dd41", kMissing}, {"dd42", "2-容量：1 GB"}, {"dd8", "总容量： GB"}, {"dd7", "总块数：2"}},
     {{"diskdrivesum", "null"}}},
    {"disk_walk_breaks_off",
     R"("Win32_DiskDrive": [{"Caption": "A", "Size": "1073741824"}, "#enumeration-error", {"Caption": "C"}])",
     {{"dd11", "1-名称：A"}, {"dd12", kMissing}, {"dd7", "总块数：1"}, {"dd8", "总容量：1 GB"}},
     {{"datediskdrive", "text:  A"}}},
    {"video_controller",
     R"("Win32_VideoController": [{"Caption": "VGA", "VideoProcessor": "GP104", "AdapterCompatibility": "NVIDIA",
         "AdapterDACType": "Integrated RAMDAC", "CurrentHorizontalResolution": 1920, "CurrentVerticalResolution": 1080,
         "CurrentBitsPerPixel": 32, "CurrentRefreshRate": 60, "AdapterRAM": 268435456, "DriverVersion": "535.1",
         "MinRefreshRate": 56, "MaxRefreshRate": 75, "DriverDate": "20060621000000.000000-000"}])",
     {{"cc1", "型号：VGA"},
      {"cc2", "芯片类型：GP104"},
      {"cc3", "制造厂商：NVIDIA"},
      {"cc4", "DAC类型：Integrated RAMDAC"},
      {"cc5", "当前显示模式：1920 * 1080 (32 bit) 60Hz"},
      {"cc6", "显存：256MB"},
      {"cc7", "驱动版本：Version 535.1"},
      {"cc8", "刷新频率：56Hz~75Hz"},
      {"cc9", "驱动程序日期：20060621000000"}},
     {{"datevideo", "text:VGA"}}},
    {"video_nulls_and_second_controller",
     R"("Win32_VideoController": [{"Caption": "First", "AdapterRAM": null, "MinRefreshRate": null, "MaxRefreshRate": null,
                                   "DriverDate": null},
                                  {"Caption": "Second", "AdapterRAM": 1073741824, "DriverDate": "2006"}])",
     {{"cc1", "型号：First"},
      {"cc6", "显存：1,024MB"},
      {"cc8", "刷新频率：Hz~Hz"},
      {"cc9", "驱动程序日期：2006"}},
     {{"datevideo", "text:Second"}}},
    {"mirror_driver_left_out",
     R"("Win32_VideoController": [{"Caption": "DameWare Development Mirror Driver"}, {"Caption": "Real"}])",
     {{"cc1", "型号：Real"}},
     {{"datevideo", "text:Real"}}},
    {"monitor",
     R"("Win32_DesktopMonitor": [{"Name": "DELL U2415", "PNPDeviceID": "DISPLAY\\DELA0BC", "MonitorManufacturer": "Dell"},
                                 {"Name": "Second"}])",
     {{"dm1", "名称：DELL U2415"}, {"dm2", "装置ID：DISPLAY\\DELA0BC"}, {"dm3", "制造商：Dell"}},
     {}},

    // --- network
    // ------------------------------------------------------------------------------------
    {"one_adapter_block",
     kAdapter + R"(, "Win32_NetworkAdapterConfiguration": [)" +
         config("00:1A:2B:3C:4D:5E", R"("IPAddress": ["192.168.0.10"])") + "]",
     {{"nac11", "1-名称：eth0"},
      {"na11", "1-制造商：Intel Corporation"},
      {"na21", "1-MAC地址：00:1A:2B:3C:4D:5E"},
      {"na31", "1-类型：以太网 802.3"},
      {"nac21", "1-自动获得：False"},
      {"nac31", "1-IP地址：192.168.0.10"},
      {"nac41", "1-子网掩码：255.255.255.0"},
      {"nac51", "1-默认网关：192.168.0.1"},
      {"nac61", "1-是否自动获取：False"},
      {"nac71", "1-DHCP服务器："},
      {"nac81", "1-DNS域："},
      {"nac91", "1-主WINS："},
      {"nac101", "1-辅WINS："}},
     {{"datenetworkname", "text:  eth0"},
      {"datenetworkip", "text:  192.168.0.10"},
      {"datenetworkmac", "text:  00:1A:2B:3C:4D:5E"}},
     {{"NetworkAdapter",
       "nac11 na11 na21 na31 nac21 nac31 nac41 nac51 nac61 nac71 nac81 nac91 nac101"}}},
    {"two_addresses_and_null_dhcp",
     kAdapter + R"(, "Win32_NetworkAdapterConfiguration": [)" +
         config("00:1A:2B:3C:4D:5E",
                R"("IPAddress": ["10.0.0.2", "fe80::1"], "DHCPEnabled": null)") +
         "]",
     {{"nac31", "1-IP地址：10.0.0.2"},
      {"nac31.1", "1-IP地址：fe80::1"},
      {"nac21", "1-自动获得："},
      {"nac61", kMissing},
      {"nac71", kMissing}},
     {{"datenetworkip", "text:  10.0.0.2  fe80::1"}},
     {{"NetworkAdapter",
       "nac11 na11 na21 na31 nac21 nac31 nac31.1 nac41 nac51 nac81 nac91 nac101"}}},
    {"mac_compared_exactly",
     kAdapter + R"(, "Win32_NetworkAdapterConfiguration": [)" +
         config("00:1a:2b:3c:4d:5e", R"("IPAddress": ["10.0.0.2"])") + "]",
     {{"nac11", kMissing}, {"na11", kMissing}},
     {{"datenetworkname", "text:"}, {"datenetworkip", "text:"}, {"datenetworkmac", "text:"}},
     {{"NetworkAdapter", ""}}},
    {"configuration_not_ip_enabled",
     kAdapter +
         R"(, "Win32_NetworkAdapterConfiguration": [{"MACAddress": "00:1A:2B:3C:4D:5E", "IPEnabled": false, "Description": "x"}])",
     {{"nac11", kMissing}},
     {{"datenetworkname", "text:"}}},
    {"named_makers_and_null_maker_left_out",
     R"("Win32_NetworkAdapter": [{"MACAddress": "00:00:00:00:00:01", "Manufacturer": "microsoft"},
                                 {"MACAddress": "00:00:00:00:00:02", "Manufacturer": "VMware, Inc."},
                                 {"MACAddress": "00:00:00:00:00:03", "Manufacturer": null},
                                 {"MACAddress": null, "Manufacturer": "Realtek"},
                                 {"MACAddress": "00:00:00:00:00:05", "Manufacturer": "Realtek"}],
        "Win32_NetworkAdapterConfiguration": [)" +
         config("00:00:00:00:00:01", R"("IPAddress": null)") + ", " +
         config("00:00:00:00:00:02", R"("IPAddress": null)") + ", " +
         config("00:00:00:00:00:03", R"("IPAddress": null)") + ", " +
         config("00:00:00:00:00:05", R"("IPAddress": null)") + "]",
     {{"na11", "1-制造商：Realtek"}, {"na12", kMissing}, {"nac31", kMissing}},
     {{"datenetworkmac", "text:  00:00:00:00:00:05"}}},
    {"two_adapters_two_blocks",
     R"("Win32_NetworkAdapter": [{"MACAddress": "A", "Manufacturer": "M1"}, {"MACAddress": "B", "Manufacturer": "M2"}],
        "Win32_NetworkAdapterConfiguration": [)" +
         config("B", R"("Description": "eth1", "IPAddress": ["10.0.0.3"])") + ", " +
         config("A", R"("Description": "eth0", "IPAddress": ["10.0.0.2"])") + "]",
     {{"nac11", "1-名称：eth0"}, {"nac12", "2-名称：eth1"}, {"na12", "2-制造商：M2"}},
     {{"datenetworkname", "text:  eth0  eth1"},
      {"datenetworkip", "text:  10.0.0.2  10.0.0.3"},
      {"datenetworkmac", "text:  A  B"}}},
    {"one_adapter_two_configurations",
     R"("Win32_NetworkAdapter": [{"MACAddress": "A", "Manufacturer": "M1"}],
        "Win32_NetworkAdapterConfiguration": [)" +
         config("A", R"("Description": "first", "IPAddress": null)") + ", " +
         config("A", R"("Description": "second", "IPAddress": null)") + "]",
     {{"nac11", "1-名称：first"}, {"nac12", "2-名称：second"}, {"na22", "2-MAC地址：A"}},
     {{"datenetworkmac", "text:  A  A"}}},
    {"configuration_query_fails_for_adapter",
     R"("Win32_NetworkAdapter": [{"MACAddress": "A", "Manufacturer": "M1"}],
        "Win32_SoundDevice": [{"Caption": "HDA"}])",
     {{"nac11", kMissing}, {"sd1", "名称：HDA"}},
     {{"datenetworkname", "text:"}, {"datesound", "text:HDA"}}},

    // --- sound, optical, printers, input, BIOS, battery
    // -------------------------------------------
    {"two_sound_devices",
     R"("Win32_SoundDevice": [{"Caption": "HDA", "Manufacturer": "Intel", "Status": "OK"}, {"Caption": "USB Audio"}])",
     {{"sd1", "名称：HDA"}, {"sd2", "制造商：Intel"}, {"sd3", "状态：OK"}},
     {{"datesound", "text:USB Audio"}}},
    {"two_optical_drives",
     R"("Win32_CDROMDRIVE": [{"Caption": "DVD A", "Manufacturer": "LG", "MediaType": "DVD-ROM", "Drive": "E:"},
                             {"Caption": "DVD B", "Manufacturer": "ASUS", "MediaType": "CD-ROM", "Drive": "F:"}])",
     {{"cd11", "1-名称：DVD A"},
      {"cd21", "1-制造商：LG"},
      {"cd31", "1-类型：DVD-ROM"},
      {"cd41", "1-盘符：E:"},
      {"cd42", "2-盘符：F:"}},
     {{"datecdrom", "text:  DVD A  DVD B"}}},
    {"printers",
     R"("Win32_Printer": [{"Name": "Microsoft Office Document Image Writer", "PortName": "x", "Shared": false},
                          {"Name": "HP", "PortName": "usb://HP", "Shared": true, "ShareName": "hp1"},
                          {"Name": "Canon", "PortName": "ipp://c", "Shared": false, "ShareName": null},
                          {"Name": "Null share", "Shared": null, "ShareName": "s"}])",
     {{"sp11", "1-名称：HP"},
      {"sp21", "1-端口名称：usb://HP"},
      {"sp31", "1-共享：True"},
      {"sp41", "1-共享名：hp1"},
      {"sp12", "2-名称：Canon"},
      {"sp32", "2-共享：False"},
      {"sp42", kMissing},
      {"sp33", "3-共享："},
      {"sp43", kMissing}},
     {}},
    {"keyboard_and_mouse",
     R"("Win32_Keyboard": [{"Name": "USB Keyboard", "Manufacturer": "Logitech", "NumberOfFunctionKeys": 12}],
        "Win32_PointingDevice": [{"Caption": "USB Mouse", "Manufacturer": "Logitech", "DeviceInterface": 162,
                                  "Handedness": 2, "NumberOfButtons": 3}])",
     {{"kb1", "名称：USB Keyboard"},
      {"kb2", "制造商：Logitech"},
      {"kb3", "功能键：12 个"},
      {"pd1", "名称：USB Mouse"},
      {"pd3", "接口类型：USB"},
      {"pd4", "左右手习惯：右手"},
      {"pd", "按键数：3个"}},
     {},
     {{"PointDrive", "pd1 pd2 pd3 pd4 pd"}}},
    {"mouse_unknown_codes",
     R"("Win32_PointingDevice": [{"Caption": "Touchpad", "DeviceInterface": 3, "Handedness": 0}])",
     {{"pd3", "接口类型：其它"}, {"pd4", "左右手习惯：不知道"}, {"pd", kMissing}},
     {}},
    {"mouse_ps2_left_handed",
     R"("Win32_PointingDevice": [{"DeviceInterface": 4, "Handedness": 3}])",
     {{"pd3", "接口类型：PS/2"}, {"pd4", "左右手习惯：左手"}},
     {}},
    {"bios_and_battery",
     R"("Win32_BIOS": [{"Name": "Default System BIOS", "Manufacturer": "Dell Inc.", "Version": "DELL - 1072009",
                        "SMBIOSBIOSVersion": "A12", "CurrentLanguage": "en|US|iso8859-1"}, {"Name": "Second BIOS"}],
        "Win32_PortableBattery": [{"Description": "Internal battery", "CapacityMultiplier": 10, "DesignVoltage": 11100,
                                   "DesignCapacity": 56000, "Manufacturer": "SMP"}])",
     {{"b1", "名称：Default System BIOS"},
      {"b2", "制造商：Dell Inc."},
      {"b3", "版本：DELL - 1072009"},
      {"b4", "SMBIOS信息：A12"},
      {"b5", "当前语言：en|US|iso8859-1"},
      {"pb1", "名称：Internal battery"},
      {"pb2", "容量：10"},
      {"pb3", "电压：11100"},
      {"pb4", "最大容量：56000"},
      {"pb5", "制造商：SMP"}},
     {{"datebios", "text:Second BIOS"}}},
    {"no_battery", "", {{"pb1", kMissing}}, {}, {{"PortableBattery", ""}}},
};

INSTANTIATE_TEST_SUITE_P(Groups, GroupLines, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The language names of OSLanguage codes, and what a code that cannot be read leaves behind.
TEST(OperatingSystem, LanguageNames) {
    const std::pair<const char*, const char*> table[] = {
        {"2052", "中文简体"},     {"4", "中文简体"},        {"4100", "中文简体"},
        {"3076", "中文繁体"},     {"1028", "中文繁体"},     {"2057", "英语"},
        {"1033", "英语"},         {"3081", "英语"},         {"4105", "英语"},
        {"1031", "其它语言系统"}, {"5124", "其它语言系统"}, {"\"1033\"", "英语"},
    };
    for (const auto& [code, language] : table) {
        const auto r = scanClasses(os(std::string(R"("OSLanguage": )") + code));
        EXPECT_EQ(r->text("os3"), std::string("系统语言：") + language) << code;
        EXPECT_EQ(repr(r->record.getl), std::string("text:") + language) << code;
    }
    scan::ScanRecord earlier;
    earlier.getl = wmi::Variant(QStringLiteral("英语"));
    const auto r = scanClasses(os(R"("OSLanguage": null)"), QLocale::c(), earlier);
    EXPECT_EQ(r->text("os3"), "系统语言：");
    EXPECT_EQ(repr(r->record.getl), "text:");
}

TEST(MemoryModules, TenModulesKeepTheirKeysApart) {
    std::string members = R"("Win32_PhysicalMemory": [)";
    for (int i = 1; i <= 10; ++i)
        members += (i > 1 ? ", " : "") + std::string(R"({"Name": "D)") + std::to_string(i) +
                   R"(", "capacity": "1048576"})";
    const auto r = scanClasses(members + "]");
    EXPECT_EQ(r->text("m110"), "10-名称：D10");
    EXPECT_EQ(r->text("m610"), "内存类型：未知 ");
    EXPECT_EQ(r->text("m11"), "1-名称：D1");
    EXPECT_EQ(r->text("m7"), "总条数：10条");
    EXPECT_EQ(r->text("m8"), "总容量：10MB");
}

}  // namespace
}  // namespace qelto::test
