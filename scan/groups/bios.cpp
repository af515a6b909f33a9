#include "groups.h"

namespace qelto::scan::groups {

const Group& bios() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_BIOS"),
        {},
        {
            line("b1", "Bios", "k3", {"名称：", prop("Name")}),
            set(&ScanRecord::datebios, prop("Name")),
            line("b2", "Bios", "k3", {"制造商：", prop("Manufacturer")}),
            line("b3", "Bios", "k3", {"版本：", prop("Version")}),
            line("b4", "Bios", "k3", {"SMBIOS信息：", prop("SMBIOSBIOSVersion")}),
            line("b5", "Bios", "k3", {"当前语言：", prop("CurrentLanguage")}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
