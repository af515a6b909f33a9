// The queues of the print scheduler, asked over its own protocol (IPP over HTTP) on the local
// socket its clients use: the same request as `lpstat -v`. No client library is loaded, and no
// network port is ever tried: without the socket there is no scheduler on this machine to ask.

#include "cups.h"

#include <QFile>

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace qelto::wmi::lnx {

namespace {

// How long the scheduler may take to accept and answer, and how much of an answer is read.
constexpr int kAnswerMs = 5000;
constexpr qsizetype kMaxAnswer = 16 * 1024 * 1024;

// IPP: the operation, and the tags this exchange uses.
constexpr char kGetPrinters[] = {'\x40', '\x02'};  // CUPS-Get-Printers
constexpr char kOperationGroup = 0x01, kEnd = 0x03, kPrinterGroup = 0x04;
constexpr char kKeyword = 0x44, kName = 0x42, kUri = 0x45, kCharset = 0x47, kLanguage = 0x48;

// The ServerName of a client configuration file, or an empty text.
QByteArray serverNameIn(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QByteArray found;
    for (const QByteArray& raw : f.read(64 * 1024).split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith("ServerName") && line.size() > 10 &&
            (line[10] == ' ' || line[10] == '\t'))
            found = line.mid(11).trimmed();
    }
    return found;
}

// The scheduler's socket as its clients find it: CUPS_SERVER, else the ServerName of the user's
// or the machine's client configuration, else the default socket. Empty when the server named
// there is not a socket but a host (that one is reached over the network, which this gatherer
// never does).
QByteArray socketPath() {
    QByteArray server = qgetenv("CUPS_SERVER");
    if (server.isEmpty() && !qgetenv("HOME").isEmpty())
        server =
            serverNameIn(QFile::decodeName(qgetenv("HOME")) + QStringLiteral("/.cups/client.conf"));
    if (server.isEmpty()) server = serverNameIn(QStringLiteral("/etc/cups/client.conf"));
    if (server.isEmpty()) return "/run/cups/cups.sock";
    return server.startsWith('/') ? server : QByteArray();
}

void put16(QByteArray& b, qsizetype v) {
    b.append(char((v >> 8) & 0xff)).append(char(v & 0xff));
}

void attribute(QByteArray& b, char tag, const QByteArray& name, const QByteArray& value) {
    b.append(tag);
    put16(b, name.size());
    b.append(name);
    put16(b, value.size());
    b.append(value);
}

QByteArray userName() {
    char buffer[4096];
    passwd pw{}, *found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found)
        return QByteArray(found->pw_name);
    return "anonymous";
}

// The HTTP request that carries CUPS-Get-Printers for the three attributes `lpstat -v` shows.
QByteArray request() {
    QByteArray ipp("\x02\x00", 2);  // IPP 2.0
    ipp.append(kGetPrinters, 2).append("\x00\x00\x00\x01", 4).append(kOperationGroup);
    attribute(ipp, kCharset, "attributes-charset", "utf-8");
    attribute(ipp, kLanguage, "attributes-natural-language", "en");
    attribute(ipp, kKeyword, "requested-attributes", "printer-name");
    attribute(ipp, kKeyword, {}, "printer-uri-supported");
    attribute(ipp, kKeyword, {}, "device-uri");
    attribute(ipp, kName, "requesting-user-name", userName());
    ipp.append(kEnd);
    return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/ipp\r\n"
           "Connection: close\r\nContent-Length: " +
           QByteArray::number(ipp.size()) + "\r\n\r\n" + ipp;
}

// The body of a complete HTTP answer of status 200, nullopt while more is to come. At the end
// of the stream (`closed`) an answer without a length ends there; an error status or a broken
// answer gives an empty body.
std::optional<QByteArray> bodyOf(const QByteArray& answer, bool closed) {
    const qsizetype headEnd = answer.indexOf("\r\n\r\n");
    if (headEnd < 0) return closed ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
    const QList<QByteArray> head = answer.left(headEnd).split('\n');
    const QList<QByteArray> status = head.front().simplified().split(' ');
    if (status.size() < 2 || !status[0].startsWith("HTTP/1.") || status[1] != "200")
        return QByteArray();
    qsizetype length = -1;
    bool chunked = false;
    for (const QByteArray& line : head.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0) continue;
        const QByteArray key = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed().toLower();
        if (key == "content-length") length = value.toLongLong();
        if (key == "transfer-encoding") chunked = value.contains("chunked");
    }
    const QByteArray rest = answer.mid(headEnd + 4);
    if (chunked) {
        QByteArray body;
        qsizetype at = 0;
        for (;;) {
            const qsizetype eol = rest.indexOf("\r\n", at);
            if (eol < 0) break;
            bool ok = false;
            const qsizetype size =
                rest.mid(at, eol - at).split(';').front().trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0) return QByteArray();
            if (size == 0) return body;
            if (rest.size() < eol + 2 + size + 2) break;
            body += rest.mid(eol + 2, size);
            at = eol + 2 + size + 2;
        }
        return closed ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
    }
    if (length >= 0) {
        if (rest.size() >= length) return rest.left(length);
        return closed ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
    }
    return closed ? std::optional<QByteArray>(rest) : std::nullopt;
}

