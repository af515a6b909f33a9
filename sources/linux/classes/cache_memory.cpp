// Win32_CacheMemory of a Linux machine: the size of each level of cache per package.

#include "classes.h"

#include <QMap>
#include <QSet>

namespace qelto::wmi::lnx {

namespace {

quint64 cacheSizeKb(const QString& text) {
    const QString t = text.trimmed();
    const quint64 n = toUnsigned(t).value_or(0);
    if (t.endsWith(u'M')) return n * 1024;
    if (t.endsWith(u'G')) return n * 1024 * 1024;
    return n;  // "48K"
}

}  // namespace

void addCacheMemory(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_CacheMemory">::declare(store);
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
            InstanceBuilder<"Win32_CacheMemory"> i(store);
            i.set("Level", qint64(lv.key() + 2));  // 3 primary, 4 secondary, 5 tertiary
            i.set("MaxCacheSize", qint64(lv.value()));
            i.set("InstalledSize", qint64(lv.value()));
        }
}

}  // namespace qelto::wmi::lnx
