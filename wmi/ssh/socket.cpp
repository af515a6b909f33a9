// Reaching the host: the name resolved and the TCP connection made by hand, within the time
// limit, so that a name that does not resolve, a refused port and silence are told apart.

#include "internal.h"

#include "wmi/error.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace qelto::wmi::ssh {

namespace {

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = 0;
};

// The outcome of resolving a name: the addresses, or the resolver's error.
struct Resolution {
    int error = 0;  // EAI_*; 0 with addresses
    std::vector<Address> addresses;
    bool timedOut = false;
};

Resolution lookUp(const QByteArray& name, int port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    Resolution r;
    r.error = getaddrinfo(name.constData(), QByteArray::number(port).constData(), &hints, &list);
    if (r.error != 0) return r;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address address;
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = a->ai_addrlen;
        address.family = a->ai_family;
        r.addresses.push_back(address);
    }
    freeaddrinfo(list);
    if (r.addresses.empty()) r.error = EAI_NONAME;
    return r;
}

// getaddrinfo has no time limit of its own; a name is looked up on a thread of its own that is
// left to finish by itself when the deadline passes first.
Resolution resolve(const QString& host, int port, Clock::time_point deadline) {
    const QByteArray name = host.toUtf8();
    Resolution numeric = lookUp(name, port, AI_NUMERICHOST | AI_NUMERICSERV);
    if (numeric.error == 0) return numeric;

    struct Pending {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        Resolution result;
    };
    auto pending = std::make_shared<Pending>();
    std::thread([pending, name, port] {
        Resolution r = lookUp(name, port, AI_NUMERICSERV);
        const std::lock_guard lock(pending->mutex);
        pending->result = std::move(r);
        pending->finished = true;
        pending->done.notify_all();
    }).detach();
    std::unique_lock lock(pending->mutex);
    if (!pending->done.wait_until(lock, deadline, [&] { return pending->finished; })) {
        Resolution r;
        r.timedOut = true;
        return r;
    }
    return std::move(pending->result);
}

bool noSuchName(int error) {
    return error == EAI_NONAME || error == EAI_NODATA || error == EAI_FAIL ||
           error == EAI_ADDRFAMILY;
}

// Connects to one address before `until`: the socket, or -1 with errno-like `error` (ETIMEDOUT
// when the time ran out).
int connectOne(const Address& address, Clock::time_point until, int* error) {
    const int fd = socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, int(remaining(until).count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            *error = ready == 0 ? ETIMEDOUT : errno;
            ::close(fd);
            return -1;
        }
        int soError = 0;
        socklen_t length = sizeof soError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
        if (soError != 0) {
            *error = soError;
            ::close(fd);
            return -1;
        }
        return fd;
    }
}

// The worst news wins the message: a refusal says most, then silence, then no route.
int rank(int error) {
    switch (error) {
        case ECONNREFUSED:
            return 4;
        case ETIMEDOUT:
            return 3;
        case EHOSTUNREACH:
        case ENETUNREACH:
            return 2;
        default:
            return 1;
    }
}

[[noreturn]] void unreachable(const Target& target, int error, Milliseconds limit) {
    QString why;
    switch (error) {
        case ECONNREFUSED:
            why = QStringLiteral("连接被拒绝（端口 %1 上没有 SSH 服务）").arg(target.port);
            break;
        case ETIMEDOUT:
            why = QStringLiteral("%1内没有应答").arg(secondsText(limit));
            break;
        case EHOSTUNREACH:
        case ENETUNREACH:
            why = QStringLiteral("网络或主机不可达");
            break;
        default:
            why = QStringLiteral("网络错误 %1").arg(error);
            break;
    }
    throw Error(code::RpcUnavailable, QStringLiteral("无法连接 %1：%2。").arg(target.shown, why));
}

// Resolves the target and connects to its addresses in turn, each with an equal share of the
// time left (the last with all of it).
int connectTarget(const Target& target, Clock::time_point deadline, int* lastError) {
    const Resolution r = resolve(target.hostName, target.port, deadline);
    if (r.timedOut) {
        *lastError = ETIMEDOUT;
        return -1;
    }
    if (r.error != 0) {
        if (noSuchName(r.error))
            throw Error(code::HostNotFound,
                        QStringLiteral("找不到主机“%1”：这个名字无法解析。").arg(target.hostName));
        throw Error(
            code::RpcUnavailable,
            QStringLiteral("无法解析主机名“%1”：名字服务暂时不可用。").arg(target.hostName));
    }
    *lastError = 0;
    for (std::size_t i = 0; i < r.addresses.size(); ++i) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) break;
        const auto share = left / static_cast<long>(r.addresses.size() - i);
        int error = 0;
        const int fd = connectOne(r.addresses[i], Clock::now() + share, &error);
        if (fd >= 0) return fd;
        if (rank(error) >= rank(*lastError)) *lastError = error;
    }
    if (*lastError == 0) *lastError = ETIMEDOUT;
    return -1;
}

}  // namespace

OwnedSocket::~OwnedSocket() {
    if (fd >= 0) ::close(fd);
}

int connectSocket(const Target& target, Clock::time_point deadline, Milliseconds limit) {
    int error = 0;
    const int fd = connectTarget(target, deadline, &error);
    if (fd < 0) unreachable(target, error, limit);
    // libssh reads and writes the socket after polling it; it expects a blocking one.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

ProbeResult probeServer(const Target& target, Clock::time_point deadline) {
    int error = 0;
    int fd = -1;
    try {
        fd = connectTarget(target, deadline, &error);
    } catch (const Error& e) {
        return e.number() == code::HostNotFound ? ProbeResult::NoSuchName : ProbeResult::Silent;
    }
    if (fd < 0) return ProbeResult::Silent;
    // The server may send other lines before its version line (RFC 4253, 4.2).
    QByteArray seen;
    ProbeResult result = ProbeResult::Silent;
    while (seen.size() < 8192) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, passed(deadline) ? 0 : int(remaining(deadline).count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[1024];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, n);
        if (seen.startsWith("SSH-") || seen.contains("\nSSH-")) {
            result = ProbeResult::Answers;
            break;
        }
    }
    ::close(fd);
    return result;
}

}  // namespace qelto::wmi::ssh
