// The transfers of the engine: one libcurl easy handle per HTTP exchange, the sockets it opens
// (the first one the reach layer connected), and what a failed transfer means.

#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qelto::wmi::wsman::engine {

QString bytes(qsizetype n) {
    return QStringLiteral("%1 MiB").arg(n / (1024 * 1024));
}

QString xmlEscaped(const QString& text) {
    return text.toHtmlEscaped();
}

bool isClass(const Job& job, const char* name) {
    return job.out->cls && std::strcmp(job.out->cls->name, name) == 0;
}

size_t onBody(char* data, size_t size, size_t count, void* arg) {
    auto* t = static_cast<Transfer*>(arg);
    const qsizetype n = qsizetype(size * count);
    t->overBudget = t->share && !t->share->take(n);
    if (t->reply.size() + n > t->cap || *t->total + n > t->totalCap || t->overBudget) {
        t->tooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    t->reply.append(data, n);
    *t->total += n;
    return size * count;
}

size_t onHeader(char* data, size_t size, size_t count, void* arg) {
    auto* t = static_cast<Transfer*>(arg);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    if (line.startsWith("HTTP/")) {
        ++*t->roundTrips;  // a new response: an authentication leg or the answer
        t->offers.clear();
        t->tokens.clear();
        t->contentType.clear();
    } else if (line.size() > 17 &&
               line.first(17).compare("WWW-Authenticate:", Qt::CaseInsensitive) == 0) {
        const QByteArray value = line.mid(17).trimmed();
        const qsizetype space = value.indexOf(' ');
        const QByteArray scheme = value.left(space < 0 ? value.size() : space);
        t->offers << QString::fromLatin1(scheme);
        if (space > 0 && scheme.compare("Negotiate", Qt::CaseInsensitive) == 0)
            t->tokens << value.mid(space + 1).trimmed();
    } else if (line.size() > 13 &&
               line.first(13).compare("Content-Type:", Qt::CaseInsensitive) == 0) {
        t->contentType = line.mid(13).trimmed();
    }
    return size * count;
}

std::unique_ptr<Transfer> Engine::newTransfer(Job& job, Kind kind, QByteArray body) {
    auto t = std::make_unique<Transfer>();
    t->job = &job;
    t->kind = kind;
    t->body = std::move(body);
    t->cap = tuning_.replyCap;
    t->total = &received_;
    t->totalCap = tuning_.totalCap;
    t->share = &share_;
    t->roundTrips = &out_.roundTrips;
    return t;
}

void Engine::start(std::unique_ptr<Transfer> t, Lane* lane, const QByteArray& contentType,
                   const QByteArray& authorization) {
    CURL* e = curl_easy_init();
    t->easy = e;
    const QByteArray url = endpoint_.url.toUtf8();
    curl_easy_setopt(e, CURLOPT_URL, url.constData());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, lane ? "http" : "https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorText);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->body.constData());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(t->body.size()));
    if (!contentType.isEmpty())
        t->headers =
            curl_slist_append(t->headers, QByteArray("Content-Type: " + contentType).constData());
    if (!authorization.isEmpty())
        t->headers = curl_slist_append(t->headers,
                                       QByteArray("Authorization: " + authorization).constData());
    t->headers = curl_slist_append(t->headers, "Expect:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "qelto");
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
    // Sockets: the one the reach layer connected first, then our own, so that waiting can
    // poll them all.
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, openSocket);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(e, CURLOPT_SOCKOPTFUNCTION, socketOptions);
    curl_easy_setopt(e, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, closeSocket);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, this);
    if (resolve_) curl_easy_setopt(e, CURLOPT_RESOLVE, resolve_);
    secure(e, lane);
    const Clock::time_point connectBy =
        login_ ? connectDeadline_ : std::min(deadline_, Clock::now() + request_.connectTimeout);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(left(connectBy).count()));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, long(left(deadline_).count()));
    t->lane = lane;
    if (lane) lane->busy = t.get();
    curl_multi_add_handle(lane ? lane->multi : multi_, e);
    active_.push_back(std::move(t));
    out_.mostAtOnce = std::max(out_.mostAtOnce, int(active_.size()));
}

void Engine::secure(CURL* e, Lane* lane) {
    // Certificates: the system's, the request's CA file, the pin.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, tls_.pin.isEmpty() ? 2L : 0L);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, sslContext);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &tls_);
    // The system's CAs come from the bundle alone: then libcurl reads it once per gathering
    // and shares it between the connections, instead of parsing it for every handshake.
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    // Logging in: the scheme that worked for the first request is used at once after it.
    // Over HTTP the login is ours (Negotiate, then sealed messages): libcurl sends nothing.
    if (!lane) {
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, long(auth_));
        if (request_.road == Road::Credentials) {
            curl_easy_setopt(e, CURLOPT_USERNAME, user_.constData());
            curl_easy_setopt(e, CURLOPT_PASSWORD, password_.utf8());
        } else {
            curl_easy_setopt(e, CURLOPT_USERPWD, ":");
        }
    }
}

curl_socket_t Engine::openSocket(void* data, curlsocktype, curl_sockaddr* address) {
    auto* self = static_cast<Engine*>(data);
    if (self->handed_ >= 0) {
        const int fd = self->handed_;
        self->handed_ = -1;
        self->connectedAlready_ = fd;
        self->sockets_[fd] = true;
        return fd;
    }
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0) return CURL_SOCKET_BAD;
    self->sockets_[fd] = false;
    return fd;
}

int Engine::socketOptions(void* data, curl_socket_t fd, curlsocktype) {
    auto* self = static_cast<Engine*>(data);
    if (fd != self->connectedAlready_) return CURL_SOCKOPT_OK;
    self->connectedAlready_ = -1;
    return CURL_SOCKOPT_ALREADY_CONNECTED;
}

