// Reads arbitrary bytes as ~/.ssh/config for a host, every Include naming a small file. The
// answer, when there is one, is a host name that is not empty and a port of 0 to 65535.
#include "sources/ssh/config.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi::ssh;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ConfigContext context = [] {
        ConfigContext c;
        c.sshFolder = QStringLiteral("/home/u/.ssh");
        c.home = QStringLiteral("/home/u");
        c.localUser = QStringLiteral("u");
        c.read = [](const QString&) -> std::optional<QByteArray> {
            return QByteArray("Host a*\n Port 2200\nMatch host b\n HostName c%h\n");
        };
        c.glob = [](const QString& pattern) { return QStringList{pattern}; };
        return c;
    }();
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QString& host : {QStringLiteral("a"), QStringLiteral("b")}) {
        const std::optional<ConfiguredEndpoint> found = readConfig(input, host, context);
        if (found && (found->hostName.isEmpty() || found->port < 0 || found->port > 65535)) {
            std::fprintf(stderr, "ssh_config_fuzz: an endpoint out of bounds\n");
            std::abort();
        }
    }
    return 0;
}
