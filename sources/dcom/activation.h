// The two connections of a DCOM session, opened for the call marshalling: the activator's on
// port 135 (IRemoteSCMActivator, where RemoteCreateInstance is opnum 4) and the object
// exporter's on the port its bindings name. Their failures say which of the two did not answer,
// and a host whose RPC server has no DCOM ends as "RPC but no WMI".
#pragma once

#include "pdu.h"
#include "rpc.h"
#include "security.h"

#include "reach/deadline.h"

#include <QString>

#include <functional>
#include <memory>

namespace qelto::dcom {

// IRemoteSCMActivator 000001A0-0000-0000-C000-000000000046 v0.0 (MS-DCOM 3.1.2.5.2.3).
extern const SyntaxId RemoteScmActivator;
inline constexpr std::uint16_t RemoteCreateInstanceOpnum = 4;
inline constexpr std::uint16_t EndpointMapperPort = 135;

// A fresh security context for each connection (each binds its own).
using SecurityFactory = std::function<std::unique_ptr<Security>()>;

// A TCP connection to `address`:`port` (a numeric address) as an RPC connection, not yet bound.
std::unique_ptr<RpcConnection> openConnection(const QString& address, std::uint16_t port,
                                              reach::Deadline deadline, RpcOptions options = {});

// A connection to `address`:135 bound to IRemoteSCMActivator (presentation context 0) at
// `level`. Throws wmi::Error: RpcUnavailable when nothing answers on 135, NotSupported when the
// RPC server there refuses the activator (no DCOM, so no WMI), AccessDenied for credentials.
std::unique_ptr<RpcConnection> openActivator(const QString& address,
                                             const SecurityFactory& security, AuthLevel level,
                                             reach::Deadline deadline, RpcOptions options = {});

// Binds `rpc`, an unbound connection to the activator at `address` (the socket the reach layer
// won), to IRemoteSCMActivator as openActivator() does, with the same failures.
void bindActivator(RpcConnection& rpc, const QString& address, const SecurityFactory& security,
                   AuthLevel level, reach::Deadline deadline);

// A connection to the object exporter at `address`:`port` (from the activation's bindings) bound
// to `iface`. When the port does not answer, RpcUnavailable says that 135 did (a firewall that
// lets the endpoint mapper through but not the dynamic ports), not that the host is off.
std::unique_ptr<RpcConnection> openObjectExporter(const QString& address, std::uint16_t port,
                                                  const SyntaxId& iface,
                                                  const SecurityFactory& security, AuthLevel level,
                                                  reach::Deadline deadline,
                                                  RpcOptions options = {});

}  // namespace qelto::dcom
