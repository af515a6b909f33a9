#include "groups.h"

namespace qelto::scan::groups {

const Group& desktopMonitor() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_DesktopMonitor"),
        {},
        {
            line("dm1", "Display", "k23", {"名称：", prop("Name")}),
            line("dm2", "Display", "k23", {"装置ID：", prop("PNPDeviceID")}),
            line("dm3", "Display", "k23", {"制造商：", prop("MonitorManufacturer")}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
