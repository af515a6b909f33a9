// The WS-Management source: the host texts it takes, the ports it is served on, and the
// connection, which gathers every class of the scan up front.

#include "source.h"

#include "client.h"
#include "internal.h"
#include "ports.h"

#include "wmi/error.h"
#include "wmi/store.h"

namespace qelto::wmi::wsman {

namespace {

class WsmanSource : public Source {
  public:
    QString name() const override { return QStringLiteral("wsman"); }
    bool takes(const HostText& host) const override { return takesHost(host); }
    bool servesBareHosts() const override { return true; }
    int preference() const override { return 1; }

    std::vector<reach::Candidate> candidates(const HostText& host) const override {
        return portsOf(host);
    }

    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host,
                                     reach::Winner* reached) override {
        bool sealed = host.scheme == u"http";
        HostText where = host;
        if (reached) {
            const reach::Candidate c = candidates(host).at(reached->candidate);
            sealed = c.label == u"HTTP";
            if (host.isBare()) where.port = c.port;
        }
        Endpoint endpoint = endpointOf(where, sealed);
        if (host.isBare()) endpoint.shown = host.authority();
        endpoint.reached = reached;
        if (request.loginOnly) {
            // The first class is asked alone and logs in; its answer is not kept.
            const Gathering g = gather(request, endpoint, std::span(schema::classes()).first(1));
            if (!g.classes.empty() && g.classes.front().error) throw *g.classes.front().error;
            return std::make_unique<StoreService>(std::make_shared<InstanceStore>());
        }
        return serviceFrom(gather(request, endpoint, schema::classes()));
    }
};

}  // namespace

std::unique_ptr<Source> newSource() {
    return std::make_unique<WsmanSource>();
}

}  // namespace qelto::wmi::wsman
