// Qelto_Software of a Linux machine: the packages of dpkg, rpm and apk, snaps and flatpak
// applications. Win32_QuickFixEngineering, the Windows updates, is there and empty.

#include "classes.h"

#include "sources/linux/packages.h"

#include <algorithm>

namespace qelto::wmi::lnx {

namespace {

struct Found {
    Package package;
    const char* source;
};

void addAll(std::vector<Found>& out, std::vector<Package>&& packages, const char* source) {
    out.reserve(out.size() + packages.size());
    for (Package& p : packages) out.push_back({std::move(p), source});
}

std::vector<Package> flatpakApps(const Context& c) {
    std::vector<Package> out;
    for (const QString& link : c.g.match(QStringLiteral("/var/lib/flatpak/app/*/current"))) {
        const QString target = c.g.link(link);
        if (target.isEmpty()) continue;
        const QString id = link.section(u'/', -2, -2);
        QByteArray metainfo;
        for (const char* kind : {"metainfo/%1.metainfo.xml", "metainfo/%1.appdata.xml",
                                 "appdata/%1.appdata.xml", "appdata/%1.metainfo.xml"})
            if (metainfo.isEmpty())
                metainfo = c.g.text(link + QStringLiteral("/active/files/share/") +
                                    QString::fromLatin1(kind).arg(id));
        out.push_back(flatpakApp(id, target, metainfo));
    }
    return out;
}

}  // namespace

void addSoftware(const Context& c, InstanceStore& store) {
    ClassData& programs = InstanceBuilder<"Qelto_Software">::declare(store);
    std::vector<Found> found;
    if (const QByteArray* dpkg = c.g.file(QStringLiteral("/var/lib/dpkg/status")))
        addAll(found, parseDpkgStatus(*dpkg), "dpkg");
    addAll(found, parseRpmList(c.g.probe(QStringLiteral("rpm")).value_or(QByteArray())), "rpm");
    if (const QByteArray* apk = c.g.file(QStringLiteral("/lib/apk/db/installed")))
        addAll(found, parseApkInstalled(*apk), "apk");
    std::vector<Package> snaps;
    for (const QString& path : c.g.match(QStringLiteral("/snap/*/current/meta/snap.yaml")))
        if (Package p = parseSnapYaml(c.g.text(path)); !p.name.isEmpty())
            snaps.push_back(std::move(p));
    addAll(found, std::move(snaps), "snap");
    addAll(found, flatpakApps(c), "flatpak");
    // dpkg keeps its database in the order of the names already.
    const auto byName = [](const Found& a, const Found& b) {
        return a.package.name.compare(b.package.name, Qt::CaseInsensitive) < 0;
    };
    if (!std::ranges::is_sorted(found, byName)) std::ranges::stable_sort(found, byName);
    // The machine's offset from UTC, looked up once per quarter of an hour (which is where the
    // zones change it): a thousand packages were often installed within a few hours.
    QHash<qint64, int> offsets;
    const auto dated = [&](qint64 seconds) {
        auto at = offsets.constFind(seconds / 900);
        if (at == offsets.constEnd()) at = offsets.insert(seconds / 900, c.offsetAt(seconds));
        return Variant(wmiDateTime(seconds, 0, *at));
    };
    programs.items.reserve(found.size());
    for (const Found& f : found) {
        const Package& p = f.package;
        InstanceBuilder<"Qelto_Software"> b(programs);
        b.instance().properties.reserve(6);
        b.set("Name", p.name)
            .set("Version", textOrNull(p.version))
            .set("Vendor", textOrNull(p.vendor))
            .set("Architecture", textOrNull(p.architecture))
            .set("Source", QString::fromLatin1(f.source))
            .set("InstallDate", p.installed > 0 ? dated(p.installed) : Variant());
    }
}

void addQuickFixEngineering(InstanceStore& store) {
    InstanceBuilder<"Win32_QuickFixEngineering">::declare(store);
}

}  // namespace qelto::wmi::lnx
