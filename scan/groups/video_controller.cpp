#include "groups.h"

namespace qelto::scan::groups {

// The condition keeps a remote-control tool's mirror display driver out.
const Group& videoController() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_VideoController where caption <> 'DameWare Development Mirror Driver'"),
        {},
        {
            line("cc1", "VideoController", "k10", {"型号：", prop("Caption")}),
            set(&ScanRecord::datevideo, prop("Caption")),
            line("cc2", "VideoController", "k10", {"芯片类型：", prop("VideoProcessor")}),
            line("cc3", "VideoController", "k10", {"制造厂商：", prop("AdapterCompatibility")}),
            line("cc4", "VideoController", "k10", {"DAC类型：", prop("AdapterDACType")}),
            line("cc5", "VideoController", "k10", {"当前显示模式：", prop("CurrentHorizontalResolution"), " * ", prop("CurrentVerticalResolution"),
                                                   " (", prop("CurrentBitsPerPixel"), " bit) ", prop("CurrentRefreshRate"), "Hz"}),
            line("cc6", "VideoController", "k10", {"显存：", wholeGrouped(prop("AdapterRAM"), 1024, 1024), "MB"}),
            line("cc7", "VideoController", "k10", {"驱动版本：", "Version ", prop("DriverVersion")}),
            line("cc8", "VideoController", "k10", {"刷新频率：", prop("MinRefreshRate"), "Hz~", prop("MaxRefreshRate"), "Hz"}),
            line("cc9", "VideoController", "k10", {"驱动程序日期：", left(prop("DriverDate"), 14)}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
