// The WS-Management client: Enumerate / Pull / Release over HTTPS with libcurl's multi
// interface, one thread, a few kept-alive connections, one class on each at a time. The engine
// that does it is engine.h.

#include "client.h"

#include "engine.h"

namespace qelto::wmi::wsman {

Endpoint endpointOf(const HostText& host, bool sealed) {
    Endpoint e;
    e.hostName = host.host;
    e.sealed = sealed || host.scheme == u"http";
    e.port = host.port ? host.port : e.sealed ? kUnencryptedPort : kDefaultPort;
    const QString bracketed = host.host.contains(u':') ? u'[' + host.host + u']' : host.host;
    e.url = QStringLiteral("%1://%2:%3%4")
                .arg(e.sealed ? u"http" : u"https", bracketed)
                .arg(e.port)
                .arg(host.path.isEmpty() ? QStringLiteral("/wsman") : host.path);
    e.shown = host.port ? bracketed + u':' + QString::number(host.port) : bracketed;
    return e;
}

Gathering gather(const ConnectRequest& request, const Endpoint& endpoint,
                 std::span<const schema::Class> classes, const Tuning& tuning) {
    Gathering out;
    engine::Engine engine(request, endpoint, tuning, out);
    engine.run(classes);
    return out;
}

Gathering callRegistry(const ConnectRequest& request, const Endpoint& endpoint,
                       std::span<const RegistryCall> calls, const Tuning& tuning) {
    Gathering out;
    engine::Engine engine(request, endpoint, tuning, out);
    engine.call(calls);
    return out;
}

}  // namespace qelto::wmi::wsman