int Engine::closeSocket(void* data, curl_socket_t fd) {
    static_cast<Engine*>(data)->sockets_.erase(fd);
    return ::close(fd);
}

void Engine::takeOver(reach::Winner& reached) {
    handed_ = reached.socket.release();
    reach::Address literal;
    if (reach::parseLiteral(endpoint_.hostName, &literal)) return;
    const QString address = reached.address.family == AF_INET6
                                ? u'[' + reached.address.text() + u']'
                                : reached.address.text();
    resolve_ = curl_slist_append(nullptr, QStringLiteral("%1:%2:%3")
                                              .arg(endpoint_.hostName)
                                              .arg(endpoint_.port)
                                              .arg(address)
                                              .toUtf8()
                                              .constData());
}

Error Engine::transportError(const Transfer& t, CURLcode result) const {
    const QString& shown = endpoint_.shown;
    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return Error(code::HostNotFound,
                         common::message::hostNameUnresolvable(endpoint_.hostName));
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
            return connectError(t, result);
        case CURLE_PEER_FAILED_VERIFICATION:
            return certificateError();
        case CURLE_SSL_CACERT_BADFILE:
            return Error(code::Failed,
                         QStringLiteral("无法读取 CA 证书文件“%1”中的证书。").arg(request_.caFile));
        case CURLE_SSL_CONNECT_ERROR:
            if (tls_.pinMismatch || (!tls_.fingerprint.isEmpty() && tls_.verifyError != 0))
                return certificateError();
            return Error(code::Failed,
                         QStringLiteral("无法与 %1 建立 TLS 连接（%2）：端口 %3 上可能不是 "
                                        "HTTPS 监听器，或者双方没有共同支持的协议版本和加密方式。")
                             .arg(shown, curlText(t, result))
                             .arg(endpoint_.port));
        case CURLE_WRITE_ERROR:
            if (std::optional<Error> e = sizeError(t)) return *e;
            break;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
            return Error(code::Failed, QStringLiteral("与 %1 的连接在传送数据时中断。").arg(shown));
        default:
            break;
    }
    return Error(code::Failed,
                 QStringLiteral("与 %1 通信失败：%2。").arg(shown, curlText(t, result)));
}

Error Engine::connectError(const Transfer& t, CURLcode result) const {
    const QString& shown = endpoint_.shown;
    if (result == CURLE_OPERATION_TIMEDOUT) {
        curl_off_t connected = 0;
        curl_easy_getinfo(t.easy, CURLINFO_APPCONNECT_TIME_T, &connected);
        if (connected == 0)
            return Error(code::RpcUnavailable,
                         common::message::cannotConnect(
                             shown, common::message::seconds(request_.connectTimeout) +
                                        QStringLiteral("内没有应答")));
        return Error(code::Timeout, common::message::scanTimedOut(shown, request_.timeout));
    }
    long osErrno = 0;
    curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osErrno);
    if (osErrno == ECONNREFUSED)
        return Error(code::RpcUnavailable, QStringLiteral("无法连接 %1：连接被拒绝（端口 %2 上没有 "
                                                          "WS-Management 服务）。")
                                               .arg(shown)
                                               .arg(endpoint_.port));
    if (osErrno == EHOSTUNREACH || osErrno == ENETUNREACH)
        return Error(code::RpcUnavailable, common::message::unreachable(shown));
    return Error(code::RpcUnavailable, common::message::cannotConnect(shown, curlText(t, result)));
}

std::optional<Error> Engine::sizeError(const Transfer& t) const {
    const QString& shown = endpoint_.shown;
    if (t.overBudget)
        return Error(code::Failed, QStringLiteral("同时检测的主机的回答合计超过了 %1 MiB 的上限，"
                                                  "%2 的检测已中止；可以减少 --jobs 再试。")
                                       .arg(share_.mebibytes())
                                       .arg(shown));
    if (!t.tooLarge) return std::nullopt;
    if (received_ + t.reply.size() >= tuning_.totalCap - tuning_.replyCap)
        return Error(code::Failed, QStringLiteral("%1 返回的数据超过了 %2 的上限，已中止。")
                                       .arg(shown, bytes(tuning_.totalCap)));
    return Error(code::Failed, QStringLiteral("%1 的一个回复超过了 %2 的上限，已中止。")
                                   .arg(shown, bytes(tuning_.replyCap)));
}

QString Engine::curlText(const Transfer& t, CURLcode result) {
    return QString::fromUtf8(t.errorText[0] ? t.errorText : curl_easy_strerror(result));
}

Error Engine::certificateError() const {
    const QString& shown = endpoint_.shown;
    if (tls_.pinMismatch)
        return Error(code::CertificateRefused,
                     QStringLiteral("主机 %1 的证书与指定的指纹不符：指定的是 %2，主机出示的是 "
                                    "SHA-256 %3。连接已拒绝。")
                         .arg(shown, request_.pinSha256, tls_.fingerprint));
    return Error(
        code::CertificateRefused,
        QStringLiteral("主机 %1 的证书未通过验证：%2。证书的 SHA-256 指纹是 %3。连接已"
                       "拒绝；确认这正是该主机的证书后，可以信任签发它的 CA 证书"
                       "（--ca-file）或固定这个指纹（--pin-sha256）。")
            .arg(shown, verifyReason(tls_.verifyError, endpoint_.hostName),
                 tls_.fingerprint.isEmpty() ? QStringLiteral("（未知）") : tls_.fingerprint));
}

}  // namespace qelto::wmi::wsman::engine
