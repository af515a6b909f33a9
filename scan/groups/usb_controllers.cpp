#include "groups.h"

namespace qelto::scan::groups {

// A USB 2.0 controller is one whose name says "Enhanced", in exactly that case.
const Group& usbControllers() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_USBController"),
        {setTally(0)},
        {
            countIf(contains(prop("Name"), "Enhanced")),
        },
        {
            line("usb2", "MotherBoard", "k15", {"USB 2.0接口数：", tally()}),
        }};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
