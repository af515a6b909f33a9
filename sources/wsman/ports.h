#pragma once

#include "wmi/hosttext.h"

#include "connect/source.h"

#include <vector>

namespace qelto::wmi::wsman {

inline constexpr int kDefaultPort = 5986;      // the HTTPS listener
inline constexpr int kUnencryptedPort = 5985;  // the HTTP listener (messages sealed)

// The two listeners a host may serve: the kind of this source's candidates.
enum class Listener { Https, Http };

inline bool takesHost(const HostText& host) {
    return host.scheme == u"https" || host.scheme == u"http";
}

// The ports a host text is served on. An https:// or http:// text: its port. A bare host: the
// HTTPS listener, else the HTTP one; a bare host with another port than theirs is left to the
// other sources.
inline std::vector<connect::Candidate> portsOf(const HostText& host) {
    const auto https = [](int port) {
        return connect::Candidate(Listener::Https, QStringLiteral("HTTPS"), port);
    };
    const auto http = [](int port) {
        return connect::Candidate(Listener::Http, QStringLiteral("HTTP"), port);
    };
    if (host.scheme == u"https") return {https(host.port ? host.port : kDefaultPort)};
    if (host.scheme == u"http") return {http(host.port ? host.port : kUnencryptedPort)};
    if (host.port == kDefaultPort) return {https(kDefaultPort)};
    if (host.port == kUnencryptedPort) return {http(kUnencryptedPort)};
    if (host.port != 0) return {};
    return {https(kDefaultPort), http(kUnencryptedPort)};
}

}  // namespace qelto::wmi::wsman
