// The SSH source as the choosing point knows it: the host texts it takes. Its candidates come
// from the SSH client configuration, which libssh reads, so they live in the module with the
// connection, loaded when a Linux host is first connected or a bare host is raced.

#include "source.h"

#include "wmi/module.h"

void qelto_register_ssh_source(qelto::wmi::SourceRegistry& registry) {
    using namespace qelto::wmi;
    registry.add(moduleSource({QStringLiteral("ssh"),
                               [](const HostText& host) { return host.scheme == u"ssh"; }, true, 0,
                               nullptr, "qelto-ssh.so", "qelto_ssh_source"}));
}
