// Feeds arbitrary bytes to the parsers of the package databases. The first byte chooses: 0 dpkg's
// status, 1 apk's installed database, 2 rpm's list, 3 a snap's
// snap.yaml and a flatpak's metainfo. Every parser must return without crashing or hanging; a
// package always has a name; and the lines the remote gatherer keeps of a database (keepFields)
// give exactly the packages the whole database gives.
#include "sources/linux/gather.h"
#include "sources/linux/packages.h"
#include "sources/linux/source.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi::lnx;

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "software_fuzz: %s\n", what);
        std::abort();
    }
}

bool same(const std::vector<Package>& a, const std::vector<Package>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].version != b[i].version ||
            a[i].architecture != b[i].architecture || a[i].vendor != b[i].vendor)
            return false;
    return true;
}

// The packages of the whole database and of the lines the plan keeps of it are the same.
template <class Parse>
void checkFiltered(const QByteArray& bytes, const char* path, Parse parse) {
    const auto whole = parse(bytes);
    for (const Package& p : whole) check(!p.name.isEmpty(), "a package without a name");
    for (const GatherPlan::Filtered& f : linuxPlan().filtered)
        if (f.path == QLatin1String(path))
            check(same(whole, parse(keepFields(bytes, f.prefixes))),
                  "the kept lines give other packages");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    switch (data[0] % 4) {
        case 0:
            checkFiltered(bytes, "/var/lib/dpkg/status", parseDpkgStatus);
            break;
        case 1:
            checkFiltered(bytes, "/lib/apk/db/installed", parseApkInstalled);
            break;
        case 2:
            for (const Package& p : parseRpmList(bytes)) {
                check(!p.name.isEmpty(), "an rpm package without a name");
                check(p.installed >= 0, "an install time before 1970");
            }
            break;
        default:
            (void)parseSnapYaml(bytes);
            check(
                flatpakApp(QStringLiteral("a.b"), QStringLiteral("/a/app/a.b/x86_64/stable"), bytes)
                        .name == u"a.b",
                "a flatpak application without its id");
            break;
    }
    return 0;
}
