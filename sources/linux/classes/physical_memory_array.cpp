// Win32_PhysicalMemoryArray of a Linux machine: the firmware's arrays of system memory, else what
// udev decoded of them when the machine started.

#include "classes.h"

namespace qelto::wmi::lnx {

void addPhysicalMemoryArrays(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_PhysicalMemoryArray">::declare(store);
    if (hasMemoryTable(c)) {
        for (const smbios::Structure* s : c.ofType(16)) {
            if (s->byte(0x05) != 3) continue;  // system memory only
            InstanceBuilder<"Win32_PhysicalMemoryArray"> a(store);
            quint64 kb = s->dword(0x07);
            if (kb == 0x80000000u && s->has(0x0F, 8)) kb = s->qword(0x0F) / 1024;
            a.set("MaxCapacity", qint64(qMin<quint64>(kb, 0xFFFFFFFFu)));
            a.set("MemoryDevices", qint64(s->word(0x0D)));
        }
        return;
    }
    const auto udev = udevMemory(c);
    if (udev.contains(QStringLiteral("MEMORY_ARRAY_MAX_CAPACITY")) ||
        udev.contains(QStringLiteral("MEMORY_ARRAY_NUM_DEVICES"))) {
        InstanceBuilder<"Win32_PhysicalMemoryArray"> a(store);
        const auto max = toUnsigned(udev.value(QStringLiteral("MEMORY_ARRAY_MAX_CAPACITY")));
        a.set("MaxCapacity",
              max ? Variant(qint64(qMin<quint64>(*max / 1024, 0xFFFFFFFFu))) : Variant());
        const auto n = toUnsigned(udev.value(QStringLiteral("MEMORY_ARRAY_NUM_DEVICES")));
        a.set("MemoryDevices", n ? Variant(qint64(*n)) : Variant());
    }
}

}  // namespace qelto::wmi::lnx
