// The SSH source: reach the host, check its key, log in, gather in one exec.

#include "source.h"

#include "internal.h"

#include "wmi/error.h"

#include <algorithm>

namespace qelto::wmi::ssh {

namespace {

class SshSource : public Source {
  public:
    QString name() const override { return QStringLiteral("ssh"); }
    bool takes(const HostText& host) const override { return host.scheme == u"ssh"; }
    bool probesBareHosts() const override { return true; }
    int preference() const override { return 0; }

    ProbeResult probe(const HostText& host, Clock::time_point deadline) override {
        Target target;
        try {
            // Only for the port and HostName of ~/.ssh/config.
            newSession(host, host.user, &target);
        } catch (const Error&) {
            return ProbeResult::Silent;
        }
        return probeServer(target, deadline);
    }

    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host) override {
        const Clock::time_point start = Clock::now();
        Clock::time_point deadline = start + request.timeout;
        Clock::time_point connectDeadline = std::min(deadline, start + request.connectTimeout);
        const QString user =
            request.road == Road::Credentials && !request.user.isEmpty() ? request.user : host.user;
        Target target;
        OwnedSocket socket;  // outlives the session
        const Session session = newSession(host, user, &target);
        ssh_session s = session.get();

        socket.fd = connectSocket(target, connectDeadline, request.connectTimeout);
        ssh_options_set(s, SSH_OPTIONS_FD, &socket.fd);
        limitTo(s, connectDeadline);
        if (ssh_connect(s) != SSH_OK) {
            // A service that never finishes the handshake counts as a host that does not answer.
            if (ranOut(connectDeadline))
                throw Error(code::RpcUnavailable,
                            QStringLiteral("连接 %1 超时：%2内没有完成 SSH 握手。")
                                .arg(target.shown, secondsText(request.connectTimeout)));
            throw Error(code::RpcUnavailable,
                        QStringLiteral("无法与 %1 建立 SSH 连接：端口 %2 上的服务没有以 SSH "
                                       "协议应答，或者双方没有共同支持的加密方式。")
                            .arg(target.shown)
                            .arg(target.port));
        }
        // The time the user spends deciding about a new key does not count.
        const Clock::duration asked = checkHostKey(s, target, request);
        connectDeadline += asked;
        deadline += asked;
        authenticate(s, target, request, connectDeadline);
        return gatherMachine(s, target, deadline, request.timeout);
    }
};

}  // namespace

std::unique_ptr<Source> newSource() {
    return std::make_unique<SshSource>();
}

}  // namespace qelto::wmi::ssh

void qelto_register_ssh_source(qelto::wmi::SourceRegistry& registry) {
    registry.add(qelto::wmi::ssh::newSource());
}