// The queues of an IPP answer, one line each as `lpstat -v` prints them.
QByteArray queuesOf(const QByteArray& ipp) {
    const auto u16 = [&](qsizetype at) {
        return (int(uchar(ipp[at])) << 8) | int(uchar(ipp[at + 1]));
    };
    // Status 0 to 2: successful, with or without ignored or conflicting attributes.
    if (ipp.size() < 9 || u16(2) > 2) return {};
    QByteArray out;
    bool printer = false;
    std::optional<QByteArray> name, uri, device;
    const auto flush = [&] {
        const auto clean = [](const std::optional<QByteArray>& v) {
            return !v || (!v->contains('\n') && !v->contains('\0'));
        };
        if (name && clean(name) && clean(uri) && clean(device)) {
            // The scheduler leaves out the user and password of the device; "file:" is dropped
            // as lpstat drops it.
            QByteArray shown = device ? *device : uri ? *uri : QByteArray();
            if (shown.startsWith("file:")) shown = shown.mid(5);
            out.append("device for ").append(*name).append(": ").append(shown).append('\n');
        }
        name = uri = device = std::nullopt;
    };
    qsizetype at = 8;
    while (at < ipp.size()) {
        const char tag = ipp[at++];
        if (tag == kEnd) break;
        if (uchar(tag) < 0x10) {  // the start of a group: one group of attributes per queue
            flush();
            printer = tag == kPrinterGroup;
            continue;
        }
        if (at + 2 > ipp.size()) break;
        const int nameSize = u16(at);
        if (at + 2 + nameSize + 2 > ipp.size()) break;
        const QByteArray n = ipp.mid(at + 2, nameSize);
        const int valueSize = u16(at + 2 + nameSize);
        const qsizetype valueAt = at + 2 + nameSize + 2;
        if (valueAt + valueSize > ipp.size()) break;
        at = valueAt + valueSize;
        if (!printer || n.isEmpty()) continue;  // a further value of a list: the first counts
        const QByteArray value = ipp.mid(valueAt, valueSize);
        if (n == "printer-name" && tag == kName)
            name = value;
        else if (n == "printer-uri-supported" && tag == kUri)
            uri = value;
        else if (n == "device-uri" && tag == kUri)
            device = value;
    }
    flush();
    return out;
}

}  // namespace

QByteArray schedulerQueues() {
    const QByteArray path = socketPath();
    sockaddr_un address{};
    if (path.isEmpty() || path.size() >= qsizetype(sizeof address.sun_path)) return {};
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
    // Waits for the socket within the deadline; false when the time is up or it failed.
    const auto await = [&](short events) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, events, 0};
            const int n = ::poll(&p, 1, int(left.count()));
            if (n > 0) return true;
            if (n < 0 && errno != EINTR) return false;
        }
    };
    QByteArray answer;
    std::optional<QByteArray> body;
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
              errno == EINPROGRESS || errno == EAGAIN;
    const QByteArray out = request();
    for (qsizetype sent = 0; ok && sent < out.size();) {
        const ssize_t n =
            ::send(fd, out.constData() + sent, size_t(out.size() - sent), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != ENOTCONN)
            ok = false;
        else
            ok = await(POLLOUT);
    }
    char buffer[16384];
    while (ok && !body && answer.size() < kMaxAnswer) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            answer.append(buffer, n);
            body = bodyOf(answer, false);
        } else if (n == 0) {
            body = bodyOf(answer, true);
        } else if (errno != EAGAIN && errno != EINTR) {
            ok = false;
        } else {
            ok = await(POLLIN);
        }
    }
    ::close(fd);
    return body ? queuesOf(*body) : QByteArray();
}

}  // namespace qelto::wmi::lnx
