// Win32_Processor, Win32_CacheMemory, Win32_PhysicalMemoryArray, Win32_PhysicalMemory,
// Win32_BaseBoard, Win32_PortConnector, Win32_USBController, Win32_SystemSlot, Win32_BIOS and
// Win32_PortableBattery of a Linux machine.

#include "context.h"

#include <QMap>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace qelto::wmi::lnx {

namespace {

// CPUID leaf 1 EDX bits by the names the kernel gives them in /proc/cpuinfo.
const char* const kEdxFlags[32] = {
    "fpu",  "vme",  "de",   "pse", "tsc",  "msr", "pae",   "mce", "cx8",     "apic",  nullptr,
    "sep",  "mtrr", "pge",  "mca", "cmov", "pat", "pse36", "pn",  "clflush", nullptr, "dts",
    "acpi", "mmx",  "fxsr", "sse", "sse2", "ss",  "ht",    "tm",  "ia64",    "pbe"};

// The processor id WMI shows (EDX then EAX of CPUID leaf 1), rebuilt from what the kernel prints.
Variant processorIdFromCpuinfo(const CpuBlock& b) {
    bool okF = false, okM = false, okS = false;
    const uint family = b.value(QStringLiteral("cpu family")).toUInt(&okF);
    const uint model = b.value(QStringLiteral("model")).toUInt(&okM);
    const uint stepping = b.value(QStringLiteral("stepping")).toUInt(&okS);
    if (!okF || !okM || !okS || family > 255 + 15 || model > 255 || stepping > 15) return {};
    quint32 eax = stepping & 0xF;
    const uint familyField = family >= 15 ? 15 : family;
    eax |= familyField << 8;
    if (family >= 15) eax |= (family - 15) << 20;
    eax |= (model & 0xF) << 4;
    if (familyField == 6 || familyField == 15) eax |= (model >> 4) << 16;
    quint32 edx = 0;
    const QStringList flags = b.value(QStringLiteral("flags")).split(u' ', Qt::SkipEmptyParts);
    const QSet<QString> set(flags.begin(), flags.end());
    for (int i = 0; i < 32; ++i)
        if (kEdxFlags[i] && set.contains(QLatin1String(kEdxFlags[i]))) edx |= 1u << i;
    return Variant(QStringLiteral("%1%2")
                       .arg(edx, 8, 16, QLatin1Char('0'))
                       .arg(eax, 8, 16, QLatin1Char('0'))
                       .toUpper());
}

std::optional<qint64> mhzFromKhzFile(const Context& c, const QString& path) {
    if (auto v = toUnsigned(c.g.text(path)); v && *v > 0) return qint64(*v / 1000);
    return std::nullopt;
}

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

quint64 cacheSizeKb(const QString& text) {
    const QString t = text.trimmed();
    const quint64 n = toUnsigned(t).value_or(0);
    if (t.endsWith(u'M')) return n * 1024;
    if (t.endsWith(u'G')) return n * 1024 * 1024;
    return n;  // "48K"
}

void addProcessors(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_Processor"));
    const std::vector<CpuBlock> cpus = parseCpuinfo(c.g.text(QStringLiteral("/proc/cpuinfo")));
    // Logical processors by package, in the order of the packages' first appearance.
    QList<QString> order;
    QHash<QString, std::vector<const CpuBlock*>> byPackage;
    for (const CpuBlock& b : cpus) {
        const QString pkg = b.value(QStringLiteral("physical id"), QStringLiteral("0"));
        if (!byPackage.contains(pkg)) order << pkg;
        byPackage[pkg].push_back(&b);
    }
    std::vector<const smbios::Structure*> sockets;
    for (const smbios::Structure* s : c.ofType(4))
        if (s->byte(0x18) & 0x40) sockets.push_back(s);  // socket populated

    double load = -1;
    if (const QByteArray* la = c.g.file(QStringLiteral("/proc/loadavg")); la && !cpus.empty())
        load =
            QString::fromLatin1(la->split(' ').value(0)).toDouble() / double(cpus.size()) * 100.0;
    const bool is64 = c.machine.contains(u"64") || c.machine == u"s390x";

    for (qsizetype i = 0; i < order.size(); ++i) {
        const auto& blocks = byPackage.value(order[i]);
        const CpuBlock& first = *blocks.front();
        const smbios::Structure* s = size_t(i) < sockets.size() ? sockets[size_t(i)] : nullptr;
        Instance& p = newInstance(store, QStringLiteral("Win32_Processor"));
        Variant name = textOrNull(first.value(QStringLiteral("model name")));
        if (name.isNull() && s) name = textOrNull(s->string(0x10));
        p.set(QStringLiteral("Name"), name);
        Variant vendor = textOrNull(first.value(QStringLiteral("vendor_id")));
        if (vendor.isNull() && s) vendor = textOrNull(s->string(0x07));
        p.set(QStringLiteral("Manufacturer"), vendor);
        const QString flags = first.value(QStringLiteral("flags"));
        const bool lm = flags.split(u' ').contains(QStringLiteral("lm"));
        if (first.contains(QStringLiteral("cpu family"))) {
            const QString v = first.value(QStringLiteral("vendor_id"));
            const QString arch = !lm ? QStringLiteral("x86")
                                 : v == u"AuthenticAMD" || v == u"HygonGenuine"
                                     ? QStringLiteral("AMD64")
                                     : QStringLiteral("Intel64");
            p.set(QStringLiteral("Description"),
                  Variant(QStringLiteral("%1 Family %2 Model %3 Stepping %4")
                              .arg(arch, first.value(QStringLiteral("cpu family")),
                                   first.value(QStringLiteral("model")),
                                   first.value(QStringLiteral("stepping")))));
        } else {
            p.set(QStringLiteral("Description"), name);
        }
        // The nominal speed: the firmware's, the frequency driver's base, the brand string's, the
        // highest the driver allows, the speed the kernel measured.
        std::optional<qint64> maxMhz;
        if (s && s->word(0x16) != 0 && s->word(0x16) != 0xFFFF) maxMhz = s->word(0x16);
        if (!maxMhz)
            maxMhz = mhzFromKhzFile(
                c, QStringLiteral("/sys/devices/system/cpu/cpu0/cpufreq/base_frequency"));
        if (!maxMhz) {
            const QString n = first.value(QStringLiteral("model name"));
            const qsizetype at = n.lastIndexOf(u'@');
            if (at >= 0 && n.endsWith(u"GHz")) {
                bool ok = false;
                const double ghz = n.mid(at + 1, n.size() - at - 4).trimmed().toDouble(&ok);
                if (ok && ghz > 0 && ghz < 100) maxMhz = qint64(std::lround(ghz * 1000));
            }
        }
        if (!maxMhz)
            maxMhz = mhzFromKhzFile(
                c, QStringLiteral("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"));
        double mhzSum = 0;
        int mhzCount = 0;
        for (const CpuBlock* b : blocks) {
            bool ok = false;
            const double m = b->value(QStringLiteral("cpu MHz")).toDouble(&ok);
            if (ok && m > 0) {
                mhzSum += m;
                ++mhzCount;
            }
        }
        if (!maxMhz && mhzCount) maxMhz = qint64(std::lround(mhzSum / mhzCount));
        p.set(QStringLiteral("MaxClockSpeed"), maxMhz ? Variant(*maxMhz) : Variant());
        // The current speed: the frequency driver's, averaged over the package, else the kernel's.
        double curSum = 0;
        int curCount = 0;
        for (const CpuBlock* b : blocks) {
            const QString path =
                QStringLiteral("/sys/devices/system/cpu/cpu%1/cpufreq/scaling_cur_freq")
                    .arg(b->value(QStringLiteral("processor")));
            if (auto v = toUnsigned(c.g.text(path)); v && *v > 0) {
                curSum += double(*v) / 1000.0;
                ++curCount;
            }
        }
        if (curCount)
            p.set(QStringLiteral("CurrentClockSpeed"),
                  Variant(qint64(std::lround(curSum / curCount))));
        else if (mhzCount)
            p.set(QStringLiteral("CurrentClockSpeed"),
                  Variant(qint64(std::lround(mhzSum / mhzCount))));
        else
            p.set(QStringLiteral("CurrentClockSpeed"), Variant());
        p.set(QStringLiteral("Status"), Variant(QStringLiteral("OK")));
        Variant id;
        if (s && s->has(0x08, 8) && s->qword(0x08) != 0)
            id = Variant(
                QStringLiteral("%1").arg(s->qword(0x08), 16, 16, QLatin1Char('0')).toUpper());
        else if (first.contains(QStringLiteral("cpu family")))
            id = processorIdFromCpuinfo(first);
        p.set(QStringLiteral("ProcessorId"), id);
        p.set(QStringLiteral("ExtClock"),
              s && s->word(0x12) != 0 ? Variant(qint64(s->word(0x12))) : Variant());
        p.set(QStringLiteral("AddressWidth"), Variant(qint64(is64 ? 64 : 32)));
        p.set(QStringLiteral("DataWidth"), Variant(qint64(is64 || lm ? 64 : 32)));
        p.set(QStringLiteral("SocketDesignation"), s ? textOrNull(s->string(0x04)) : Variant());
        Variant volts;
        if (s && s->has(0x11, 1)) {
            const quint8 v = s->byte(0x11);
            if (v & 0x80)
                volts = Variant(qint64(v & 0x7F));
            else if (v & 0x01)
                volts = Variant(qint64(50));
            else if (v & 0x02)
                volts = Variant(qint64(33));
            else if (v & 0x04)
                volts = Variant(qint64(29));
        }
        p.set(QStringLiteral("CurrentVoltage"), volts);
        p.set(QStringLiteral("LoadPercentage"),
              load >= 0 ? Variant(qint64(std::lround(qMin(load, 100.0)))) : Variant());
        QSet<QString> cores;
        for (const CpuBlock* b : blocks)
            cores.insert(
                b->value(QStringLiteral("core id"), b->value(QStringLiteral("processor"))));
        p.set(QStringLiteral("NumberOfCores"), Variant(qint64(cores.size())));
        p.set(QStringLiteral("NumberOfLogicalProcessors"), Variant(qint64(blocks.size())));
    }
}

void addCaches(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_CacheMemory"));
    // package -> level -> KB, counting each distinct cache once.
    QMap<int, QMap<int, quint64>> sizes;
    QSet<QString> seen;
    const QString base = QStringLiteral("/sys/devices/system/cpu/");
    for (const QString& cpu : c.g.children(QStringLiteral("/sys/devices/system/cpu"))) {
        if (!cpu.startsWith(u"cpu") || cpu.size() < 4 || !cpu[3].isDigit()) continue;
        const int pkg =
            int(toUnsigned(c.g.text(base + cpu + QStringLiteral("/topology/physical_package_id")))
                    .value_or(0));
        for (const QString& index : c.g.children(base + cpu + QStringLiteral("/cache"))) {
            const QString dir = base + cpu + QStringLiteral("/cache/") + index + u'/';
            const auto level = toUnsigned(c.g.text(dir + QStringLiteral("level")));
            const QString type = c.line(dir + QStringLiteral("type"));
            if (!level || *level < 1 || *level > 3) continue;
            const QString key = QStringLiteral("%1/%2/%3/%4")
                                    .arg(pkg)
                                    .arg(*level)
                                    .arg(type, c.line(dir + QStringLiteral("shared_cpu_list")));
            if (seen.contains(key)) continue;
            seen.insert(key);
            sizes[pkg][int(*level)] += cacheSizeKb(c.line(dir + QStringLiteral("size")));
        }
    }
    if (sizes.isEmpty()) {
        // The firmware's table of caches, when readable.
        for (const smbios::Structure* s : c.ofType(7)) {
            const int level = (s->word(0x05) & 0x7) + 1;
            quint64 kb = s->word(0x07);
            kb = (kb & 0x8000) ? (kb & 0x7FFF) * 64 : kb;
            if (s->has(0x13, 4) && kb == 0x7FFF * 64) {
                const quint32 big = s->dword(0x13);
                kb = (big & 0x80000000u) ? quint64(big & 0x7FFFFFFF) * 64 : big;
            }
            if (level <= 3) sizes[0][level] += kb;
        }
    }
    for (auto pkg = sizes.cbegin(); pkg != sizes.cend(); ++pkg)
        for (auto lv = pkg->cbegin(); lv != pkg->cend(); ++lv) {
            Instance& i = newInstance(store, QStringLiteral("Win32_CacheMemory"));
            i.set(QStringLiteral("Level"),
                  Variant(qint64(lv.key() + 2)));  // 3 primary, 4 secondary, 5 tertiary
            i.set(QStringLiteral("MaxCacheSize"), Variant(qint64(lv.value())));
            i.set(QStringLiteral("InstalledSize"), Variant(qint64(lv.value())));
        }
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

bool addUdevMemory(const Context& c, InstanceStore& store);

void addMemory(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_PhysicalMemoryArray"));
    store.addClass(QStringLiteral("Win32_PhysicalMemory"));
    const auto arrays = c.ofType(16);
    const auto devices = c.ofType(17);
    if (!arrays.empty() || !devices.empty()) {
        for (const smbios::Structure* s : arrays) {
            if (s->byte(0x05) != 3) continue;  // system memory only
            Instance& a = newInstance(store, QStringLiteral("Win32_PhysicalMemoryArray"));
            quint64 kb = s->dword(0x07);
            if (kb == 0x80000000u && s->has(0x0F, 8)) kb = s->qword(0x0F) / 1024;
            a.set(QStringLiteral("MaxCapacity"), Variant(qint64(qMin<quint64>(kb, 0xFFFFFFFFu))));
            a.set(QStringLiteral("MemoryDevices"), Variant(qint64(s->word(0x0D))));
        }
        for (const smbios::Structure* s : devices) {
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
            Instance& m = newInstance(store, QStringLiteral("Win32_PhysicalMemory"));
            m.set(QStringLiteral("Name"), Variant(QStringLiteral("Physical Memory")));
            m.set(QStringLiteral("Manufacturer"), textOrNull(s->string(0x17)));
            m.set(QStringLiteral("Capacity"), known ? uint64Text(bytes) : Variant());
            quint32 speed = s->word(0x15);
            if (speed == 0xFFFF) speed = s->dword(0x54);
            m.set(QStringLiteral("Speed"), speed ? Variant(qint64(speed)) : Variant());
            m.set(QStringLiteral("PositionInRow"), Variant());
            m.set(QStringLiteral("MemoryType"), Variant(memoryTypeCode(s->byte(0x12))));
            m.set(QStringLiteral("DeviceLocator"), textOrNull(s->string(0x10)));
            m.set(QStringLiteral("BankLabel"), textOrNull(s->string(0x11)));
        }
        if (!store.findClass(QStringLiteral("Win32_PhysicalMemory"))->items.empty()) return;
    } else {
        // Without the table: what udev decoded of it when the machine started. When the table
        // is there but only root may read it, and udev has nothing, the modules cannot be told.
        if (addUdevMemory(c, store)) return;
        if (c.g.unreadable(QStringLiteral("/sys/firmware/dmi/tables/DMI"))) return;
    }
    // The firmware lists no memory device (most cloud and micro virtual machines): the installed
    // memory as one module of which nothing else is known.
    if (const auto bytes = installedMemory(c)) {
        Instance& m = newInstance(store, QStringLiteral("Win32_PhysicalMemory"));
        m.set(QStringLiteral("Name"), Variant(QStringLiteral("Physical Memory")));
        m.set(QStringLiteral("Manufacturer"), Variant());
        m.set(QStringLiteral("Capacity"), uint64Text(*bytes));
        m.set(QStringLiteral("Speed"), Variant());
        m.set(QStringLiteral("PositionInRow"), Variant());
        m.set(QStringLiteral("MemoryType"), Variant());
        m.set(QStringLiteral("DeviceLocator"), Variant());
        m.set(QStringLiteral("BankLabel"), Variant());
    }
}

bool addUdevMemory(const Context& c, InstanceStore& store) {
    const auto udev = keyValues(c.g.text(QStringLiteral("/run/udev/data/+dmi:id")), u"E:");
    bool any = false;
    if (udev.contains(QStringLiteral("MEMORY_ARRAY_MAX_CAPACITY")) ||
        udev.contains(QStringLiteral("MEMORY_ARRAY_NUM_DEVICES"))) {
        Instance& a = newInstance(store, QStringLiteral("Win32_PhysicalMemoryArray"));
        const auto max = toUnsigned(udev.value(QStringLiteral("MEMORY_ARRAY_MAX_CAPACITY")));
        a.set(QStringLiteral("MaxCapacity"),
              max ? Variant(qint64(qMin<quint64>(*max / 1024, 0xFFFFFFFFu))) : Variant());
        const auto n = toUnsigned(udev.value(QStringLiteral("MEMORY_ARRAY_NUM_DEVICES")));
        a.set(QStringLiteral("MemoryDevices"), n ? Variant(qint64(*n)) : Variant());
    }
    for (int i = 0; i < 256; ++i) {
        const QString p = QStringLiteral("MEMORY_DEVICE_%1_").arg(i);
        if (!udev.contains(p + QStringLiteral("SIZE")) &&
            !udev.contains(p + QStringLiteral("PRESENT"))) {
            if (i > 0 && !udev.contains(QStringLiteral("MEMORY_DEVICE_%1_LOCATOR").arg(i))) break;
            continue;
        }
        if (udev.value(p + QStringLiteral("PRESENT")) == u"0") continue;
        any = true;
        Instance& m = newInstance(store, QStringLiteral("Win32_PhysicalMemory"));
        m.set(QStringLiteral("Name"), Variant(QStringLiteral("Physical Memory")));
        m.set(QStringLiteral("Manufacturer"),
              textOrNull(udev.value(p + QStringLiteral("MANUFACTURER"))));
        const auto size = toUnsigned(udev.value(p + QStringLiteral("SIZE")));
        m.set(QStringLiteral("Capacity"), size ? uint64Text(*size) : Variant());
        const auto speed = toUnsigned(udev.value(p + QStringLiteral("SPEED_MTS")));
        m.set(QStringLiteral("Speed"), speed && *speed ? Variant(qint64(*speed)) : Variant());
        m.set(QStringLiteral("PositionInRow"), Variant());
        m.set(QStringLiteral("MemoryType"),
              Variant(memoryTypeCode(smbiosTypeFromName(udev.value(p + QStringLiteral("TYPE"))))));
        m.set(QStringLiteral("DeviceLocator"),
              textOrNull(udev.value(p + QStringLiteral("LOCATOR"))));
        m.set(QStringLiteral("BankLabel"),
              textOrNull(udev.value(p + QStringLiteral("BANK_LOCATOR"))));
    }
    return any;
}

void addBoardAndBios(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_BaseBoard"));
    store.addClass(QStringLiteral("Win32_BIOS"));
    const auto boards = c.ofType(2);
    const smbios::Structure* b = boards.empty() ? nullptr : boards.front();
    auto pick = [&](const char* dmiName, int offset) {
        Variant v = c.dmi(dmiName);
        if (v.isNull() && b) v = textOrNull(b->string(offset));
        return v;
    };
    const Variant product = pick("board_name", 0x05), maker = pick("board_vendor", 0x04),
                  version = pick("board_version", 0x06), serial = pick("board_serial", 0x07);
    if (!product.isNull() || !maker.isNull() || !version.isNull() || !serial.isNull()) {
        Instance& i = newInstance(store, QStringLiteral("Win32_BaseBoard"));
        i.set(QStringLiteral("Product"), product);
        i.set(QStringLiteral("Manufacturer"), maker);
        i.set(QStringLiteral("Version"), version);
        i.set(QStringLiteral("SerialNumber"), serial);
    }

    const auto bioses = c.ofType(0);
    const smbios::Structure* bs = bioses.empty() ? nullptr : bioses.front();
    Variant vendor = c.dmi("bios_vendor"), ver = c.dmi("bios_version"), date = c.dmi("bios_date");
    if (vendor.isNull() && bs) vendor = textOrNull(bs->string(0x04));
    if (ver.isNull() && bs) ver = textOrNull(bs->string(0x05));
    if (date.isNull() && bs) date = textOrNull(bs->string(0x08));
    if (vendor.isNull() && ver.isNull()) return;
    Instance& i = newInstance(store, QStringLiteral("Win32_BIOS"));
    i.set(QStringLiteral("Name"), ver);
    i.set(QStringLiteral("Manufacturer"), vendor);
    QString release = c.line(QStringLiteral("/sys/class/dmi/id/bios_release"));
    if (release.isEmpty() && bs && bs->has(0x15, 1) && bs->byte(0x14) != 0xFF)
        release = QStringLiteral("%1.%2").arg(bs->byte(0x14)).arg(bs->byte(0x15));
    const QString tail = !release.isEmpty() ? release
                         : date.isNull()    ? QString()
                                            : date.textValue();
    i.set(QStringLiteral("Version"),
          vendor.isNull() || tail.isEmpty()
              ? textOrNull(tail)
              : Variant(vendor.textValue() + QStringLiteral(" - ") + tail));
    i.set(QStringLiteral("SMBIOSBIOSVersion"), ver);
    Variant language;
    for (const smbios::Structure* s : c.ofType(13)) language = textOrNull(s->string(0x15));
    i.set(QStringLiteral("CurrentLanguage"), language);
    // mm/dd/yyyy -> local midnight of that day, with the offset the machine's zone had then.
    if (!date.isNull()) {
        const QStringList d = date.textValue().split(u'/');
        const QDate day = d.size() == 3 && d[2].size() == 4
                              ? QDate(d[2].toInt(), d[0].toInt(), d[1].toInt())
                              : QDate();
        if (day.isValid()) {
            const int minutes = c.offsetAtMidnight(day) / 60;
            i.set(
                QStringLiteral("ReleaseDate"),
                Variant(day.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral("000000.000000") +
                        (minutes < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
                        QStringLiteral("%1").arg(qAbs(minutes), 3, 10, QLatin1Char('0'))));
        }
    }
}

void addPortsAndSlots(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_PortConnector"));
    store.addClass(QStringLiteral("Win32_USBController"));
    store.addClass(QStringLiteral("Win32_SystemSlot"));

    const auto ports = c.ofType(8);
    if (!ports.empty()) {
        for (const smbios::Structure* s : ports) {
            const quint8 t = s->byte(0x08);
            qint64 code = t <= 0x1F ? t : t == 0xA0 ? 32 : t == 0xA1 ? 33 : 1;
            Instance& i = newInstance(store, QStringLiteral("Win32_PortConnector"));
            i.set(QStringLiteral("PortType"), Variant(code));
            i.set(QStringLiteral("InternalReferenceDesignator"), textOrNull(s->string(0x04)));
            i.set(QStringLiteral("ExternalReferenceDesignator"), textOrNull(s->string(0x06)));
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
                Instance& i = newInstance(store, QStringLiteral("Win32_PortConnector"));
                i.set(QStringLiteral("PortType"), Variant(qint64(16)));
                i.set(QStringLiteral("ExternalReferenceDesignator"),
                      Variant(path.section(u'/', -2, -2)));
            }
        }
    }

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
        Instance& i = newInstance(store, QStringLiteral("Win32_USBController"));
        i.set(QStringLiteral("Name"), Variant(name));
        i.set(QStringLiteral("Caption"), Variant(name));
        i.set(QStringLiteral("Manufacturer"), Variant(c.pciVendorName(d.vendor)));
        i.set(QStringLiteral("PNPDeviceID"),
              Variant(QStringLiteral("PCI\\VEN_%1&DEV_%2")
                          .arg(hex4(d.vendor).toUpper(), hex4(d.device).toUpper())));
    }

    const auto slots = c.ofType(9);
    int n = 0;
    if (!slots.empty()) {
        for (const smbios::Structure* s : slots) {
            Instance& i = newInstance(store, QStringLiteral("Win32_SystemSlot"));
            i.set(QStringLiteral("Tag"), Variant(QStringLiteral("System Slot %1").arg(n++)));
            i.set(QStringLiteral("SlotDesignation"), textOrNull(s->string(0x04)));
            i.set(QStringLiteral("CurrentUsage"),
                  s->has(0x07, 1) ? Variant(qint64(s->byte(0x07))) : Variant());
        }
    } else {
        for (const QString& path : c.g.match(QStringLiteral("/sys/bus/pci/slots/*/address"))) {
            const QString address = c.line(path);
            bool used = false;
            for (const PciDevice& d : c.pci)
                if (!address.isEmpty() && d.address.startsWith(address + u'.')) used = true;
            Instance& i = newInstance(store, QStringLiteral("Win32_SystemSlot"));
            i.set(QStringLiteral("Tag"), Variant(QStringLiteral("System Slot %1").arg(n++)));
            i.set(QStringLiteral("SlotDesignation"), Variant(path.section(u'/', -2, -2)));
            i.set(QStringLiteral("CurrentUsage"), Variant(qint64(used ? 4 : 3)));
        }
    }
}

void addBatteries(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_PortableBattery"));
    const auto table = c.ofType(22);
    if (!table.empty()) {
        for (const smbios::Structure* s : table) {
            const int multiplier = qMax<int>(1, s->byte(0x15, 1));
            Instance& b = newInstance(store, QStringLiteral("Win32_PortableBattery"));
            b.set(QStringLiteral("Description"), textOrNull(s->string(0x08)));
            b.set(QStringLiteral("Name"), textOrNull(s->string(0x08)));
            b.set(QStringLiteral("Manufacturer"), textOrNull(s->string(0x05)));
            b.set(QStringLiteral("CapacityMultiplier"), Variant(qint64(multiplier)));
            b.set(QStringLiteral("DesignCapacity"),
                  s->word(0x0A) ? Variant(qint64(s->word(0x0A)) * multiplier) : Variant());
            b.set(QStringLiteral("DesignVoltage"),
                  s->word(0x0C) ? uint64Text(s->word(0x0C)) : Variant());
        }
        return;
    }
    for (const QString& typePath : c.g.match(QStringLiteral("/sys/class/power_supply/*/type"))) {
        if (c.line(typePath) != u"Battery") continue;
        const QString dir = typePath.left(typePath.size() - 4);
        if (c.line(dir + QStringLiteral("scope")) == u"Device")
            continue;  // a mouse's or keyboard's
        Instance& b = newInstance(store, QStringLiteral("Win32_PortableBattery"));
        const Variant model = textOrNull(c.line(dir + QStringLiteral("model_name")));
        b.set(QStringLiteral("Description"), model);
        b.set(QStringLiteral("Name"), model);
        b.set(QStringLiteral("Manufacturer"),
              textOrNull(c.line(dir + QStringLiteral("manufacturer"))));
        b.set(QStringLiteral("CapacityMultiplier"), Variant(qint64(1)));
        const auto uv = toUnsigned(c.g.text(dir + QStringLiteral("voltage_min_design")));
        b.set(QStringLiteral("DesignVoltage"), uv && *uv ? uint64Text(*uv / 1000) : Variant());
        std::optional<quint64> mwh;
        if (auto e = toUnsigned(c.g.text(dir + QStringLiteral("energy_full_design"))); e && *e)
            mwh = *e / 1000;
        else if (auto q = toUnsigned(c.g.text(dir + QStringLiteral("charge_full_design")));
                 q && *q && uv && *uv)
            mwh = quint64((double(*q) * double(*uv)) / 1e9);
        b.set(QStringLiteral("DesignCapacity"), mwh ? Variant(qint64(*mwh)) : Variant());
    }
}

}  // namespace

