#include "groups.h"

namespace qelto::scan::groups {

const Group& operatingSystem() {
    using R = ScanRecord;
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_OperatingSystem"),
        {},
        {
            line("os1", "OperatingSystem", "k9", {"当前操作系统：", prop("Caption"), " (SP", prop("ServicePackMajorVersion"), ")"}),
            set(&R::dateos, concat({prop("Caption"), " (SP", prop("ServicePackMajorVersion"), ")"})),
            line("os2", "OperatingSystem", "k9", {"版本：", prop("Version"), " Build ", prop("CSDVersion")}),
            // A language that cannot be read leaves no stale name of an earlier scan behind.
            set(&R::getl, orElse(languageOf(prop("OSLanguage")), "")),
            line("os3", "OperatingSystem", "k9", {"系统语言：", field(&R::getl)}),
            line("os4", "OperatingSystem", "k9", {"注册组织：", prop("Organization")}),
            line("os5", "OperatingSystem", "k9", {"注册用户：", prop("RegisteredUser")}),
            line("os6", "OperatingSystem", "k9", {"制造商：", prop("Manufacturer")}),
            set(&R::dateinstalldate, left(prop("InstallDate"), 14)),
            line("os7", "OperatingSystem", "k9", {"安装日期：", dateText(prop("InstallDate"))}),
            line("os8", "OperatingSystem", "k9", {"系统盘：", prop("systemdrive"), "盘"}),
            set(&R::systemdrive, prop("systemdrive")),
            line("os9", "OperatingSystem", "k9", {"系统目录：", prop("SystemDirectory")}),
            line("os10", "OperatingSystem", "k9", {"Windows目录：", prop("WindowsDirectory")}),
            line("os11", "OperatingSystem", "k9", {"开机装置：", prop("SystemDevice")}),
            line("os12", "OperatingSystem", "k9", {"加密级别：", prop("encryptionlevel"), " bit"}),
            line("os13", "OperatingSystem", "k9", {"状态：", prop("Status")}),
            line("os14", "OperatingSystem", "k9", {"开机时间：", dateText(prop("lastbootuptime"))}),
            line("os15", "OperatingSystem", "k9", {"主要的系统：", prop("Primary")}),
            line("os16", "OperatingSystem", "k9", {"虚拟内存总计：", roundedDown(prop("TotalVirtualMemorySize"), 1024), "MB"}),
            line("os17", "OperatingSystem", "k9", {"产品ID：", prop("SerialNumber")}),
            line("os18", "OperatingSystem", "k9", {"物理内存总计：", roundedDown(prop("TotalVisibleMemorySize"), 1024), "MB"}),
            set(&R::datememory, concat({roundedDown(prop("TotalVisibleMemorySize"), 1024), "MB"})),
            line("os19", "OperatingSystem", "k9", {"物理内存剩余：", roundedDown(prop("FreePhysicalMemory"), 1024), "MB   ",
                                                   freePercent(prop("FreePhysicalMemory"), prop("TotalVisibleMemorySize")), "%"}),
            line("os20", "OperatingSystem", "k9", {"进程数：", prop("NumberOfProcesses")}),
            line("os21", "OperatingSystem", "k9", {"进程用户数：", prop("NumberOfUsers")}),
            line("os22", "OperatingSystem", "k9", {"本机时间：", dateText(prop("LocalDateTime"))}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
