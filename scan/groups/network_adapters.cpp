#include "groups.h"

namespace qelto::scan::groups {

// Each adapter is paired by its MAC address with the IP-enabled configurations; every pair gets a
// numbered block. The configuration query runs anew for every adapter.
const Group& networkAdapters() {
    using R = ScanRecord;
    // clang-format off
    static const Group g{
        QStringLiteral("Select * From Win32_NetworkAdapter where MACAddress Is Not NULL and Manufacturer <> 'Microsoft' "
                       "and Manufacturer <> 'Kaspersky Lab' and Manufacturer <> 'VMware, Inc.' "),
        {setCounter(1)},
        {
            forEachMatch("Select * From Win32_NetworkAdapterConfiguration WHERE  IPEnabled = True",
                         sameText(outerProp("MACAddress"), prop("MACAddress")), {
                line(counted("nac1"), "NetworkAdapter", "k7", {counter(), "-名称：", prop("Description")}),
                line(counted("na1"), "NetworkAdapter", "k7", {counter(), "-制造商：", outerProp("Manufacturer")}),
                line(counted("na2"), "NetworkAdapter", "k7", {counter(), "-MAC地址：", outerProp("MACAddress")}),
                line(counted("na3"), "NetworkAdapter", "k7", {counter(), "-类型：", outerProp("AdapterType")}),
                line(counted("nac2"), "NetworkAdapter", "k7", {counter(), "-自动获得：", prop("DHCPEnabled")}),
                forEachElement(prop("IPAddress"), {
                    line(countedElement("nac3"), "NetworkAdapter", "k7", {counter(), "-IP地址：", element()}),
                    append(&R::datenetworkip, element()),
                }),
                forEachElement(prop("IPSubnet"), {
                    line(countedElement("nac4"), "NetworkAdapter", "k7", {counter(), "-子网掩码：", element()}),
                }),
                forEachElement(prop("DefaultIPGateway"), {
                    line(countedElement("nac5"), "NetworkAdapter", "k7", {counter(), "-默认网关：", element()}),
                }),
                line(counted("nac6"), "NetworkAdapter", "k7", {counter(), "-是否自动获取：", prop("DHCPEnabled")}, notNull(prop("DHCPEnabled"))),
                line(counted("nac7"), "NetworkAdapter", "k7", {counter(), "-DHCP服务器：", prop("DHCPServer")}, notNull(prop("DHCPEnabled"))),
                append(&R::datenetworkname, prop("Description")),
                append(&R::datenetworkmac, outerProp("MACAddress")),
                line(counted("nac8"), "NetworkAdapter", "k7", {counter(), "-DNS域：", prop("DNSDomain")}),
                line(counted("nac9"), "NetworkAdapter", "k7", {counter(), "-主WINS：", prop("WINSPrimaryServer")}),
                line(counted("nac10"), "NetworkAdapter", "k7", {counter(), "-辅WINS：", prop("WINSSecondaryServer")}),
                nextCounter(),
            }),
        },
        {}};
    // clang-format on
    return g;
}

}  // namespace qelto::scan::groups
