#include "groups.h"

namespace qelto::scan::groups {

// The condition keeps an office suite's document-image printer out.
const Group& printers() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_Printer where Name <> 'Microsoft Office Document Image Writer'"),
        {setCounter(1)},
        {
            line(counted("sp1"), "Printer", "k18", {counter(), "-名称：", prop("Name")}),
            line(counted("sp2"), "Printer", "k18", {counter(), "-端口名称：", prop("PortName")}),
            line(counted("sp3"), "Printer", "k18", {counter(), "-共享：", prop("Shared")}),
            line(counted("sp4"), "Printer", "k18", {counter(), "-共享名：", prop("ShareName")}, isTrue(prop("Shared"))),
            nextCounter(),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
