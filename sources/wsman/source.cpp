// How the WS-Management source connects: the listener that won, then every class of the scan
// gathered up front.

#include "source.h"

#include "client.h"
#include "internal.h"
#include "ports.h"
#include "software.h"

#include "wmi/error.h"
#include "wmi/store.h"

namespace qelto::wmi::wsman {

namespace {

class WsmanDialer : public connect::Dialer {
  public:
    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host,
                                     connect::Reached* reached) override {
        bool sealed = host.scheme == u"http";
        HostText where = host;
        if (reached) {
            sealed = reached->candidate.kind<Listener>() == Listener::Http;
            if (host.isBare()) where.port = reached->candidate.port;
        }
        Endpoint endpoint = endpointOf(where, sealed);
        if (host.isBare()) endpoint.shown = host.authority();
        endpoint.reached = reached ? &reached->winner : nullptr;
        if (request.loginOnly) {
            // The first class is asked alone and logs in; its answer is not kept.
            const Gathering g = gather(request, endpoint, std::span(schema::classes()).first(1));
            if (!g.classes.empty() && g.classes.front().error) throw *g.classes.front().error;
            return std::make_unique<StoreService>(std::make_shared<InstanceStore>());
        }
        Gathering gathered = gather(request, endpoint, gatheredClasses());
        if (!programsFrom(gathered)) registryPrograms(request, endpoint, gathered);
        return serviceFrom(std::move(gathered));
    }
};

}  // namespace

std::unique_ptr<connect::Dialer> newDialer() {
    return std::make_unique<WsmanDialer>();
}

}  // namespace qelto::wmi::wsman
