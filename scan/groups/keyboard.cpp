#include "groups.h"

namespace qelto::scan::groups {

const Group& keyboard() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_Keyboard"),
        {},
        {
            line("kb1", "Keyboard", "k8", {"名称：", prop("Name")}),
            line("kb2", "Keyboard", "k8", {"制造商：", prop("Manufacturer")}),
            line("kb3", "Keyboard", "k8", {"功能键：", prop("NumberOfFunctionKeys"), " 个"}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
