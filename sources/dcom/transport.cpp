#include "transport.h"

#include "wmi/error.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qelto::dcom {

namespace {

// HRESULT_FROM_WIN32(RPC_S_CALL_FAILED): the server went away in the middle of a call.
constexpr std::uint32_t CallFailed = 0x800706BE;

[[noreturn]] void timedOut(const QString& peer) {
    throw wmi::Error(wmi::code::Timeout, QStringLiteral("等待 %1 的 RPC 应答超时。").arg(peer));
}

void makeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

SocketTransport::SocketTransport(reach::Socket socket, QString peer)
    : socket_(std::move(socket)), peer_(std::move(peer)) {
    makeNonBlocking(socket_.fd());
}

void SocketTransport::wait(short events, reach::Deadline deadline) {
    for (;;) {
        if (deadline.passed()) timedOut(peer_);
        pollfd p{socket_.fd(), events, 0};
        const int n = ::poll(&p, 1, deadline.pollTimeout());
        if (n > 0) return;
        if (n < 0 && errno != EINTR)
            throw wmi::Error(CallFailed,
                             QStringLiteral("与 %1 的连接出错：%2")
                                 .arg(peer_, QString::fromLocal8Bit(std::strerror(errno))));
    }
}

void SocketTransport::send(QByteArrayView bytes, reach::Deadline deadline) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::send(socket_.fd(), bytes.data() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            wait(POLLOUT, deadline);
        } else {
            throw wmi::Error(CallFailed,
                             QStringLiteral("%1 关闭了 RPC 连接（发送时：%2）。")
                                 .arg(peer_, QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
}

void SocketTransport::receive(char* into, qsizetype n, reach::Deadline deadline) {
    qsizetype done = 0;
    while (done < n) {
        const ssize_t got = ::recv(socket_.fd(), into + done, size_t(n - done), 0);
        if (got > 0) {
            done += got;
        } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            wait(POLLIN, deadline);
        } else {
            throw wmi::Error(CallFailed,
                             got == 0
                                 ? QStringLiteral("%1 关闭了 RPC 连接。").arg(peer_)
                                 : QStringLiteral("与 %1 的 RPC 连接出错：%2")
                                       .arg(peer_, QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
}

reach::Socket connectTcp(const QString& address, std::uint16_t port, reach::Deadline deadline) {
    sockaddr_storage sa{};
    socklen_t length = 0;
    const QByteArray a = address.toLatin1();
    auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
    if (::inet_pton(AF_INET, a.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET, v4->sin_port = htons(port), length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, a.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6, v6->sin6_port = htons(port), length = sizeof *v6;
    } else {
        throw wmi::Error(wmi::code::HostNotFound,
                         QStringLiteral("“%1”不是 IP 地址。").arg(address));
    }
    reach::Socket s(::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const QString peer = QStringLiteral("%1 端口 %2").arg(address).arg(port);
    int error = 0;
    if (s.fd() < 0) {
        error = errno;
    } else if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&sa), length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{s.fd(), POLLOUT, 0};
            int n;
            while ((n = ::poll(&p, 1, deadline.pollTimeout())) < 0 && errno == EINTR) {
            }
            if (n == 0) timedOut(peer);
            socklen_t el = sizeof error;
            ::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &el);
        }
    }
    if (error != 0)
        throw wmi::Error(wmi::code::RpcUnavailable,
                         QStringLiteral("无法连接 %1：%2（RPC 服务器不可用，0x800706BA）。")
                             .arg(peer, QString::fromLocal8Bit(std::strerror(error))));
    return s;
}

}  // namespace qelto::dcom
