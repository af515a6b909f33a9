#include "activation.h"

#include "transport.h"

#include "wmi/error.h"

namespace qelto::dcom {

const SyntaxId RemoteScmActivator{QUuid(0x000001a0, 0, 0, 0xc0, 0, 0, 0, 0, 0, 0, 0x46), 0, 0};

std::unique_ptr<RpcConnection> openConnection(const QString& address, std::uint16_t port,
                                              reach::Deadline deadline, RpcOptions options) {
    return std::make_unique<RpcConnection>(
        std::make_unique<SocketTransport>(connectTcp(address, port, deadline), address), address,
        options);
}

std::unique_ptr<RpcConnection> openActivator(const QString& address,
                                             const SecurityFactory& security, AuthLevel level,
                                             reach::Deadline deadline, RpcOptions options) {
    auto rpc = openConnection(address, EndpointMapperPort, deadline, options);
    bindActivator(*rpc, address, security, level, deadline);
    return rpc;
}

void bindActivator(RpcConnection& rpc, const QString& address, const SecurityFactory& security,
                   AuthLevel level, reach::Deadline deadline) {
    try {
        rpc.bind(RemoteScmActivator, deadline, security ? security() : nullptr, level);
    } catch (const wmi::Error& e) {
        if (e.number() != wmi::code::NotSupported) throw;
        throw wmi::Error(wmi::code::NotSupported,
                         QStringLiteral("%1 的 RPC 服务在端口 135 上回答了，但不提供 DCOM "
                                        "激活，因而没有 WMI（0x8004100C）。%2")
                             .arg(address, e.description()));
    }
}

std::unique_ptr<RpcConnection> openObjectExporter(const QString& address, std::uint16_t port,
                                                  const SyntaxId& iface,
                                                  const SecurityFactory& security, AuthLevel level,
                                                  reach::Deadline deadline, RpcOptions options) {
    std::unique_ptr<RpcConnection> rpc;
    try {
        rpc = openConnection(address, port, deadline, options);
    } catch (const wmi::Error& e) {
        if (e.number() != wmi::code::RpcUnavailable && e.number() != wmi::code::Timeout) throw;
        throw wmi::Error(e.number(), QStringLiteral("%1 的 RPC 服务在端口 135 上回答了，但 WMI "
                                                    "的端口 %2 没有回答（可能被防火墙挡住）：%3")
                                         .arg(address)
                                         .arg(port)
                                         .arg(e.description()));
    }
    rpc->bind(iface, deadline, security ? security() : nullptr, level);
    return rpc;
}

}  // namespace qelto::dcom
