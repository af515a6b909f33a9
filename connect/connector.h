#pragma once

#include "source.h"

#include "wmi/connector.h"
#include "wmi/error.h"
#include "wmi/hosttext.h"
#include "wmi/store.h"

#include "reach/race.h"

#include <memory>
#include <vector>

// Connecting to a host: which source answers a host text, and reaching it. The query layer
// (wmi/) knows only wmi::Connector; the sources know only their declaration (source.h).
namespace qelto::connect {

// The error that a race which found no winner leaves: the name unknown, the name service
// silent, or the host unreachable on every candidate (the description says how each fared).
wmi::Error unreachableError(const reach::Report& report, const QString& shown);

// The one place that decides which source answers a connection. With a snapshot every connection
// answers from it; otherwise the host text chooses: this machine's names the local source, a
// scheme its source, and a bare host is raced on the candidates of every source that serves bare
// hosts, the most preferred that answers within the connect time winning.
class SourceConnector : public wmi::Connector {
  public:
    explicit SourceConnector(std::shared_ptr<const wmi::InstanceStore> snapshot = nullptr);
    // For tests: choose among these sources instead of the registered ones.
    explicit SourceConnector(std::vector<Source> sources);
    ~SourceConnector() override;
    std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& request) override;
    // The candidates a host text is raced on (empty for this machine and for a snapshot), ranked
    // across the sources. Throws wmi::Error for a host text no source takes.
    std::vector<reach::Candidate> candidates(const wmi::HostText& host, const QString& text) const;
    // Reaches the host of `request` and reports on every candidate, without logging in.
    reach::Report reachOnly(const wmi::ConnectRequest& request) const;

  private:
    struct Route;
    Route route(const wmi::HostText& host, const QString& text) const;

    std::shared_ptr<const wmi::InstanceStore> snapshot_;
    SourceRegistry registry_;
};

}  // namespace qelto::connect
