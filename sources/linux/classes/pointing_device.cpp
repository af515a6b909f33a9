// Win32_PointingDevice of a Linux machine: the input devices that the mouse handler takes.

#include "classes.h"

namespace qelto::wmi::lnx {

void addPointingDevices(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_PointingDevice">::declare(store);
    for (const InputDevice& d : inputDevices(c)) {
        if (!d.hasHandler(u"mouse")) continue;
        InstanceBuilder<"Win32_PointingDevice"> p(store);
        p.set("Caption", textOrNull(d.name));
        p.set("Name", textOrNull(d.name));
        const UsbDevice* usb =
            d.sysfs.isEmpty() ? nullptr : c.usbOf(QStringLiteral("/sys") + d.sysfs);
        Variant maker;
        if (usb) maker = Variant(c.usbVendorName(*usb));
        p.set("Manufacturer", maker);
        qint64 iface = 1;  // other
        switch (d.bus) {
            case 0x11:
                iface = 4;
                break;  // i8042: PS/2
            case 0x03:
                iface = 162;
                break;  // USB
            case 0x13:
                iface = 3;
                break;  // RS-232: serial
            default:
                break;
        }
        p.set("DeviceInterface", iface);
        p.set("Handedness", Variant());
        int buttons = 0;
        for (int b = 0x110; b <= 0x117; ++b)
            if (d.bit(QStringLiteral("KEY"), b)) ++buttons;
        p.set("NumberOfButtons", buttons ? Variant(qint64(buttons)) : Variant());
    }
}

}  // namespace qelto::wmi::lnx
