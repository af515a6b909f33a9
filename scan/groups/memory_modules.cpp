#include "groups.h"

namespace qelto::scan::groups {

namespace {
const Names kMemoryTypes = {{17, "SDRAM "}, {20, "DDR "}, {21, "DDR 2 "}};
}  // namespace

// capacity is in bytes; the total stays Null once a Null capacity was added.
const Group& memoryModules() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_PhysicalMemory"),
        {setCounter(1), setTotal(0)},
        {
            line(counted("m1"), "Memory", "k11", {counter(), "-名称：", prop("Name")}),
            line(counted("m2"), "Memory", "k11", {counter(), "-制造商：", prop("Manufacturer")}),
            line(counted("m3"), "Memory", "k11", {counter(), "-容量：", quotient(prop("capacity"), 1048576), "MB"}),
            line(counted("m4"), "Memory", "k11", {counter(), "-频率：", prop("Speed"), " MHz"}),
            line(counted("m5"), "Memory", "k11", {counter(), "-安装位置：", prop("PositionInRow"), "插槽"}),
            line(counted("m6"), "Memory", "k11", {"内存类型：", nameOr(prop("MemoryType"), kMemoryTypes, "未知 ")}),
            addToTotal(prop("capacity")),
            nextCounter(),
        },
        {
            line("m7", "Memory", "k11", {"总条数：", counterMinus(1), "条"}),
            line("m8", "Memory", "k11", {"总容量：", quotient(total(), 1048576), "MB"}),
        }};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
