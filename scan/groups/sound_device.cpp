#include "groups.h"

namespace qelto::scan::groups {

const Group& soundDevice() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_SoundDevice"),
        {},
        {
            line("sd1", "SoundDevice", "k2", {"名称：", prop("Caption")}),
            set(&ScanRecord::datesound, prop("Caption")),
            line("sd2", "SoundDevice", "k2", {"制造商：", prop("Manufacturer")}),
            line("sd3", "SoundDevice", "k2", {"状态：", prop("Status")}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
