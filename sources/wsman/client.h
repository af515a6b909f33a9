#pragma once

#include "sources/wsman/ports.h"
#include "wmi/connector.h"
#include "wmi/error.h"
#include "wmi/hosttext.h"
#include "wmi/schema.h"
#include "wmi/store.h"

#include "reach/race.h"

#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

// The WS-Management client (libcurl): every class enumerated with "Select * From <class>", all of
// them at once over a few kept-alive connections; over HTTPS, or over HTTP with every message
// sealed by the connection's Negotiate login (Kerberos or NTLM). See docs/wsman-source.md.
namespace qelto::wmi::wsman {

struct Tuning {
    int connections = 8;                    // kept-alive connections to the host, one class on each
    int maxElements = 32000;                // items asked for in each Enumerate and Pull
    int maxEnvelopeSize = 512000;           // bytes; the listener caps it at its own limit
    qsizetype replyCap = 32 * 1024 * 1024;  // the largest single reply accepted
    qsizetype totalCap = 256 * 1024 * 1024;  // all replies of one gathering together
    // A login scheme (libcurl's CURLAUTH_BASIC or CURLAUTH_NTLM) a gathering before found the
    // listener accepts: sent at once, without a round trip to ask. 0: ask.
    unsigned long scheme = 0;
};

// What one class gave: its instances, and the error that ended its enumeration (a fault, a
// reply that could not be read). Instances received before an error are kept.
struct ClassOutcome {
    const schema::Class* cls = nullptr;
    std::vector<Instance> items;
    std::optional<Error> error;
    int requests = 0;  // HTTP requests it took, Release included
};

struct Gathering {
    std::vector<ClassOutcome> classes;  // in the order asked
    int roundTrips = 0;                 // HTTP exchanges, authentication legs included
    int mostAtOnce = 0;                 // the most exchanges under way at the same time
    unsigned long scheme = 0;           // the login scheme the listener accepted (HTTPS)
};

// Where the requests go: https://host:port/path, or http://host:port/path with every message
// sealed (`sealed`), and the host as messages name it.
struct Endpoint {
    QString url;
    QString shown;
    QString hostName;
    int port = kDefaultPort;
    bool sealed = false;
    // The connection the reach layer made, taken over by the first request (and the address it
    // went to, used for every further connection instead of resolving the name again); null:
    // libcurl connects by itself. The scan time counts from its `reached`.
    reach::Winner* reached = nullptr;
};
// An http:// host text, or `sealed`, means the HTTP listener (port 5985 by default).
Endpoint endpointOf(const HostText& host, bool sealed = false);

// Enumerates `classes` on the host. The first class is asked alone, within the connect time: it
// reaches the host, checks its certificate and logs in; after it, all the others at once.
// Throws Error for what fails the connection as a whole (unreachable, certificate, login, the
// whole time limit); a class whose enumeration fails only has its error in the outcome.
Gathering gather(const ConnectRequest& request, const Endpoint& endpoint,
                 std::span<const schema::Class> classes, const Tuning& tuning = {});

// A method of the registry provider (StdRegProv in root\default) with its input parameters, e.g.
// EnumKey with hDefKey and sSubKeyName.
struct RegistryCall {
    QString method;
    std::vector<std::pair<QString, QString>> parameters;
};
// Calls them all, on the connections as gather() uses them; each call's outcome holds its output
// parameters as the one item (ReturnValue among them), or the fault it met.
Gathering callRegistry(const ConnectRequest& request, const Endpoint& endpoint,
                       std::span<const RegistryCall> calls, const Tuning& tuning = {});

// The SHA-256 fingerprint of a DER certificate as "AB:CD:…".
QString fingerprintText(const QByteArray& sha256);

// A service answering from a gathering: WHERE clauses evaluated by the store, a failed class
// failing its queries with its own error.
std::unique_ptr<Service> serviceFrom(Gathering gathering);

}  // namespace qelto::wmi::wsman