VirtualMachine virtualMachine(const Context& c) {
    // The hypervisor by what it left in the kernel: Xen's own interface, the paravirtual clock
    // that the CPU's hypervisor leaf made the kernel register, Hyper-V's bus, the device tree.
    const QString xen = c.line(QStringLiteral("/sys/hypervisor/type"));
    const QStringList clocks =
        c.line(QStringLiteral("/sys/devices/system/clocksource/clocksource0/available_clocksource"))
            .split(u' ', Qt::SkipEmptyParts);
    auto strings = [&](const char* path) {
        return QString::fromLatin1(c.g.text(QString::fromLatin1(path)))
            .split(QChar(0), Qt::SkipEmptyParts);
    };
    const QStringList compatible = strings("/sys/firmware/devicetree/base/compatible");
    const QStringList dtHypervisor = strings("/sys/firmware/devicetree/base/hypervisor/compatible");
    QString maker;
    if (xen == u"xen" || clocks.contains(u"xen") ||
        std::any_of(dtHypervisor.begin(), dtHypervisor.end(),
                    [](const QString& s) { return s.startsWith(u"xen,"); }))
        maker = QStringLiteral("Xen");
    else if (clocks.contains(u"kvm-clock"))
        maker = QStringLiteral("KVM");
    else if (c.g.exists(QStringLiteral("/sys/bus/vmbus/devices")) ||
             std::any_of(clocks.begin(), clocks.end(),
                         [](const QString& s) { return s.startsWith(u"hyperv_clocksource"); }))
        maker = QStringLiteral("Microsoft Hyper-V");
    else if (compatible.contains(u"linux,dummy-virt"))
        maker = QStringLiteral("QEMU");  // the board QEMU makes up for a guest with no firmware
    // Without a name for it: the CPU says it runs under a hypervisor, or the devices are virtio.
    bool virtualised = !maker.isEmpty();
    if (!virtualised) {
        const auto cpus = parseCpuinfo(c.g.text(QStringLiteral("/proc/cpuinfo")));
        virtualised = !cpus.empty() && cpus.front()
                                           .value(QStringLiteral("flags"))
                                           .split(u' ', Qt::SkipEmptyParts)
                                           .contains(QStringLiteral("hypervisor"));
    }
    if (!virtualised)
        virtualised =
            !c.g.list(QStringLiteral("/sys/bus/virtio/devices")).value_or(QStringList()).isEmpty();
    if (!virtualised) return {};
    return {maker.isEmpty() ? Variant() : Variant(maker), Variant(QStringLiteral("虚拟机"))};
}

void addBoardClasses(const Context& c, InstanceStore& store) {
    addProcessors(c, store);
    addCaches(c, store);
    addMemory(c, store);
    addBoardAndBios(c, store);
    addPortsAndSlots(c, store);
    addBatteries(c, store);
}

}  // namespace qelto::wmi::lnx
