// Win32_Processor of a Linux machine: one per package (socket), from /proc/cpuinfo, the frequency
// driver and the firmware table.

#include "classes.h"

#include <QSet>

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

// The speed the kernel measured for each logical processor of a package, averaged; 0 if none.
double measuredMhz(const std::vector<const CpuBlock*>& blocks) {
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
    return mhzCount ? mhzSum / mhzCount : 0;
}

// The nominal speed: the firmware's, the frequency driver's base, the brand string's, the highest
// the driver allows, the speed the kernel measured.
Variant maxClockSpeed(const Context& c, const smbios::Structure* s, const CpuBlock& first,
                      double measured) {
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
    if (!maxMhz && measured > 0) maxMhz = qint64(std::lround(measured));
    return maxMhz ? Variant(*maxMhz) : Variant();
}

// The current speed: the frequency driver's, averaged over the package, else the kernel's.
Variant currentClockSpeed(const Context& c, const std::vector<const CpuBlock*>& blocks,
                          double measured) {
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
    if (curCount) return Variant(qint64(std::lround(curSum / curCount)));
    if (measured > 0) return Variant(qint64(std::lround(measured)));
    return {};
}

Variant processorId(const smbios::Structure* s, const CpuBlock& first) {
    if (s && s->has(0x08, 8) && s->qword(0x08) != 0)
        return Variant(
            QStringLiteral("%1").arg(s->qword(0x08), 16, 16, QLatin1Char('0')).toUpper());
    if (first.contains(QStringLiteral("cpu family"))) return processorIdFromCpuinfo(first);
    return {};
}

// The voltage in tenths of a volt, as the firmware gives it.
Variant currentVoltage(const smbios::Structure* s) {
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
    return volts;
}

}  // namespace

void addProcessors(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_Processor">::declare(store);
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
        InstanceBuilder<"Win32_Processor"> p(store);
        Variant name = textOrNull(first.value(QStringLiteral("model name")));
        if (name.isNull() && s) name = textOrNull(s->string(0x10));
        p.set("Name", name);
        Variant vendor = textOrNull(first.value(QStringLiteral("vendor_id")));
        if (vendor.isNull() && s) vendor = textOrNull(s->string(0x07));
        p.set("Manufacturer", vendor);
        const QString flags = first.value(QStringLiteral("flags"));
        const bool lm = flags.split(u' ').contains(QStringLiteral("lm"));
        if (first.contains(QStringLiteral("cpu family"))) {
            const QString v = first.value(QStringLiteral("vendor_id"));
            const QString arch = !lm ? QStringLiteral("x86")
                                 : v == u"AuthenticAMD" || v == u"HygonGenuine"
                                     ? QStringLiteral("AMD64")
                                     : QStringLiteral("Intel64");
            p.set("Description", QStringLiteral("%1 Family %2 Model %3 Stepping %4")
                                     .arg(arch, first.value(QStringLiteral("cpu family")),
                                          first.value(QStringLiteral("model")),
                                          first.value(QStringLiteral("stepping"))));
        } else {
            p.set("Description", name);
        }
        const double measured = measuredMhz(blocks);
        p.set("MaxClockSpeed", maxClockSpeed(c, s, first, measured));
        p.set("CurrentClockSpeed", currentClockSpeed(c, blocks, measured));
        p.set("Status", QStringLiteral("OK"));
        p.set("ProcessorId", processorId(s, first));
        p.set("ExtClock", s && s->word(0x12) != 0 ? Variant(qint64(s->word(0x12))) : Variant());
        p.set("AddressWidth", qint64(is64 ? 64 : 32));
        p.set("DataWidth", qint64(is64 || lm ? 64 : 32));
        p.set("SocketDesignation", s ? textOrNull(s->string(0x04)) : Variant());
        p.set("CurrentVoltage", currentVoltage(s));
        p.set("LoadPercentage",
              load >= 0 ? Variant(qint64(std::lround(qMin(load, 100.0)))) : Variant());
        QSet<QString> cores;
        for (const CpuBlock* b : blocks)
            cores.insert(
                b->value(QStringLiteral("core id"), b->value(QStringLiteral("processor"))));
        p.set("NumberOfCores", qint64(cores.size()));
        p.set("NumberOfLogicalProcessors", qint64(blocks.size()));
    }
}

}  // namespace qelto::wmi::lnx