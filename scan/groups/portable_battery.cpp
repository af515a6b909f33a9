#include "groups.h"

namespace qelto::scan::groups {

// Capacity and voltage are shown as the raw numbers, without units.
const Group& portableBattery() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_PortableBattery"),
        {},
        {
            line("pb1", "PortableBattery", "k22", {"名称：", prop("Description")}),
            line("pb2", "PortableBattery", "k22", {"容量：", prop("CapacityMultiplier")}),
            line("pb3", "PortableBattery", "k22", {"电压：", prop("DesignVoltage")}),
            line("pb4", "PortableBattery", "k22", {"最大容量：", prop("DesignCapacity")}),
            line("pb5", "PortableBattery", "k22", {"制造商：", prop("Manufacturer")}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
