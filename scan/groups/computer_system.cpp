#include "groups.h"

namespace qelto::scan::groups {

namespace {
const Names kDomainRoles = {
    {0, "单机工作站"}, {1, "成员工作站"}, {2, "单机服务器"},
    {3, "成员服务器"}, {4, "辅域控制器"}, {5, "主域控制器"},
};
}  // namespace

const Group& computerSystem() {
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_ComputerSystem"),
        {},
        {
            line("sa1", "SystemAbstract", "k1", {"计算机名：", prop("Caption")}),
            set(&ScanRecord::computername, prop("Caption")),
            line("sa2", "SystemAbstract", "k1", {"型号：", prop("model")}),
            line("sa3", "SystemAbstract", "k1", {"系统类型：", prop("systemtype")}),
            line("sa7", "SystemAbstract", "k1", {"制造商：", prop("Manufacturer")}),
            line("sa4", "SystemAbstract", "k6", {"用户名：", prop("UserName")}),
            set(&ScanRecord::dateuser, prop("UserName")),
            line("sa5", "SystemAbstract", "k17", {"域名：", prop("domain")}, isNull(prop("workgroup"))),
            line("sa5", "SystemAbstract", "k17", {"工作组：", prop("workgroup")}, notNull(prop("workgroup"))),
            line("sa6", "SystemAbstract", "k1", {"角色：", name(prop("DomainRole"), kDomainRoles)}),
            line("sa8", "SystemAbstract", "k1", {"启动方式：", prop("BootupState")}),
            forEachElement(prop("SystemStartupOptions"), {
                line(indexed("sa9"), "SystemAbstract", "k1", {"安装的系统-", elementNumber(), "：", element()}),
            }),
            // The caption promises processors, not sockets: the logical processors where the
            // object says how many, the processors (sockets on today's hosts) otherwise.
            line("cpu13", "Cpu", "k4", {"处理器核心数：", orElse(prop("NumberOfLogicalProcessors"), prop("NumberOfProcessors"))}),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
