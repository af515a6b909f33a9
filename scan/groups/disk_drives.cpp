#include "groups.h"

namespace qelto::scan::groups {

// Size is in bytes. Each disk's capacity is rounded to the nearest gigabyte, the total down.
const Group& diskDrives() {
    using R = ScanRecord;
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_DiskDrive"),
        {setCounter(1), set(&R::diskdrivesum, zero())},
        {
            line(counted("dd1"), "DiskDrive", "k13", {counter(), "-名称：", prop("Caption")}),
            line(counted("dd2"), "DiskDrive", "k13", {counter(), "-制造商：", prop("Manufacturer")}),
            line(counted("dd3"), "DiskDrive", "k13", {counter(), "-类型：", prop("MediaType")}),
            line(counted("dd4"), "DiskDrive", "k13", {counter(), "-容量：", wholeGrouped(prop("Size"), 1048576, 1024), " GB"}),
            line(counted("dd5"), "DiskDrive", "k13", {counter(), "-接口：", prop("InterfaceType")}),
            line(counted("dd6"), "DiskDrive", "k13", {counter(), "-分区数：", prop("Partitions")}),
            nextCounter(),
            addTo(&R::diskdrivesum, prop("Size")),
            append(&R::datediskdrive, prop("Caption")),
        },
        {
            line("dd7", "DiskDrive", "k13", {"总块数：", counterMinus(1)}),
            line("dd8", "DiskDrive", "k13", {"总容量：", roundedDown(field(&R::diskdrivesum), 1048576, 1024), " GB"}),
        }};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
