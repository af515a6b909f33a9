#include "groups.h"

namespace qelto::scan::groups {

// MaxCapacity is in kilobytes.
const Group& memoryArray() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_PhysicalMemoryArray"),
        {},
        {
            line("ma1", "Memory", "k11", {"最高可扩充：", quotient(prop("MaxCapacity"), 1048576), "GB"}),
            line("ma2", "Memory", "k11", {"插槽总数：", prop("MemoryDevices"), "个"}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
