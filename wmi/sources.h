#pragma once

#include "connector.h"
#include "store.h"

#include <memory>

namespace qelto::wmi {

// The one place that decides which source answers a connection. With a snapshot every connection
// answers from it; otherwise a host is reached through the sources this build has. Sources of
// further kinds (this machine, Linux hosts over SSH, Windows hosts over WS-Management) plug in
// here, and neither the window nor qelto-cli changes for them.
class SourceConnector : public Connector {
  public:
    explicit SourceConnector(std::shared_ptr<const InstanceStore> snapshot = nullptr)
        : snapshot_(std::move(snapshot)) {}
    std::unique_ptr<Service> connect(const ConnectRequest& request) override;

  private:
    std::shared_ptr<const InstanceStore> snapshot_;
};

}  // namespace qelto::wmi
