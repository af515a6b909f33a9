#include "groups.h"

namespace qelto::scan::groups {

const Group& shares() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_Share"),
        {setCounter(1)},
        {
            line(counted("shareitem1"), "Share", "k21", {counter(), "-名称：", prop("Name")}),
            nextCounter(),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
