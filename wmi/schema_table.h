#pragma once

#include "schema.h"

// The tables behind schema.h, visible to the compiler so that builders can look a class and its
// properties up while compiling (see builder.h). Everything else asks through schema.h.
namespace qelto::wmi::schema::table {

using T = CimType;

// clang-format off
inline constexpr Property kComputerSystem[] = {
    {"BootupState", T::String},
    {"Caption", T::String},
    {"Domain", T::String},
    {"DomainRole", T::UInt16},
    {"Manufacturer", T::String},
    {"Model", T::String},
    {"Name", T::String},
    {"NumberOfLogicalProcessors", T::UInt32},
    {"NumberOfProcessors", T::UInt32},
    {"PartOfDomain", T::Boolean},
    {"SystemStartupOptions", T::String, true},
    {"SystemType", T::String},
    {"TotalPhysicalMemory", T::UInt64},
    {"UserName", T::String},
    {"Workgroup", T::String},
};

inline constexpr Property kOperatingSystem[] = {
    {"BuildNumber", T::String},
    {"Caption", T::String},
    {"CSDVersion", T::String},
    {"CSName", T::String},
    {"EncryptionLevel", T::UInt32},
    {"FreePhysicalMemory", T::UInt64},
    {"InstallDate", T::DateTime},
    {"LastBootUpTime", T::DateTime},
    {"LocalDateTime", T::DateTime},
    {"Manufacturer", T::String},
    {"NumberOfProcesses", T::UInt32},
    {"NumberOfUsers", T::UInt32},
    {"Organization", T::String},
    {"OSLanguage", T::UInt32},
    {"Primary", T::Boolean},
    {"RegisteredUser", T::String},
    {"SerialNumber", T::String},
    {"ServicePackMajorVersion", T::UInt16},
    {"ServicePackMinorVersion", T::UInt16},
    {"Status", T::String},
    {"SystemDevice", T::String},
    {"SystemDirectory", T::String},
    {"SystemDrive", T::String},
    {"TotalVirtualMemorySize", T::UInt64},
    {"TotalVisibleMemorySize", T::UInt64},
    {"Version", T::String},
    {"WindowsDirectory", T::String},
};

inline constexpr Property kTerminalServiceSetting[] = {
    {"AllowTSConnections", T::UInt32},
};

inline constexpr Property kUserAccount[] = {
    {"Disabled", T::Boolean},
    {"Domain", T::String},
    {"Name", T::String},
};

inline constexpr Property kShare[] = {
    {"Name", T::String},
};

inline constexpr Property kProcessor[] = {
    {"AddressWidth", T::UInt16},
    {"CurrentClockSpeed", T::UInt32},
    {"CurrentVoltage", T::UInt16},
    {"DataWidth", T::UInt16},
    {"Description", T::String},
    {"ExtClock", T::UInt32},
    {"LoadPercentage", T::UInt16},
    {"Manufacturer", T::String},
    {"MaxClockSpeed", T::UInt32},
    {"Name", T::String},
    {"NumberOfCores", T::UInt32},
    {"NumberOfLogicalProcessors", T::UInt32},
    {"ProcessorId", T::String},
    {"SocketDesignation", T::String},
    {"Status", T::String},
};

inline constexpr Property kCacheMemory[] = {
    {"InstalledSize", T::UInt32},
    {"Level", T::UInt16},
    {"MaxCacheSize", T::UInt32},
};

inline constexpr Property kPhysicalMemoryArray[] = {
    {"MaxCapacity", T::UInt32},
    {"MemoryDevices", T::UInt16},
};

inline constexpr Property kPhysicalMemory[] = {
    {"BankLabel", T::String},
    {"Capacity", T::UInt64},
    {"DeviceLocator", T::String},
    {"Manufacturer", T::String},
    {"MemoryType", T::UInt16},
    {"Name", T::String},
    {"PositionInRow", T::UInt32},
    {"Speed", T::UInt32},
};

inline constexpr Property kBaseBoard[] = {
    {"Manufacturer", T::String},
    {"Product", T::String},
    {"SerialNumber", T::String},
    {"Version", T::String},
};

inline constexpr Property kPortConnector[] = {
    {"ExternalReferenceDesignator", T::String},
    {"InternalReferenceDesignator", T::String},
    {"PortType", T::UInt16},
};

inline constexpr Property kUsbController[] = {
    {"Caption", T::String},
    {"Manufacturer", T::String},
    {"Name", T::String},
    {"PNPDeviceID", T::String},
};

inline constexpr Property kSystemSlot[] = {
    {"CurrentUsage", T::UInt16},
    {"SlotDesignation", T::String},
    {"Tag", T::String},
};

inline constexpr Property kDiskDrive[] = {
    {"Caption", T::String},
    {"DeviceID", T::String},
    {"Index", T::UInt32},
    {"InterfaceType", T::String},
    {"Manufacturer", T::String},
    {"MediaType", T::String},
    {"Model", T::String},
    {"Partitions", T::UInt32},
    {"Size", T::UInt64},
};

inline constexpr Property kVideoController[] = {
    {"AdapterCompatibility", T::String},
    {"AdapterDACType", T::String},
    {"AdapterRAM", T::UInt32},
    {"Caption", T::String},
    {"CurrentBitsPerPixel", T::UInt32},
    {"CurrentHorizontalResolution", T::UInt32},
    {"CurrentRefreshRate", T::UInt32},
    {"CurrentVerticalResolution", T::UInt32},
    {"DriverDate", T::DateTime},
    {"DriverVersion", T::String},
    {"InstalledDisplayDrivers", T::String},
    {"MaxRefreshRate", T::UInt32},
    {"MinRefreshRate", T::UInt32},
    {"Name", T::String},
    {"VideoProcessor", T::String},
};

inline constexpr Property kDesktopMonitor[] = {
    {"MonitorManufacturer", T::String},
    {"Name", T::String},
    {"PNPDeviceID", T::String},
    {"ScreenHeight", T::UInt32},
    {"ScreenWidth", T::UInt32},
};

inline constexpr Property kNetworkAdapter[] = {
    {"AdapterType", T::String},
    {"Description", T::String},
    {"InterfaceIndex", T::UInt32},
    {"MACAddress", T::String},
    {"Manufacturer", T::String},
    {"Name", T::String},
    {"NetConnectionID", T::String},
    {"PhysicalAdapter", T::Boolean},
};

inline constexpr Property kNetworkAdapterConfiguration[] = {
    {"DefaultIPGateway", T::String, true},
    {"Description", T::String},
    {"DHCPEnabled", T::Boolean},
    {"DHCPServer", T::String},
    {"DNSDomain", T::String},
    {"InterfaceIndex", T::UInt32},
    {"IPAddress", T::String, true},
    {"IPEnabled", T::Boolean},
    {"IPSubnet", T::String, true},
    {"MACAddress", T::String},
    {"WINSPrimaryServer", T::String},
    {"WINSSecondaryServer", T::String},
};

inline constexpr Property kSoundDevice[] = {
    {"Caption", T::String},
    {"Manufacturer", T::String},
    {"Name", T::String},
    {"Status", T::String},
};

inline constexpr Property kCdromDrive[] = {
    {"Caption", T::String},
    {"Drive", T::String},
    {"Manufacturer", T::String},
    {"MediaType", T::String},
    {"Name", T::String},
};

inline constexpr Property kPrinter[] = {
    {"Default", T::Boolean},
    {"Name", T::String},
    {"PortName", T::String},
    {"Shared", T::Boolean},
    {"ShareName", T::String},
};

inline constexpr Property kKeyboard[] = {
    {"Caption", T::String},
    {"Manufacturer", T::String},
    {"Name", T::String},
    {"NumberOfFunctionKeys", T::UInt16},
};

inline constexpr Property kPointingDevice[] = {
    {"Caption", T::String},
    {"DeviceInterface", T::UInt16},
    {"Handedness", T::UInt16},
    {"Manufacturer", T::String},
    {"Name", T::String},
    {"NumberOfButtons", T::UInt8},
};

inline constexpr Property kBios[] = {
    {"CurrentLanguage", T::String},
    {"Manufacturer", T::String},
    {"Name", T::String},
    {"ReleaseDate", T::DateTime},
    {"SMBIOSBIOSVersion", T::String},
    {"Version", T::String},
};

inline constexpr Property kPortableBattery[] = {
    {"CapacityMultiplier", T::UInt16},
    {"Description", T::String},
    {"DesignCapacity", T::UInt32},
    {"DesignVoltage", T::UInt64},
    {"Manufacturer", T::String},
    {"Name", T::String},
};

// What is installed, and the system's updates: read apart from the scan (qelto-cli scan
// --software, --json), which queries the classes above only.
inline constexpr Property kSoftware[] = {
    {"Architecture", T::String},
    {"InstallDate", T::DateTime},
    {"Name", T::String},
    {"Source", T::String},
    {"Vendor", T::String},
    {"Version", T::String},
};

inline constexpr Property kQuickFixEngineering[] = {
    {"Description", T::String},
    {"HotFixID", T::String},
    {"InstalledBy", T::String},
    {"InstalledOn", T::String},
};

inline constexpr Class kClasses[] = {
    {"Win32_ComputerSystem", kComputerSystem},
    {"Win32_OperatingSystem", kOperatingSystem},
    {"Win32_TerminalServiceSetting", kTerminalServiceSetting},
    {"Win32_UserAccount", kUserAccount},
    {"Win32_Share", kShare},
    {"Win32_Processor", kProcessor},
    {"Win32_CacheMemory", kCacheMemory},
    {"Win32_PhysicalMemoryArray", kPhysicalMemoryArray},
    {"Win32_PhysicalMemory", kPhysicalMemory},
    {"Win32_BaseBoard", kBaseBoard},
    {"Win32_PortConnector", kPortConnector},
    {"Win32_USBController", kUsbController},
    {"Win32_SystemSlot", kSystemSlot},
    {"Win32_DiskDrive", kDiskDrive},
    {"Win32_VideoController", kVideoController},
    {"Win32_DesktopMonitor", kDesktopMonitor},
    {"Win32_NetworkAdapter", kNetworkAdapter},
    {"Win32_NetworkAdapterConfiguration", kNetworkAdapterConfiguration},
    {"Win32_SoundDevice", kSoundDevice},
    {"Win32_CDROMDrive", kCdromDrive},
    {"Win32_Printer", kPrinter},
    {"Win32_Keyboard", kKeyboard},
    {"Win32_PointingDevice", kPointingDevice},
    {"Win32_BIOS", kBios},
    {"Win32_PortableBattery", kPortableBattery},
};

inline constexpr Class kSoftwareClasses[] = {
    {"Qelto_Software", kSoftware},
    {"Win32_QuickFixEngineering", kQuickFixEngineering},
};
// clang-format on

}  // namespace qelto::wmi::schema::table
