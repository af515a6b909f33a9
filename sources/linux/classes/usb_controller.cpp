// Win32_USBController of a Linux machine: the PCI functions of the USB class.

#include "classes.h"

namespace qelto::wmi::lnx {

void addUsbControllers(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_USBController">::declare(store);
    for (const PciDevice& d : c.pci) {
        if ((d.classCode >> 8) != 0x0C03) continue;
        const int progIf = int(d.classCode & 0xFF);
        QString name = c.pciIds().device(d.vendor, d.device);
        if (name.isEmpty()) {
            switch (progIf) {
                case 0x00:
                    name = QStringLiteral("USB Universal Host Controller");
                    break;
                case 0x10:
                    name = QStringLiteral("USB Open Host Controller");
                    break;
                case 0x20:
                    name = QStringLiteral("USB Enhanced Host Controller");
                    break;
                case 0x30:
                    name = QStringLiteral("USB eXtensible Host Controller");
                    break;
                default:
                    name = QStringLiteral("USB Controller");
                    break;
            }
            name += QStringLiteral(" [%1:%2]").arg(hex4(d.vendor), hex4(d.device));
        } else if (progIf == 0x20 && !name.contains(u"Enhanced")) {
            name += QStringLiteral(" (Enhanced Host Controller)");
        }
        InstanceBuilder<"Win32_USBController"> i(store);
        i.set("Name", name);
        i.set("Caption", name);
        i.set("Manufacturer", c.pciVendorName(d.vendor));
        i.set("PNPDeviceID", QStringLiteral("PCI\\VEN_%1&DEV_%2")
                                 .arg(hex4(d.vendor).toUpper(), hex4(d.device).toUpper()));
    }
}

}  // namespace qelto::wmi::lnx
