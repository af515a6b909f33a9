#include "groups.h"

namespace qelto::scan::groups {

// There is no key cpu13 here: it is the processor count of the computer-system group.
const Group& processor() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_PROCESSOR"),
        {},
        {
            line("cpu1", "Cpu", "k4", {"型号：", trimmed(prop("Name"))}),
            set(&ScanRecord::datecpu, trimmed(prop("Name"))),
            line("cpu2", "Cpu", "k4", {"制造商：", prop("Manufacturer")}),
            line("cpu3", "Cpu", "k41", {"处理器描述：", prop("Description")}),
            line("cpu4", "Cpu", "k4", {"最大频率：", oneDecimal(prop("MaxClockSpeed"), 1000), "GHz"}),
            line("cpu5", "Cpu", "k4", {"状态：", prop("Status")}),
            line("cpu6", "Cpu", "k4", {"处理器号码：", prop("ProcessorId")}),
            line("cpu7", "Cpu", "k4", {"外频：", prop("ExtClock"), " MHZ"}),
            line("cpu8", "Cpu", "k4", {"倍频：", "x", nearestInteger(prop("MaxClockSpeed"), prop("ExtClock"))}),
            line("cpu9", "Cpu", "k4", {"地址宽度：", prop("AddressWidth"), "Bits"}),
            line("cpu10", "Cpu", "k4", {"数据宽度：", prop("DataWidth"), "Bits"}),
            line("cpu11", "Cpu", "k4", {"针脚：", prop("SocketDesignation")}),
            line("cpu12", "Cpu", "k4", {"电压：", quotient(prop("CurrentVoltage"), 10), " V"}),
            line("cpu14", "Cpu", "k4", {"CPU使用率：", prop("LoadPercentage"), "%"}),
            line("cpu15", "Cpu", "k4", {"当前频率：", oneDecimal(prop("CurrentClockSpeed"), 1000), "GHz"}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
