// Win32_SystemSlot of a Linux machine: the firmware's table of slots, else the PCI slots the
// kernel knows.

#include "classes.h"

namespace qelto::wmi::lnx {

void addSystemSlots(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_SystemSlot">::declare(store);
    const auto slots = c.ofType(9);
    int n = 0;
    if (!slots.empty()) {
        for (const smbios::Structure* s : slots) {
            InstanceBuilder<"Win32_SystemSlot"> i(store);
            i.set("Tag", QStringLiteral("System Slot %1").arg(n++));
            i.set("SlotDesignation", textOrNull(s->string(0x04)));
            i.set("CurrentUsage", s->has(0x07, 1) ? Variant(qint64(s->byte(0x07))) : Variant());
        }
    } else {
        for (const QString& path : c.g.match(QStringLiteral("/sys/bus/pci/slots/*/address"))) {
            const QString address = c.line(path);
            bool used = false;
            for (const PciDevice& d : c.pci)
                if (!address.isEmpty() && d.address.startsWith(address + u'.')) used = true;
            InstanceBuilder<"Win32_SystemSlot"> i(store);
            i.set("Tag", QStringLiteral("System Slot %1").arg(n++));
            i.set("SlotDesignation", path.section(u'/', -2, -2));
            i.set("CurrentUsage", qint64(used ? 4 : 3));
        }
    }
}

}  // namespace qelto::wmi::lnx
