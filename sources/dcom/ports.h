#pragma once

#include "wmi/hosttext.h"

#include "connect/source.h"

#include <vector>

namespace qelto::dcom {

inline constexpr int kActivatorPort = 135;  // the endpoint mapper, where activation is asked

// The one way a host is reached on this road: the activator. The object's own port comes from
// the activation's answer, on the address the activator was reached at.
enum class Way { Activator };

inline bool takesHost(const wmi::HostText& host) {
    return host.scheme == u"dcom";
}

// A dcom:// text: its port, else 135. A bare host: 135, when no other port was typed.
inline std::vector<connect::Candidate> portsOf(const wmi::HostText& host) {
    const auto activator = [](int port) {
        return connect::Candidate(Way::Activator, QStringLiteral("RPC"), port);
    };
    if (host.scheme == u"dcom") return {activator(host.port ? host.port : kActivatorPort)};
    if (!host.isBare() || (host.port != 0 && host.port != kActivatorPort)) return {};
    return {activator(kActivatorPort)};
}

}  // namespace qelto::dcom
