#pragma once

#include "connector.h"
#include "hosttext.h"
#include "store.h"

#include <memory>
#include <vector>

namespace qelto::wmi {

// What a probe of a bare host found out.
enum class ProbeResult {
    Answers,     // something that speaks the source's protocol answered
    Silent,      // refused, timed out, no route: nothing answered
    NoSuchName,  // the name does not resolve
};

// One kind of source that answers connections: this machine, a Linux host over SSH, a Windows
// host over WS-Management. Each registers itself once (see registerSources) and says which host
// texts it takes; the choosing policy lives in SourceConnector alone.
class Source {
  public:
    virtual ~Source() = default;
    // A short name for messages and --verbose ("local", "ssh", "wsman").
    virtual QString name() const = 0;
    // True when this source takes the host text as it stands (its scheme, or this machine's
    // names). Bare host texts that no source takes outright are probed.
    virtual bool takes(const HostText& host) const = 0;
    // Whether a bare host is probed for this source, and its preference when several answer
    // (higher wins).
    virtual bool probesBareHosts() const { return false; }
    virtual int preference() const { return 0; }
    // Tries to reach a bare host before `deadline`. Called from a thread of its own, at the same
    // time as the other sources' probes.
    virtual ProbeResult probe(const HostText& /*host*/, Clock::time_point /*deadline*/) {
        return ProbeResult::Silent;
    }
    // Connects; throws Error. `host` is the parsed form of request.host.
    virtual std::unique_ptr<Service> connect(const ConnectRequest& request,
                                             const HostText& host) = 0;
};

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
// scheme its source, and a bare host is probed on every source that probes bare hosts at once,
// the most preferred of those that answered within the connect time winning.
class SourceConnector : public Connector {
  public:
    explicit SourceConnector(std::shared_ptr<const InstanceStore> snapshot = nullptr);
    // For tests: choose among these sources instead of the registered ones.
    explicit SourceConnector(std::vector<std::unique_ptr<Source>> sources);
    ~SourceConnector() override;
    std::unique_ptr<Service> connect(const ConnectRequest& request) override;

  private:
    std::shared_ptr<const InstanceStore> snapshot_;
    SourceRegistry registry_;
};

}  // namespace qelto::wmi
