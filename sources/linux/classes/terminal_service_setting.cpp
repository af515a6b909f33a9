// Win32_TerminalServiceSetting of a Linux machine: remote desktop is allowed when something
// listens on the remote desktop port.

#include "classes.h"

namespace qelto::wmi::lnx {

void addTerminalServiceSetting(const Context& c, InstanceStore& store) {
    const QList<int> ports =
        parseListeningPorts(c.g.probe(QStringLiteral("listening")).value_or(QByteArray()));
    InstanceBuilder<"Win32_TerminalServiceSetting"> t(store);
    t.set("AllowTSConnections", qint64(ports.contains(3389) ? 1 : 0));
}

}  // namespace qelto::wmi::lnx
