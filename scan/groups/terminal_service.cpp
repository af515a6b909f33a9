#include "groups.h"

namespace qelto::scan::groups {

const Group& terminalService() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_TerminalServiceSetting"),
        {},
        {
            line("tss1", "OperatingSystem", "k9", {"远程桌面：", "不允许"}, equals(prop("AllowTSConnections"), 0)),
            line("tss1", "OperatingSystem", "k9", {"远程桌面：", "允许"}, negate(equals(prop("AllowTSConnections"), 0))),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
