#include "groups.h"

namespace qelto::scan::groups {

// Level 3, 4 and 5 are the primary, secondary and tertiary caches.
const Group& cacheMemory() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_CacheMemory"),
        {},
        {
            line("c1", "Cpu", "k4", {"L1 缓存：", prop("MaxCacheSize"), "KB"}, equals(prop("Level"), 3)),
            line("c2", "Cpu", "k4", {"L2 缓存：", prop("MaxCacheSize"), "KB"}, equals(prop("Level"), 4)),
            line("c3", "Cpu", "k4", {"L3 缓存：", prop("MaxCacheSize"), "KB"}, equals(prop("Level"), 5)),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
