#include "groups.h"

namespace qelto::scan::groups {

namespace {
const Names kSlotUsage = {{3, "未使用"}, {4, "已使用"}};
}  // namespace

// Slots are numbered from 0.
const Group& systemSlots() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_SystemSlot"),
        {setCounter(0)},
        {
            line(counted("ss1"), "MotherBoard", "k12", {counter(), "-标签：", prop("Tag")}),
            line(counted("ss2"), "MotherBoard", "k12", {counter(), "-扩展槽类型：", prop("SlotDesignation")}),
            line(counted("ss3"), "MotherBoard", "k12", {counter(), "-使用状况：", nameOr(prop("CurrentUsage"), kSlotUsage, "其它")}),
            nextCounter(),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
