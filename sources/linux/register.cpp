// This machine as a source: its own names, read from procfs, sysfs and /etc.

#include "connector.h"

#include "wmi/sources.h"

namespace qelto::wmi::lnx {

namespace {

class LocalSource : public Source {
  public:
    QString name() const override { return QStringLiteral("local"); }
    // A name of this machine without a port; "ssh://localhost" still goes over SSH.
    bool takes(const HostText& host) const override {
        return host.isBare() && host.port == 0 && isThisMachine(host.host);
    }
    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText&,
                                     reach::Winner*) override {
        return LocalConnector().connect(request);
    }
};

}  // namespace

}  // namespace qelto::wmi::lnx

void qelto_register_linux_source(qelto::wmi::SourceRegistry& registry) {
    registry.add(std::make_unique<qelto::wmi::lnx::LocalSource>());
}
