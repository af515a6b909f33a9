#include "groups.h"

namespace qelto::scan::groups {

// PortType 16 is a USB port.
const Group& portConnectors() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_PortConnector"),
        {setTally(0)},
        {
            countIf(equals(prop("PortType"), 16)),
        },
        {
            line("usb", "MotherBoard", "k15", {"USB接口数：", tally()}),
        }};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
