// Win32_NetworkAdapter of a Linux machine: one adapter per MAC address of the interfaces shown
// (see network() in classes.h).

#include "classes.h"

#include <QSet>

namespace qelto::wmi::lnx {

void addNetworkAdapters(const Network& net, InstanceStore& store) {
    InstanceBuilder<"Win32_NetworkAdapter">::declare(store);
    // One per MAC address, a device's interface before a software one.
    QSet<QString> macs;
    for (int pass = 0; pass < 2; ++pass)
        for (const QString& n : net.shown) {
            const Interface& i = net.all[n];
            if (i.device != (pass == 0) || macs.contains(i.mac.textValue())) continue;
            macs.insert(i.mac.textValue());
            InstanceBuilder<"Win32_NetworkAdapter"> a(store);
            const QString description =
                i.device ? (i.model.isEmpty() ? i.name : i.model) : softwareLabel(i);
            a.set("Name", description);
            a.set("Description", description);
            a.set("NetConnectionID", i.name);
            a.set("MACAddress", i.mac);
            a.set("Manufacturer", i.maker);
            QString type;
            if (i.type == 1)
                type = QStringLiteral("Ethernet 802.3");
            else if (i.type == 512)
                type = QStringLiteral("Wide Area Network (WAN)");
            else if (i.type == 24)
                type = QStringLiteral("1394");
            a.set("AdapterType", type.isEmpty() ? Variant() : Variant(type));
            a.set("PhysicalAdapter", i.device);
            a.set("InterfaceIndex", i.index);
        }
}

}  // namespace qelto::wmi::lnx
