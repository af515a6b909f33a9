// Win32_PhysicalMemory of a Linux machine: the firmware's memory devices, else what udev decoded
// of them, else the installed memory as one module.

#include "classes.h"

namespace qelto::wmi::lnx {

namespace {

// SMBIOS memory type -> the code WMI gives MemoryType.
qint64 memoryTypeCode(int smbiosType) {
    static const QHash<int, int> map = {
        {0x01, 1},  {0x02, 0},  {0x03, 2},  {0x04, 6},  {0x05, 7},  {0x06, 8},  {0x07, 9},
        {0x08, 10}, {0x09, 11}, {0x0A, 12}, {0x0B, 13}, {0x0C, 14}, {0x0D, 15}, {0x0E, 16},
        {0x0F, 17}, {0x12, 20}, {0x13, 21}, {0x14, 22}, {0x18, 24}, {0x19, 25}, {0x1A, 26}};
    return map.value(smbiosType, 0);
}

// udev's memory type names -> SMBIOS codes.
int smbiosTypeFromName(const QString& name) {
    static const QHash<QString, int> map = {
        {QStringLiteral("Other"), 0x01},  {QStringLiteral("Unknown"), 0x02},
        {QStringLiteral("DRAM"), 0x03},   {QStringLiteral("EDRAM"), 0x04},
        {QStringLiteral("VRAM"), 0x05},   {QStringLiteral("SRAM"), 0x06},
        {QStringLiteral("RAM"), 0x07},    {QStringLiteral("ROM"), 0x08},
        {QStringLiteral("Flash"), 0x09},  {QStringLiteral("EEPROM"), 0x0A},
        {QStringLiteral("FEPROM"), 0x0B}, {QStringLiteral("EPROM"), 0x0C},
        {QStringLiteral("CDRAM"), 0x0D},  {QStringLiteral("3DRAM"), 0x0E},
        {QStringLiteral("SDRAM"), 0x0F},  {QStringLiteral("DDR"), 0x12},
        {QStringLiteral("DDR2"), 0x13},   {QStringLiteral("DDR2 FB-DIMM"), 0x14},
        {QStringLiteral("DDR3"), 0x18},   {QStringLiteral("FBD2"), 0x19},
        {QStringLiteral("DDR4"), 0x1A}};
    return map.value(name, 0x02);
}

// The memory installed, in bytes: the memory blocks the kernel manages (online or not), else
// MemTotal rounded up to the block size (128 MiB when the kernel does not say).
std::optional<quint64> installedMemory(const Context& c) {
    quint64 block =
        toUnsigned(c.g.text(QStringLiteral("/sys/devices/system/memory/block_size_bytes")), 16)
            .value_or(0);
    if (block == 0 || block > (quint64(1) << 40)) block = quint64(128) << 20;
    quint64 blocks = 0;
    for (const QString& name :
         c.g.list(QStringLiteral("/sys/devices/system/memory")).value_or(QStringList()))
        if (matchSegment(QStringLiteral("memory[0-9]*"), name)) ++blocks;
    if (blocks > 0) return blocks * block;
    const auto mem = parseMeminfo(c.g.text(QStringLiteral("/proc/meminfo")));
    const quint64 kb = mem.value(QStringLiteral("MemTotal"));
    if (kb == 0) return std::nullopt;
    return (kb * 1024 + block - 1) / block * block;
}

// The memory devices udev decoded from the firmware's table; false when it has none.
bool addUdevMemory(const QHash<QString, QString>& udev, InstanceStore& store) {
    bool any = false;
    for (int i = 0; i < 256; ++i) {
        const QString p = QStringLiteral("MEMORY_DEVICE_%1_").arg(i);
        if (!udev.contains(p + QStringLiteral("SIZE")) &&
            !udev.contains(p + QStringLiteral("PRESENT"))) {
            if (i > 0 && !udev.contains(QStringLiteral("MEMORY_DEVICE_%1_LOCATOR").arg(i))) break;
            continue;
        }
        if (udev.value(p + QStringLiteral("PRESENT")) == u"0") continue;
        any = true;
        InstanceBuilder<"Win32_PhysicalMemory"> m(store);
        m.set("Name", QStringLiteral("Physical Memory"));
        m.set("Manufacturer", textOrNull(udev.value(p + QStringLiteral("MANUFACTURER"))));
        const auto size = toUnsigned(udev.value(p + QStringLiteral("SIZE")));
        m.set("Capacity", size ? uint64Text(*size) : Variant());
        const auto speed = toUnsigned(udev.value(p + QStringLiteral("SPEED_MTS")));
        m.set("Speed", speed && *speed ? Variant(qint64(*speed)) : Variant());
        m.set("PositionInRow", Variant());
        m.set("MemoryType",
              memoryTypeCode(smbiosTypeFromName(udev.value(p + QStringLiteral("TYPE")))));
        m.set("DeviceLocator", textOrNull(udev.value(p + QStringLiteral("LOCATOR"))));
        m.set("BankLabel", textOrNull(udev.value(p + QStringLiteral("BANK_LOCATOR"))));
    }
    return any;
}

}  // namespace

void addPhysicalMemory(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_PhysicalMemory">::declare(store);
    if (hasMemoryTable(c)) {
        bool any = false;
        for (const smbios::Structure* s : c.ofType(17)) {
            const quint16 size = s->word(0x0C);
            if (size == 0) continue;  // an empty slot
            quint64 bytes = 0;
            bool known = size != 0xFFFF;
            if (size == 0x7FFF && s->has(0x1C, 4))
                bytes = quint64(s->dword(0x1C) & 0x7FFFFFFF) * 1024 * 1024;
            else if (size & 0x8000)
                bytes = quint64(size & 0x7FFF) * 1024;
            else
                bytes = quint64(size) * 1024 * 1024;
            any = true;
            InstanceBuilder<"Win32_PhysicalMemory"> m(store);
            m.set("Name", QStringLiteral("Physical Memory"));
            m.set("Manufacturer", textOrNull(s->string(0x17)));
            m.set("Capacity", known ? uint64Text(bytes) : Variant());
            quint32 speed = s->word(0x15);
            if (speed == 0xFFFF) speed = s->dword(0x54);
            m.set("Speed", speed ? Variant(qint64(speed)) : Variant());
            m.set("PositionInRow", Variant());
            m.set("MemoryType", memoryTypeCode(s->byte(0x12)));
            m.set("DeviceLocator", textOrNull(s->string(0x10)));
            m.set("BankLabel", textOrNull(s->string(0x11)));
        }
        if (any) return;
    } else {
        // Without the table: what udev decoded of it when the machine started. When the table
        // is there but only root may read it, and udev has nothing, the modules cannot be told.
        if (addUdevMemory(udevMemory(c), store)) return;
        if (c.g.unreadable(QStringLiteral("/sys/firmware/dmi/tables/DMI"))) return;
    }
    // The firmware lists no memory device (most cloud and micro virtual machines): the installed
    // memory as one module of which nothing else is known.
    if (const auto bytes = installedMemory(c)) {
        InstanceBuilder<"Win32_PhysicalMemory"> m(store);
        m.set("Name", QStringLiteral("Physical Memory"));
        m.set("Manufacturer", Variant());
        m.set("Capacity", uint64Text(*bytes));
        m.set("Speed", Variant());
        m.set("PositionInRow", Variant());
        m.set("MemoryType", Variant());
        m.set("DeviceLocator", Variant());
        m.set("BankLabel", Variant());
    }
}

}  // namespace qelto::wmi::lnx
