#include "machine_generator.h"

namespace qelto::bench {

namespace {
using wmi::Instance;
using wmi::Variant;

QString s(const char* utf8) {
    return QString::fromUtf8(utf8);
}

Instance make(std::initializer_list<std::pair<const char*, Variant>> props) {
    Instance i;
    for (const auto& [name, value] : props) i.properties.push_back({s(name), value, true});
    return i;
}

void one(wmi::InstanceStore& store, const char* cls, Instance instance) {
    store.addClass(s(cls)).items.emplace_back(std::move(instance));
}
}  // namespace

std::shared_ptr<wmi::InstanceStore> generateMachine(int scale) {
    auto store = std::make_shared<wmi::InstanceStore>();
    auto& st = *store;
    one(st, "Win32_ComputerSystem",
        make({{"Caption", Variant(s("BENCH"))},
              {"model", Variant(s("Model"))},
              {"systemtype", Variant(s("x64-based PC"))},
              {"Manufacturer", Variant(s("Maker"))},
              {"UserName", Variant(s("bench"))},
              {"workgroup", Variant(s("WORKGROUP"))},
              {"DomainRole", Variant(0)},
              {"BootupState", Variant(s("Normal boot"))},
              {"SystemStartupOptions", Variant(Variant::Array{Variant(s("Linux"))})},
              {"NumberOfProcessors", Variant(8)}}));
    one(st, "Win32_OperatingSystem",
        make({{"Caption", Variant(s("Debian GNU/Linux 12"))},
              {"ServicePackMajorVersion", Variant(0)},
              {"Version", Variant(s("6.1.0"))},
              {"OSLanguage", Variant(2052)},
              {"InstallDate", Variant(s("20240101120000.000000+480"))},
              {"systemdrive", Variant(s("/"))},
              {"lastbootuptime", Variant(s("20261207080000.000000+480"))},
              {"Primary", Variant(true)},
              {"TotalVirtualMemorySize", Variant(s("16777216"))},
              {"TotalVisibleMemorySize", Variant(s("16777216"))},
              {"FreePhysicalMemory", Variant(s("8388608"))},
              {"LocalDateTime", Variant(s("20261207090000.000000+480"))}}));
    one(st, "Win32_TerminalServiceSetting", make({{"AllowTSConnections", Variant(0)}}));
    one(st, "Win32_PROCESSOR",
        make({{"Name", Variant(s(" CPU "))},
              {"MaxClockSpeed", Variant(2394)},
              {"ExtClock", Variant(100)},
              {"CurrentVoltage", Variant(12)},
              {"CurrentClockSpeed", Variant(1200)}}));
    for (int level = 3; level <= 5; ++level)
        one(st, "Win32_CacheMemory",
            make({{"Level", Variant(level)}, {"MaxCacheSize", Variant(512)}}));
    one(st, "Win32_PhysicalMemoryArray",
        make({{"MaxCapacity", Variant(67108864)}, {"MemoryDevices", Variant(4)}}));
    for (int i = 0; i < 4; ++i)
        one(st, "Win32_PhysicalMemory",
            make({{"Name", Variant(s("DIMM"))},
                  {"capacity", Variant(s("4294967296"))},
                  {"MemoryType", Variant(20)}}));
    one(st, "Win32_BaseBoard", make({{"product", Variant(s("Board"))}}));
    for (int i = 0; i < 8; ++i) one(st, "Win32_PortConnector", make({{"PortType", Variant(16)}}));
    one(st, "Win32_USBController", make({{"Name", Variant(s("USB2 Enhanced Host Controller"))}}));
    for (int i = 0; i < 4; ++i)
        one(st, "Win32_SystemSlot",
            make({{"Tag", Variant(s("Slot"))},
                  {"SlotDesignation", Variant(s("PCIe"))},
                  {"CurrentUsage", Variant(3)}}));
    for (int i = 0; i < 1000 * scale; ++i)
        one(st, "Win32_UserAccount",
            make({{"Name", Variant(QStringLiteral("user%1").arg(i))},
                  {"Disabled", Variant(i % 7 == 0)}}));
    for (int i = 0; i < 500 * scale; ++i)
        one(st, "Win32_Share", make({{"Name", Variant(QStringLiteral("share%1").arg(i))}}));
    for (int i = 0; i < 100 * scale; ++i)
        one(st, "Win32_DiskDrive",
            make({{"Caption", Variant(QStringLiteral("Disk %1").arg(i))},
                  {"Manufacturer", Variant(s("(标准磁盘驱动器)"))},
                  {"MediaType", Variant(s("Fixed hard disk media"))},
                  {"Size", Variant(s("500107862016"))},
                  {"InterfaceType", Variant(s("SCSI"))},
                  {"Partitions", Variant(2)}}));
    for (int i = 0; i < 20 * scale; ++i) {
        const QString mac = QStringLiteral("00:16:3E:%1:%2:%3")
                                .arg(i >> 16 & 0xff, 2, 16, QLatin1Char('0'))
                                .arg(i >> 8 & 0xff, 2, 16, QLatin1Char('0'))
                                .arg(i & 0xff, 2, 16, QLatin1Char('0'))
                                .toUpper();
        one(st, "Win32_NetworkAdapter",
            make({{"MACAddress", Variant(mac)},
                  {"Manufacturer", Variant(s("Intel Corporation"))},
                  {"AdapterType", Variant(s("以太网 802.3"))}}));
        one(st, "Win32_NetworkAdapterConfiguration",
            make({{"MACAddress", Variant(mac)},
                  {"IPEnabled", Variant(true)},
                  {"Description", Variant(QStringLiteral("eth%1").arg(i))},
                  {"DHCPEnabled", Variant(false)},
                  {"IPAddress", Variant(Variant::Array{Variant(
                                    QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250))})},
                  {"IPSubnet", Variant(Variant::Array{Variant(s("255.255.255.0"))})},
                  {"DefaultIPGateway", Variant(Variant::Array{Variant(s("10.0.0.1"))})},
                  {"DHCPServer", Variant()},
                  {"DNSDomain", Variant(s("example"))},
                  {"WINSPrimaryServer", Variant()},
                  {"WINSSecondaryServer", Variant()}}));
    }
    for (const char* cls : {"Win32_VideoController", "Win32_DesktopMonitor", "Win32_SoundDevice",
                            "Win32_CDROMDRIVE", "Win32_Printer", "Win32_Keyboard",
                            "Win32_PointingDevice", "Win32_BIOS", "Win32_PortableBattery"})
        one(st, cls,
            make({{"Caption", Variant(s("Device"))},
                  {"Name", Variant(s("Device"))},
                  {"Manufacturer", Variant(s("Maker"))},
                  {"Description", Variant(s("Device"))}}));
    return store;
}

}  // namespace qelto::bench
