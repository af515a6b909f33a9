// How the SSH source connects: take the socket that reached the host, check its key, log in,
// gather in one exec.

#include "source.h"

#include "common/messages.h"

#include "internal.h"

#include "wmi/error.h"
#include "wmi/store.h"

#include <fcntl.h>

#include <algorithm>

namespace qelto::wmi::ssh {

namespace {

class SshDialer : public connect::Dialer {
  public:
    // The library's reading of ~/.ssh/config, for a configuration that only it can read.
    std::vector<connect::Candidate> candidates(const HostText& host) override {
        connect::Candidate c(Server::Ssh, QStringLiteral("SSH"), host.port ? host.port : 22);
        c.speaksFirst = true;
        try {
            Target target;
            newSession(host, host.user, &target);
            c.port = target.port;
            if (target.hostName != host.host) c.name = target.hostName;
        } catch (const Error&) {
            // The configuration's own error comes again when connecting.
        }
        return {c};
    }

    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host,
                                     connect::Reached* reached) override {
        const QString user =
            request.road == Road::Credentials && !request.user.isEmpty() ? request.user : host.user;
        Target target;
        OwnedSocket socket;  // outlives the session
        const Session session = newSession(host, user, &target);
        ssh_session s = session.get();
        if (!reached) throw Error(code::Failed, common::message::cannotConnect(target.shown));
        // From the moment the host was reached: the key exchange within the connect time, the
        // login and the scan within the scan time.
        const Clock::time_point start = reached->winner.reached;
        Clock::time_point deadline = start + request.timeout;
        Clock::time_point handshakeBy = std::min(deadline, start + request.connectTimeout);
        socket.fd = reached->winner.socket.release();
        // libssh reads and writes the socket after polling it; it expects a blocking one.
        fcntl(socket.fd, F_SETFL, fcntl(socket.fd, F_GETFL) & ~O_NONBLOCK);
        ssh_options_set(s, SSH_OPTIONS_FD, &socket.fd);
        limitTo(s, handshakeBy);
        if (ssh_connect(s) != SSH_OK) {
            // A service that never finishes the handshake counts as a host that does not answer.
            if (ranOut(handshakeBy))
                throw Error(
                    code::RpcUnavailable,
                    QStringLiteral("连接 %1 超时：%2内没有完成 SSH 握手。")
                        .arg(target.shown, common::message::seconds(request.connectTimeout)));
            throw Error(code::RpcUnavailable,
                        QStringLiteral("无法与 %1 建立 SSH 连接：端口 %2 上的服务没有以 SSH "
                                       "协议应答，或者双方没有共同支持的加密方式。")
                            .arg(target.shown)
                            .arg(target.port));
        }
        // The time the user spends deciding about a new key does not count.
        const Clock::duration asked = checkHostKey(s, target, request);
        deadline += asked;
        authenticate(s, target, request, deadline);
        if (request.loginOnly)
            return std::make_unique<StoreService>(std::make_shared<InstanceStore>());
        return gatherMachine(s, target, deadline, request.timeout, request.answers);
    }
};

}  // namespace

std::unique_ptr<connect::Dialer> newDialer() {
    return std::make_unique<SshDialer>();
}

}  // namespace qelto::wmi::ssh
