#pragma once

#include "connector.h"
#include "error.h"
#include "hosttext.h"
#include "store.h"

#include "reach/race.h"

#include <memory>
#include <vector>

namespace qelto::wmi {

// One kind of source that answers connections: this machine, a Linux host over SSH, a Windows
// host over WS-Management. Each registers itself once (see registerSources) and says which host
// texts it takes and on which ports it may be served; the choosing policy lives in
// SourceConnector alone, and reaching the host in the reach layer.
class Source {
  public:
    virtual ~Source() = default;
    // A short name for messages and --verbose ("local", "ssh", "wsman").
    virtual QString name() const = 0;
    // True when this source takes the host text as it stands (its scheme, or this machine's
    // names). Bare host texts that no source takes outright are raced on every source that
    // serves bare hosts.
    virtual bool takes(const HostText& host) const = 0;
    // Whether a bare host may be served by this source, and its preference when several answer
    // (higher wins).
    virtual bool servesBareHosts() const { return false; }
    virtual int preference() const { return 0; }
    // The ports on which this source may serve `host`, most preferred first (rank within the
    // source). Empty for a source that needs no network, and for a bare host it cannot serve.
    virtual std::vector<reach::Candidate> candidates(const HostText& /*host*/) const { return {}; }
    // Connects; throws Error. `host` is the parsed form of request.host. For a source with
    // candidates, `reached` holds the connected socket of the candidate that won (taken over by
    // the source), and the request's scan time counts from the moment it was reached.
    virtual std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host,
                                             reach::Winner* reached) = 0;
    // Reaches the host on this source's own candidates within the connect time, then connects
    // as above (for callers that name one source).
    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host);
};

// The error that a race which found no winner leaves: the name unknown, the name service
// silent, or the host unreachable on every candidate (the description says how each fared).
Error unreachableError(const reach::Report& report, const QString& shown);

// The sources this build has, in the order they registered.
class SourceRegistry {
  public:
    void add(std::unique_ptr<Source> source) { sources_.push_back(std::move(source)); }
    const std::vector<std::unique_ptr<Source>>& sources() const { return sources_; }
    std::vector<std::unique_ptr<Source>> release() { return std::move(sources_); }

  private:
    std::vector<std::unique_ptr<Source>> sources_;
};

// Every source folder of the build registers here (the list is written by the build, one call
// per folder that has a source).
void registerSources(SourceRegistry& registry);

// The one place that decides which source answers a connection. With a snapshot every connection
// answers from it; otherwise the host text chooses: this machine's names the local source, a
// scheme its source, and a bare host is raced on the candidates of every source that serves bare
// hosts, the most preferred that answers within the connect time winning.
class SourceConnector : public Connector {
  public:
    explicit SourceConnector(std::shared_ptr<const InstanceStore> snapshot = nullptr);
    // For tests: choose among these sources instead of the registered ones.
    explicit SourceConnector(std::vector<std::unique_ptr<Source>> sources);
    ~SourceConnector() override;
    std::unique_ptr<Service> connect(const ConnectRequest& request) override;
    // The candidates a host text is raced on (empty for this machine and for a snapshot), ranked
    // across the sources. Throws Error for a malformed host text or one no source takes.
    std::vector<reach::Candidate> candidates(const HostText& host, const QString& text) const;
    // Reaches the host of `request` and reports on every candidate, without logging in.
    reach::Report reachOnly(const ConnectRequest& request) const;

  private:
    std::shared_ptr<const InstanceStore> snapshot_;
    SourceRegistry registry_;
};

}  // namespace qelto::wmi
