#pragma once

#include "wmi/connector.h"
#include "wmi/hosttext.h"
#include "wmi/service.h"

#include "reach/race.h"

#include <QString>

#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

// What a source is to the program: declared once, where its folder registers it (its
// register.cpp): its name, the host texts it takes, its preference for a bare host, the ports it
// may be served on, and how it connects. The connector (connector.h) chooses among them; a
// source's own code sees only its candidates and the socket of the one that won.
namespace qelto::connect {

// One way a source may be reached on a host. `kind` is the source's own enum naming its ways
// (WS-Management's HTTPS or HTTP listener); the candidate that wins a race comes back to the
// source as the very value it offered, kind included, so nothing is looked up again.
class Candidate {
  public:
    template <class Kind>
    requires std::is_enum_v<Kind> Candidate(Kind kind, QString what, int on)
        : label(std::move(what)), port(on), kind_(static_cast<int>(kind)) {}
    template <class Kind>
    requires std::is_enum_v<Kind> Kind kind()
    const { return static_cast<Kind>(kind_); }

    QString label;  // what listens there, for messages ("HTTPS", "HTTP", "SSH")
    int port = 0;
    QString name;  // the name or address to reach when it is not the host's own (SSH's HostName)
    // The server speaks first (SSH's version line): it has answered only when it has said
    // something.
    bool speaksFirst = false;

  private:
    int kind_ = 0;
};

// The candidate of a source that won the race for a host, with the connected socket (taken over
// by the source) and the moment the host was reached, from which the scan time counts.
struct Reached {
    Candidate candidate;
    reach::Winner winner;
};

// How a source connects. The part of a source that needs its libraries: linked into the program
// (this machine), or in a module loaded on first use (module.h).
class Dialer {
  public:
    virtual ~Dialer() = default;
    // Connects; throws wmi::Error. `host` is the parsed form of request.host. `reached` is null
    // for a source that offers no candidates (this machine).
    virtual std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& request,
                                                  const wmi::HostText& host, Reached* reached) = 0;
    // The candidates, for a source whose declaration cannot tell them without its libraries;
    // none unless the source says otherwise.
    virtual std::vector<Candidate> candidates(const wmi::HostText& /*host*/) { return {}; }
};

// A source as it registers. Everything but the dialer is answered without loading anything.
struct Source {
    QString name = {};  // "local", "ssh", "wsman": messages and --verbose
    // Takes the host text as it stands (its scheme, or this machine's names). Host texts without
    // a scheme that no source takes outright are raced on every source with a preference.
    std::function<bool(const wmi::HostText&)> takes = {};
    // Whether a host text without a scheme may be served by this source, and which is preferred
    // when several answer: 0 serves none; otherwise the higher wins (wsman 30, ssh 10).
    int bareHostPreference = 0;
    // The ports on which this source may serve a host, most preferred first. Empty for a source
    // that needs no network, and for a host it cannot serve. May be left empty.
    std::function<std::vector<Candidate>(const wmi::HostText&)> candidates = {};
    std::shared_ptr<Dialer> dialer = {};
};

// The sources this build has, in the order they registered.
class SourceRegistry {
  public:
    void add(Source source) { sources_.push_back(std::move(source)); }
    const std::vector<Source>& sources() const { return sources_; }
    std::vector<Source> release() { return std::move(sources_); }

  private:
    std::vector<Source> sources_;
};

// Every source folder of the build registers here (the list is written by the build, one call
// per folder that has a source: sources/CMakeLists.txt).
void registerSources(SourceRegistry& registry);

}  // namespace qelto::connect
