// Builds the answers of all classes from a gathered machine made of arbitrary bytes: the input is
// split at NUL bytes into (path, content) pairs; paths name files of the plan, links and probes.
// Whatever the files say, building must finish and give every class of the scan.
#include "sources/linux/gather.h"
#include "sources/linux/source.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi::lnx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<QByteArray> parts =
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0');
    Gathered g;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString path = QString::fromUtf8(parts[i]);
        const QByteArray& content = parts[i + 1];
        if (path.startsWith(u"probe:"))
            g.addProbe(path.mid(6), content);
        else if (path.startsWith(u"link:"))
            g.addLink(path.mid(5), QString::fromUtf8(content));
        else if (path.startsWith(u'/'))
            g.addFile(path, content);
    }
    const auto store = buildStore(g);
    if (!store->findClass(u"Win32_NetworkAdapterConfiguration") ||
        !store->findClass(u"Win32_ComputerSystem")) {
        std::fprintf(stderr, "linux_store_fuzz: a class is missing\n");
        std::abort();
    }
    return 0;
}
