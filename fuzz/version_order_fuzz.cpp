// Feeds arbitrary versions, up to three lines, to the version orders of the archive's program
// search: every order must say a version equals itself and give the opposite answer the other
// way round; dpkg's and the Windows order, which give every version a place, must also be
// transitive.
#include "archive/software.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::archive;

namespace {

void check(bool ok, const char* source, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "version_order_fuzz: %s: %s\n", source, what);
    std::abort();
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QStringList lines =
        QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)).split(u'\n');
    const QString a = lines.value(0), b = lines.value(1), c = lines.value(2);
    for (const char* source : {"dpkg", "rpm", "registry"}) {
        const QString s = QString::fromLatin1(source);
        check(compareVersions(s, a, a) == 0, source, "a version differs from itself");
        const int ab = sign(compareVersions(s, a, b));
        check(ab == -sign(compareVersions(s, b, a)), source, "not the opposite the other way");
        if (s == u"rpm") continue;
        const int bc = sign(compareVersions(s, b, c)), ac = sign(compareVersions(s, a, c));
        if (ab <= 0 && bc <= 0) check(ac <= 0, source, "a <= b <= c but a > c");
        if (ab >= 0 && bc >= 0) check(ac >= 0, source, "a >= b >= c but a < c");
    }
    return 0;
}
