#include "groups.h"

namespace qelto::scan::groups {

namespace {
const Names kInterfaces = {{4, "PS/2"}, {5, "红外线"}, {160, "Bus Mouse DB-9"}, {162, "USB"}};
const Names kHandedness = {{2, "右手"}, {3, "左手"}};
}  // namespace

const Group& pointingDevice() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_PointingDevice"),
        {},
        {
            line("pd1", "PointDrive", "k5", {"名称：", prop("Caption")}),
            line("pd2", "PointDrive", "k5", {"制造商：", prop("Manufacturer")}),
            line("pd3", "PointDrive", "k5", {"接口类型：", nameOr(prop("DeviceInterface"), kInterfaces, "其它")}),
            line("pd4", "PointDrive", "k5", {"左右手习惯：", nameOr(prop("Handedness"), kHandedness, "不知道")}),
            line("pd", "PointDrive", "k5", {"按键数：", prop("NumberOfButtons"), "个"}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
