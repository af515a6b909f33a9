#include "groups.h"

namespace qelto::scan::groups {

const Group& userAccounts() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_UserAccount"),
        {setCounter(1)},
        {
            // Disabled accounts differ only by their picture.
            line(counted("uaitem1"), "User", Image(isTrue(prop("Disabled")), "k20", "k19"), {counter(), "-名称：", prop("Name")}),
            nextCounter(),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
