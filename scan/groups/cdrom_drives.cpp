#include "groups.h"

namespace qelto::scan::groups {

const Group& cdromDrives() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_CDROMDRIVE"),
        {setCounter(1)},
        {
            line(counted("cd1"), "CdromDrive", "k14", {counter(), "-名称：", prop("Caption")}),
            append(&ScanRecord::datecdrom, prop("Caption")),
            line(counted("cd2"), "CdromDrive", "k14", {counter(), "-制造商：", prop("Manufacturer")}),
            line(counted("cd3"), "CdromDrive", "k14", {counter(), "-类型：", prop("MediaType")}),
            line(counted("cd4"), "CdromDrive", "k14", {counter(), "-盘符：", prop("Drive")}),
            nextCounter(),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
