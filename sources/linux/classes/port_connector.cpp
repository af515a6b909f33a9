// Win32_PortConnector of a Linux machine: the firmware's table of ports, else the ports of the
// USB root hubs.

#include "classes.h"

namespace qelto::wmi::lnx {

void addPortConnectors(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_PortConnector">::declare(store);
    const auto ports = c.ofType(8);
    if (!ports.empty()) {
        for (const smbios::Structure* s : ports) {
            const quint8 t = s->byte(0x08);
            qint64 code = t <= 0x1F ? t : t == 0xA0 ? 32 : t == 0xA1 ? 33 : 1;
            InstanceBuilder<"Win32_PortConnector"> i(store);
            i.set("PortType", code);
            i.set("InternalReferenceDesignator", textOrNull(s->string(0x04)));
            i.set("ExternalReferenceDesignator", textOrNull(s->string(0x06)));
        }
    } else {
        // Without the table: the ports of the USB 2 root hubs (every physical USB port has a
        // USB 2 lane; the USB 3 hub of the same controller repeats them), unused ones left out.
        for (const UsbDevice& hub : c.usb) {
            if (!hub.name.startsWith(u"usb") || hub.speed > 480) continue;
            const QString n = hub.name.mid(3);
            for (const QString& path : c.g.match(
                     QStringLiteral("/sys/bus/usb/devices/%1/%2-0:1.0/usb%2-port*/connect_type")
                         .arg(hub.name, n))) {
                if (c.line(path) == u"not used") continue;
                InstanceBuilder<"Win32_PortConnector"> i(store);
                i.set("PortType", qint64(16));
                i.set("ExternalReferenceDesignator", path.section(u'/', -2, -2));
            }
        }
    }
}

}  // namespace qelto::wmi::lnx
