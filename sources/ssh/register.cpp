// The SSH source as the program knows it before it connects: the host texts it takes and its
// candidate, whose name and port come from ~/.ssh/config, read here without the SSH library
// (config.h). The dialer (libssh) is a module, loaded when an SSH server has answered, or when
// the configuration asks what only the library can tell (Match exec).

#include "config.h"
#include "source.h"

#include "connect/module.h"

namespace qelto::wmi::ssh {

namespace {

// The port of the host text, else the Port of ~/.ssh/config, else 22; the name to reach is the
// configuration's HostName. The server speaks first: its version line is what answers.
std::vector<connect::Candidate> candidatesOf(const HostText& host, connect::Dialer& dialer) {
    const std::optional<ConfiguredEndpoint> configured = configuredEndpoint(host.host);
    if (!configured) return dialer.candidates(host);
    connect::Candidate c(Server::Ssh, QStringLiteral("SSH"),
                         host.port          ? host.port
                         : configured->port ? configured->port
                                            : 22);
    c.speaksFirst = true;
    if (configured->hostName != host.host) c.name = configured->hostName;
    return {c};
}

}  // namespace

connect::Source declaration(std::shared_ptr<connect::Dialer> dialer) {
    return {.name = QStringLiteral("ssh"),
            .takes = [](const HostText& host) { return host.scheme == u"ssh"; },
            .bareHostPreference = 10,
            .candidates = [dialer](const HostText& host) { return candidatesOf(host, *dialer); },
            .dialer = dialer};
}

}  // namespace qelto::wmi::ssh

void qelto_register_ssh_source(qelto::connect::SourceRegistry& registry) {
    using namespace qelto;
    registry.add(wmi::ssh::declaration(
        connect::moduleDialer(QStringLiteral("ssh"), "qelto-ssh.so", "qelto_ssh_dialer")));
}
