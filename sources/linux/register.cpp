// This machine as a source: its own names, read from procfs, sysfs and /etc.

#include "connector.h"

#include "connect/source.h"

namespace qelto::wmi::lnx {

namespace {

class LocalDialer : public connect::Dialer {
  public:
    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText&,
                                     connect::Reached*) override {
        return LocalConnector().connect(request);
    }
};

// A name of this machine without a port; "ssh://localhost" still goes over SSH.
bool takesHost(const HostText& host) {
    return host.isBare() && host.port == 0 && isThisMachine(host.host);
}

}  // namespace

}  // namespace qelto::wmi::lnx

void qelto_register_linux_source(qelto::connect::SourceRegistry& registry) {
    using namespace qelto;
    registry.add({.name = QStringLiteral("local"),
                  .takes = wmi::lnx::takesHost,
                  .dialer = std::make_shared<wmi::lnx::LocalDialer>()});
}
