#include "groups.h"

namespace qelto::scan::groups {

const Group& baseBoard() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_BaseBoard"),
        {},
        {
            line("mb1", "MotherBoard", "k12", {"型号：", prop("product")}),
            set(&ScanRecord::datebaseboard, prop("product")),
            line("mb2", "MotherBoard", "k12", {"制造商：", prop("Manufacturer")}),
            line("mb3", "MotherBoard", "k12", {"版本：", prop("Version")}),
            line("mb4", "MotherBoard", "k12", {"序列号：", prop("SerialNumber")}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
