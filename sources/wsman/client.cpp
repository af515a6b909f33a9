// The WS-Management client: Enumerate / Pull / Release over HTTPS with libcurl's multi
// interface, one thread, a few kept-alive connections, one class on each at a time.

#include "client.h"

#include "common/messages.h"

#include "internal.h"

#include "sources/wsman/decode.h"
#include "sources/wsman/encrypted.h"
#include "sources/wsman/gss.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUuid>

#include <curl/curl.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qelto::wmi::wsman {

namespace {

using std::chrono::milliseconds;

constexpr char kEnumeration[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
constexpr char kWmiResources[] = "http://schemas.microsoft.com/wbem/wsman/1/wmi/";
const QString kTerminalServices = QStringLiteral("root/cimv2/TerminalServices");
const QString kCimv2 = QStringLiteral("root/cimv2");

QString bytes(qsizetype n) {
    return QStringLiteral("%1 MiB").arg(n / (1024 * 1024));
}

// The listener's certificate as the TLS handshake showed it, and what was wrong with it.
struct TlsState {
    QByteArray caFile;    // extra certificates to trust, empty for none
    QByteArray pin;       // 64 lower-case hex digits, empty for none
    QString fingerprint;  // of the last certificate seen
    int verifyError = 0;  // X509_V_ERR_*, 0 when the chain verified
    bool pinMismatch = false;
    bool caFileFailed = false;
};

int verifyChain(X509_STORE_CTX* store, void* arg) {
    auto* tls = static_cast<TlsState*>(arg);
    if (X509* leaf = X509_STORE_CTX_get0_cert(store)) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (X509_digest(leaf, EVP_sha256(), md, &n) == 1)
            tls->fingerprint =
                fingerprintText(QByteArray(reinterpret_cast<const char*>(md), int(n)));
    }
    const int ok = X509_verify_cert(store);
    tls->verifyError = ok > 0 ? 0 : X509_STORE_CTX_get_error(store);
    if (tls->pin.isEmpty()) return ok;
    // A pinned certificate is trusted for what it is, whoever signed it; any other is refused.
    QString seen = tls->fingerprint;
    seen.remove(u':');
    if (seen.toLatin1().toLower() == tls->pin) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    tls->pinMismatch = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

CURLcode sslContext(CURL*, void* sslCtx, void* arg) {
    auto* tls = static_cast<TlsState*>(arg);
    auto* ctx = static_cast<SSL_CTX*>(sslCtx);
    if (!tls->caFile.isEmpty() &&
        X509_STORE_load_file(SSL_CTX_get_cert_store(ctx), tls->caFile.constData()) != 1) {
        tls->caFileFailed = true;
        return CURLE_SSL_CACERT_BADFILE;
    }
    SSL_CTX_set_cert_verify_callback(ctx, verifyChain, tls);
    return CURLE_OK;
}

QString verifyReason(int error, const QString& hostName) {
    switch (error) {
        case 0:
            return QStringLiteral("证书上的名称与主机名“%1”不符").arg(hostName);
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return QStringLiteral("证书是自签名的，不受信任");
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return QStringLiteral("证书不是由受信任的证书颁发机构签发的");
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return QStringLiteral("证书已过期");
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return QStringLiteral("证书尚未生效");
        case X509_V_ERR_CERT_REVOKED:
            return QStringLiteral("证书已被吊销");
        default:
            return QStringLiteral("证书无法验证（%1）")
                .arg(QString::fromUtf8(X509_verify_cert_error_string(error)));
    }
}

enum class Kind { Enumerate, Pull, Release, Login };

// One class being enumerated.
struct Job {
    ClassOutcome* out = nullptr;
    QString resourcePath = kCimv2;  // the WMI namespace, with slashes
    QString context;                // the latest enumeration context
    bool started = false;
    bool finished = false;
    bool capped = false;  // at most kMaxAccounts instances are kept
};

// The accounts a domain controller lists: its domain's, which may run into the hundreds of
// thousands. Beyond this many the rest is left out, with an error that says so.
constexpr std::size_t kMaxAccounts = 10000;

bool isClass(const Job& job, const char* name) {
    return job.out->cls && std::strcmp(job.out->cls->name, name) == 0;
}

// One HTTP exchange in flight.
struct Transfer {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    Job* job = nullptr;
    Kind kind = Kind::Enumerate;
    Kind then = Kind::Enumerate;  // of a login: the message it logs in for
    QByteArray body;              // libcurl reads it in place
    QByteArray context;           // of a Release
    QByteArray reply;
    bool tooLarge = false;
    qsizetype cap = 0;
    qsizetype* total = nullptr;  // all replies so far
    qsizetype totalCap = 0;
    BudgetShare* share = nullptr;  // of the answers of hosts scanned together
    bool overBudget = false;
    int* roundTrips = nullptr;
    QStringList offers;           // WWW-Authenticate lines of the last response
    QList<QByteArray> tokens;     // the base64 tokens of its "Negotiate <token>" lines
    QByteArray contentType;       // of the last response
    struct Lane* lane = nullptr;  // the sealed connection it runs on
    QByteArray plain;             // a sealed message's own text, sent again after a new login
    bool resent = false;          // it already was
    std::optional<Error> unsent;  // a login that failed here: this request only asks the host
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        curl_slist_free_all(headers);
        curl_easy_cleanup(easy);
    }
};

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

// One connection to an HTTP listener with its own login: a multi handle of its own keeps the
// connection (and so the security context bound to it) to this lane alone. One exchange at a
// time; the context seals every message in order.
struct Lane {
    CURLM* multi = nullptr;
    std::unique_ptr<GssContext> gss;
    Transfer* busy = nullptr;
    bool loggedIn = false;

    Lane() : multi(curl_multi_init()) {
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 1L);
    }
    ~Lane() { curl_multi_cleanup(multi); }
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;
};

// A message waiting for a free lane.
struct Waiting {
    Job* job;
    Kind kind;
    QByteArray body;
    QByteArray context;
};

QString xmlEscaped(const QString& text) {
    return text.toHtmlEscaped();
}

// The one engine of a gathering: a curl multi handle and the jobs it runs.
class Engine {
  public:
    Engine(const ConnectRequest& request, const Endpoint& endpoint, const Tuning& tuning,
           Gathering& out)
        : request_(request), endpoint_(endpoint), tuning_(tuning), out_(out) {
        initCurl();
        start_ = endpoint.reached ? endpoint.reached->reached : Clock::now();
        if (endpoint.reached) {
            handed_ = endpoint.reached->socket.release();
            reach::Address literal;
            if (!reach::parseLiteral(endpoint.hostName, &literal)) {
                const QString address = endpoint.reached->address.family == AF_INET6
                                            ? u'[' + endpoint.reached->address.text() + u']'
                                            : endpoint.reached->address.text();
                resolve_ = curl_slist_append(nullptr, QStringLiteral("%1:%2:%3")
                                                          .arg(endpoint.hostName)
                                                          .arg(endpoint.port)
                                                          .arg(address)
                                                          .toUtf8()
                                                          .constData());
            }
        }
        deadline_ = start_ + request.timeout;
        connectDeadline_ = std::min(deadline_, start_ + request.connectTimeout);
        sessionId_ = newUuid();
        tls_.caFile = QFile::encodeName(request.caFile);
        if (!request.pinSha256.isEmpty()) {
            QString pin = request.pinSha256.trimmed();
            pin.remove(u':');
            pin.remove(u' ');
            static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
            if (!hex.match(pin).hasMatch())
                throw Error(code::Failed,
                            QStringLiteral("证书指纹“%1”的格式不对：应为 64 个十六进制数字"
                                           "（SHA-256，可以用冒号分隔）。")
                                .arg(request.pinSha256));
            tls_.pin = pin.toLatin1().toLower();
        }
        if (!request.caFile.isEmpty() && !QFile(request.caFile).open(QIODevice::ReadOnly))
            throw Error(code::Failed,
                        QStringLiteral("无法读取 CA 证书文件“%1”。").arg(request.caFile));
        if (endpoint.sealed) {
            // The HTTP listener: Negotiate on each connection, every message sealed with it.
            // A typed user in a realm whose KDC answers logs in with Kerberos, any other with
            // NTLM; the current login is the user's Kerberos ticket.
            if (request.road == Road::Credentials) {
                const QString principal = kerberosPrincipal(request.user);
                if (!principal.isEmpty())
                    ticket_ = PasswordTicket::ifRealmKnown(principal, request.password,
                                                           endpoint.shown, deadline_);
            }
            for (int i = 0; i < std::max(1, tuning.connections); ++i)
                lanes_.push_back(std::make_unique<Lane>());
            for (auto& lane : lanes_) multis_.push_back(lane->multi);
            return;
        }
        if (request.road == Road::Credentials) {
            auth_ = CURLAUTH_BASIC | CURLAUTH_NTLM;
            user_ = request.user.toUtf8();
            password_ = request.password;
        } else {
            auth_ = CURLAUTH_NEGOTIATE;
        }
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, long(tuning.connections));
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, long(tuning.connections));
        multis_.push_back(multi_);
    }

    ~Engine() {
        for (auto& t : active_) curl_multi_remove_handle(multiOf(*t), t->easy);
        active_.clear();
        lanes_.clear();
        if (multi_) curl_multi_cleanup(multi_);
        if (handed_ >= 0) ::close(handed_);
        if (resolve_) curl_slist_free_all(resolve_);
    }

    void run(std::span<const schema::Class> classes) {
        out_.classes.resize(classes.size());
        jobs_.resize(classes.size());
        for (std::size_t i = 0; i < classes.size(); ++i) {
            out_.classes[i].cls = &classes[i];
            jobs_[i].out = &out_.classes[i];
        }
        if (jobs_.empty()) return;
        // The first class alone: it reaches the host and logs in.
        login_ = true;
        startJob(jobs_[0]);
        loop();
    }

  private:
    static QString newUuid() {
        return u"uuid:" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    }

    QString resourceUri(const Job& job) const {
        return QString::fromLatin1(kWmiResources) + job.resourcePath + u"/*";
    }

    QByteArray envelope(const char* action, const Job& job, const QString& body) const {
        const QString text =
            QStringLiteral(
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
                "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
                "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
                "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
                "xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd\">"
                "<s:Header>"
                "<a:To>%1</a:To>"
                "<a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
                "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
                "</a:Address></a:ReplyTo>"
                "<a:Action s:mustUnderstand=\"true\">%2/%3</a:Action>"
                "<a:MessageID>%4</a:MessageID>"
                "<w:ResourceURI s:mustUnderstand=\"true\">%5</w:ResourceURI>"
                "<w:MaxEnvelopeSize s:mustUnderstand=\"true\">%6</w:MaxEnvelopeSize>"
                "<w:OperationTimeout>PT%7S</w:OperationTimeout>"
                "<w:Locale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>"
                "<p:DataLocale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>"
                "<p:SessionId s:mustUnderstand=\"false\">%8</p:SessionId>"
                "</s:Header><s:Body>%9</s:Body></s:Envelope>")
                .arg(xmlEscaped(endpoint_.url), QString::fromLatin1(kEnumeration),
                     QString::fromLatin1(action), newUuid(), xmlEscaped(resourceUri(job)),
                     QString::number(tuning_.maxEnvelopeSize), QString::number(operationSeconds()),
                     sessionId_, body);
        return text.toUtf8();
    }

    // The listener is asked to answer well before our own limit runs out.
    qint64 operationSeconds() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::seconds>(deadline_ - Clock::now()).count();
        return std::clamp<qint64>(left - 2, 1, 60);
    }

    void startJob(Job& job) {
        job.started = true;
        QString filter = QStringLiteral("Select * From ") + QString::fromLatin1(job.out->cls->name);
        if (isClass(job, "Win32_UserAccount")) {
            // A member of a domain (or a computer outside one) lists only its own accounts:
            // without the filter it would walk every account of the domain. A domain controller
            // has no others, and lists its domain's up to kMaxAccounts.
            const std::optional<qint64> role = domainRole();
            job.capped = !role || *role > 3;
            if (!job.capped) filter += QStringLiteral(" Where LocalAccount = TRUE");
        }
        send(job, Kind::Enumerate,
             envelope("Enumerate", job,
                      QStringLiteral("<n:Enumerate><w:OptimizeEnumeration/>"
                                     "<w:MaxElements>%1</w:MaxElements>"
                                     "<w:Filter Dialect=\"http://schemas.microsoft.com/wbem/"
                                     "wsman/1/WQL\">%2</w:Filter></n:Enumerate>")
                          .arg(maxElements(job))
                          .arg(xmlEscaped(filter))));
    }

    // Win32_ComputerSystem's DomainRole once that class is in (0 to 3: not a domain
    // controller), nullopt when it is unknown.
    std::optional<qint64> domainRole() const {
        for (const Job& j : jobs_) {
            if (!isClass(j, "Win32_ComputerSystem") || j.out->items.empty()) continue;
            const Property* p = j.out->items.front().find(u"DomainRole");
            if (p && p->value.type() == Variant::Type::Int) return p->value.intValue();
            if (p && p->value.type() == Variant::Type::UInt) return qint64(p->value.uintValue());
        }
        return std::nullopt;
    }

    // Items asked for at once; of a capped class one more than it keeps, so that a full class
    // and a longer one are told apart.
    int maxElements(const Job& job) const {
        if (!job.capped) return tuning_.maxElements;
        const std::size_t left = kMaxAccounts + 1 - std::min(job.out->items.size(), kMaxAccounts);
        return int(std::min<std::size_t>(std::size_t(tuning_.maxElements), left));
    }

    void pull(Job& job) {
        send(job, Kind::Pull,
             envelope("Pull", job,
                      QStringLiteral("<n:Pull><n:EnumerationContext>%1</n:EnumerationContext>"
                                     "<n:MaxElements>%2</n:MaxElements></n:Pull>")
                          .arg(xmlEscaped(job.context))
                          .arg(maxElements(job))));
    }

    void release(Job& job) {
        if (job.context.isEmpty()) return;
        releasing_.insert(job.context);
        send(job, Kind::Release,
             envelope("Release", job,
                      QStringLiteral("<n:Release><n:EnumerationContext>%1</n:EnumerationContext>"
                                     "</n:Release>")
                          .arg(xmlEscaped(job.context))));
        job.context.clear();
    }

    void send(Job& job, Kind kind, QByteArray body) {
        ++job.out->requests;
        const QByteArray context = kind == Kind::Release ? job.context.toUtf8() : QByteArray();
        if (endpoint_.sealed) {
            sendSealed(job, kind, std::move(body), context);
            return;
        }
        auto t = newTransfer(job, kind, std::move(body));
        t->context = context;
        start(std::move(t), nullptr);
    }

    std::unique_ptr<Transfer> newTransfer(Job& job, Kind kind, QByteArray body) {
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

    // Starts a transfer: over HTTPS on the shared connections, over HTTP on `lane`, with
    // `contentType` (none for an empty body) and `authorization` (none: nothing).
    void start(std::unique_ptr<Transfer> t, Lane* lane,
               const QByteArray& contentType = "application/soap+xml;charset=UTF-8",
               const QByteArray& authorization = {}) {
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
            t->headers = curl_slist_append(t->headers,
                                           QByteArray("Content-Type: " + contentType).constData());
        if (!authorization.isEmpty())
            t->headers = curl_slist_append(
                t->headers, QByteArray("Authorization: " + authorization).constData());
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

    CURLM* multiOf(const Transfer& t) const { return t.lane ? t.lane->multi : multi_; }

    static curl_socket_t openSocket(void* data, curlsocktype, curl_sockaddr* address) {
        auto* self = static_cast<Engine*>(data);
        if (self->handed_ >= 0) {
            const int fd = self->handed_;
            self->handed_ = -1;
            self->connectedAlready_ = fd;
            self->sockets_[fd] = true;
            return fd;
        }
        const int fd =
            ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd < 0) return CURL_SOCKET_BAD;
        self->sockets_[fd] = false;
        return fd;
    }
    static int socketOptions(void* data, curl_socket_t fd, curlsocktype) {
        auto* self = static_cast<Engine*>(data);
        if (fd != self->connectedAlready_) return CURL_SOCKOPT_OK;
        self->connectedAlready_ = -1;
        return CURL_SOCKOPT_ALREADY_CONNECTED;
    }
    static int closeSocket(void* data, curl_socket_t fd) {
        static_cast<Engine*>(data)->sockets_.erase(fd);
        return ::close(fd);
    }

    // ---- The HTTP listener: a login per lane, then sealed messages ----

    void sendSealed(Job& job, Kind kind, QByteArray body, QByteArray context) {
        Lane* lane = nullptr;
        for (auto& l : lanes_)
            if (!l->busy && (!lane || (l->loggedIn && !lane->loggedIn))) lane = l.get();
        if (!lane) {
            waiting_.push_back({&job, kind, std::move(body), std::move(context)});
            return;
        }
        if (!lane->loggedIn) {
            lane->gss.reset();
            loginLeg(*lane, job, kind, std::move(body), std::move(context), {}, false);
            return;
        }
        sealAndPost(*lane, job, kind, std::move(body), std::move(context), false);
    }

    std::unique_ptr<GssContext> newContext() const {
        GssContext::Initiator how;
        how.target = endpoint_.hostName;
        if (request_.road == Road::Credentials) {
            how.user = request_.user;
            how.password = request_.password;
            if (ticket_) {
                how.ccache = ticket_->cacheName();
                how.kerberosOnly = true;
            }
        }
        return GssContext::initiator(how);
    }

    // One leg of the login on `lane`, for the message that waits for it.
    void loginLeg(Lane& lane, Job& job, Kind then, QByteArray plain, QByteArray context,
                  const QByteArray& tokenIn, bool resent) {
        if (!lane.gss) lane.gss = newContext();
        QByteArray token;
        if (auto f = lane.gss->step(tokenIn, &token)) {
            // Failing before anything was sent (no ticket, say): first see that the host is
            // there and what it offers, with an empty request that carries no credentials.
            if (!login_ || !tokenIn.isEmpty()) throw loginError(*f);
            auto t = newTransfer(job, Kind::Login, {});
            t->unsent = loginError(*f);
            start(std::move(t), &lane, {});
            return;
        }
        if (token.isEmpty())
            throw Error(code::AccessDenied,
                        QStringLiteral("拒绝访问：与 %1 的登录没有完成。").arg(endpoint_.shown));
        auto t = newTransfer(job, Kind::Login, {});
        t->then = then;
        t->plain = std::move(plain);
        t->context = std::move(context);
        t->resent = resent;
        start(std::move(t), &lane, {}, "Negotiate " + token.toBase64());
    }

    void sealAndPost(Lane& lane, Job& job, Kind kind, QByteArray plain, QByteArray context,
                     bool resent) {
        EncryptedPart part;
        if (auto f = lane.gss->seal(plain, &part.header, &part.sealed))
            throw Error(
                code::Failed,
                QStringLiteral("无法加密发往 %1 的消息：%2。").arg(endpoint_.shown, f->text));
        part.protocol = kSpnegoEncrypted;
        part.originalType = kSoapType;
        part.plainLength = plain.size();
        auto t = newTransfer(job, kind, encryptedBody(part));
        t->plain = std::move(plain);
        t->context = std::move(context);
        t->resent = resent;
        start(std::move(t), &lane, encryptedContentType(kSpnegoEncrypted));
    }

    // What GSS-API said when this side could not log in.
    Error loginError(const GssFailure& f) const {
        const QString& shown = endpoint_.shown;
        if (request_.road == Road::CurrentLogin) {
            if (f.noCredentials)
                return Error(code::AccessDenied,
                             QStringLiteral("拒绝访问：当前登录用户没有 Kerberos 票据，无法登录 "
                                            "%1。请先用 kinit 取得票据，或者输入用户名和密码"
                                            "（%2）。")
                                 .arg(shown, f.text));
            if (f.expired)
                return Error(code::AccessDenied,
                             QStringLiteral("拒绝访问：当前登录用户的 Kerberos 票据已过期，无法"
                                            "登录 %1。请用 kinit 重新取得票据（%2）。")
                                 .arg(shown, f.text));
        }
        if (f.unknownServer)
            return Error(code::AccessDenied,
                         QStringLiteral("拒绝访问：Kerberos 不认识 %1 的服务主体 HTTP/%2（%3）。"
                                        "Kerberos 要用主机在域中的完整名称；工作组计算机请输入"
                                        "它的本地帐户和密码（NTLM）。")
                             .arg(shown, endpoint_.hostName, f.text));
        return Error(code::AccessDenied,
                     QStringLiteral("拒绝访问：无法登录 %1（%2）。").arg(shown, f.text));
    }

    // A finished leg of a login: the next leg, the message it was for, or why not.
    void loginAnswered(Transfer& t, CURLcode result) {
        Lane& lane = *t.lane;
        lane.busy = nullptr;
        try {
            loginStep(t, result);
        } catch (const Error& e) {
            // The first login speaks for the host; a later lane's trouble fails its class only.
            if (login_) throw;
            lane.loggedIn = false;
            lane.gss.reset();
            if (t.then == Kind::Release) {
                releasing_.remove(QString::fromUtf8(t.context));
            } else {
                fail(*t.job, e);
            }
            sendWaiting();
        }
    }

    void loginStep(Transfer& t, CURLcode result) {
        Lane& lane = *t.lane;
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_OK) throw transportError(t, result);
        if (t.unsent) {
            basicOnly(t, status);
            if (status == 404 || status == 503) throw statusError(t, status);
            throw *t.unsent;
        }
        const QByteArray token =
            t.tokens.isEmpty() ? QByteArray() : QByteArray::fromBase64(t.tokens.front());
        if (status == 401 && !token.isEmpty() && !lane.gss->complete()) {
            loginLeg(lane, *t.job, t.then, std::move(t.plain), std::move(t.context), token,
                     t.resent);
            return;
        }
        basicOnly(t, status);
        if (status != 200) throw statusError(t, status);
        if (!token.isEmpty() && !lane.gss->complete()) {
            QByteArray more;
            if (auto f = lane.gss->step(token, &more)) throw loginError(*f);
        }
        if (!lane.gss->complete())
            throw Error(code::AccessDenied,
                        QStringLiteral("拒绝访问：%1 接受了登录，却没有完成相互认证。")
                            .arg(endpoint_.shown));
        lane.loggedIn = true;
        sealAndPost(lane, *t.job, t.then, std::move(t.plain), std::move(t.context), t.resent);
    }

    // A listener that would have the password in the clear is refused.
    void basicOnly(const Transfer& t, long status) const {
        if (status == 401 && !t.offers.isEmpty() &&
            !t.offers.contains(QStringLiteral("Negotiate"), Qt::CaseInsensitive))
            throw Error(code::AccessDenied,
                        QStringLiteral("拒绝访问：%1 的 HTTP 监听器不接受 Negotiate，只提供 %2。"
                                       "在未加密的 HTTP 上那会以明文发送密码，所以没有登录。"
                                       "请在该主机上启用 Negotiate（Kerberos/NTLM）认证，或者"
                                       "配置 HTTPS 监听器后用 https://%3 连接。")
                            .arg(endpoint_.shown, t.offers.join(u'、'), endpoint_.hostName));
    }

    // The plain text of a sealed reply, in place of the reply; throws when it is not sealed or
    // its seal does not hold.
    void unsealReply(Transfer& t) {
        const QString& shown = endpoint_.shown;
        if (!isEncryptedType(t.contentType))
            throw Error(code::Failed,
                        QStringLiteral("%1 的回复没有加密（内容类型“%2”）。通过 HTTP 的回复必须"
                                       "用登录时的会话密钥加密；连接已拒绝。")
                            .arg(shown, QString::fromLatin1(t.contentType.left(100))));
        QByteArray plain;
        try {
            for (const EncryptedPart& part : parseEncryptedBody(t.contentType, t.reply)) {
                QByteArray piece;
                if (auto f = t.lane->gss->unseal(part.header, part.sealed, &piece))
                    throw Error(code::Failed,
                                QStringLiteral("%1 的回复未通过签名验证（%2）：它在途中被改动过，"
                                               "或者不是这个会话发出的。连接已拒绝。")
                                    .arg(shown, f->text));
                if (piece.size() != part.plainLength)
                    throw Error(code::Failed,
                                QStringLiteral("%1 的回复解密后长度不对：声明 %2 字节，实际 %3 "
                                               "字节。连接已拒绝。")
                                    .arg(shown)
                                    .arg(part.plainLength)
                                    .arg(piece.size()));
                plain += piece;
            }
        } catch (const DecodeError& e) {
            throw Error(code::Failed,
                        QStringLiteral("从 %1 收到的回复有误：%2").arg(shown, e.message()));
        }
        t.reply = std::move(plain);
    }

    // A message that found no free lane goes on the next one that is.
    void sendWaiting() {
        while (!waiting_.empty()) {
            if (std::ranges::none_of(lanes_, [](const auto& l) { return !l->busy; })) return;
            Waiting w = std::move(waiting_.front());
            waiting_.pop_front();
            sendSealed(*w.job, w.kind, std::move(w.body), std::move(w.context));
        }
    }

    static milliseconds left(Clock::time_point until) {
        return std::max(milliseconds(1),
                        std::chrono::duration_cast<milliseconds>(until - Clock::now()));
    }

    void loop() {
        while (!active_.empty()) {
            for (CURLM* multi : multis_) {
                int running = 0;
                curl_multi_perform(multi, &running);
                while (CURLMsg* msg = curl_multi_info_read(multi, &running)) {
                    if (msg->msg != CURLMSG_DONE) continue;
                    Transfer* raw = nullptr;
                    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
                    const CURLcode result = msg->data.result;
                    curl_multi_remove_handle(multi, msg->easy_handle);
                    auto it = std::find_if(active_.begin(), active_.end(),
                                           [raw](const auto& p) { return p.get() == raw; });
                    std::unique_ptr<Transfer> t = std::move(*it);
                    active_.erase(it);
                    finished(*t, result);
                }
            }
            if (active_.empty()) break;
            if (Clock::now() >= deadline_) timedOut();
            wait(int(std::min<qint64>(left(deadline_).count(), 200)));
        }
    }

    // Until one of the multi handles has something to do, or `ms` have passed.
    void wait(int ms) {
        if (multis_.size() == 1) {
            curl_multi_poll(multis_.front(), nullptr, 0, ms, nullptr);
            return;
        }
        // Several multi handles: poll every socket they opened (all through openSocket), for
        // reading, and for writing until it has connected; the messages are small enough never
        // to wait for room to write.
        for (CURLM* multi : multis_) {
            long timeout = -1;
            curl_multi_timeout(multi, &timeout);
            if (timeout >= 0) ms = std::min(ms, int(timeout));
        }
        std::vector<pollfd> fds;
        for (const auto& [fd, writable] : sockets_)
            fds.push_back({fd, short(POLLIN | (writable ? 0 : POLLOUT)), 0});
        if (fds.empty()) ms = std::min(ms, 10);  // libcurl between sockets: look again soon
        if (ms <= 0 || ::poll(fds.data(), fds.size(), ms) <= 0) return;
        for (const pollfd& p : fds)
            if (p.revents & POLLOUT) sockets_[p.fd] = true;
    }

    [[noreturn]] void timedOut() {
        // Abandoned walks are released, briefly and without waiting for more than a moment:
        // the walks in progress, and the releases that were still on their way.
        QSet<QString> contexts = releasing_;
        for (auto& t : active_) curl_multi_remove_handle(multiOf(*t), t->easy);
        active_.clear();
        waiting_.clear();
        for (auto& lane : lanes_) {  // a connection cut in the middle takes its login with it
            if (lane->busy) lane->loggedIn = false;
            lane->busy = nullptr;
        }
        for (Job& job : jobs_)
            if (!job.finished && !job.context.isEmpty()) contexts.insert(job.context);
        deadline_ = Clock::now() + milliseconds(1000);
        for (const QString& context : std::as_const(contexts)) {
            Job& job = jobs_.front();
            job.context = context;
            release(job);
        }
        loopReleases();
        throw Error(code::Timeout,
                    common::message::scanTimedOut(endpoint_.shown, request_.timeout));
    }

    // Releases after the time limit: their answers are not waited for beyond a moment, nor
    // read except to keep a sealed connection's order.
    void loopReleases() {
        try {
            while (!active_.empty() && Clock::now() < deadline_) {
                for (CURLM* multi : multis_) {
                    int running = 0;
                    curl_multi_perform(multi, &running);
                    while (CURLMsg* msg = curl_multi_info_read(multi, &running)) {
                        if (msg->msg != CURLMSG_DONE) continue;
                        const CURLcode result = msg->data.result;
                        curl_multi_remove_handle(multi, msg->easy_handle);
                        auto it = std::find_if(
                            active_.begin(), active_.end(),
                            [e = msg->easy_handle](const auto& p) { return p->easy == e; });
                        std::unique_ptr<Transfer> t = std::move(*it);
                        active_.erase(it);
                        if (t->kind == Kind::Login && result == CURLE_OK) {
                            loginAnswered(*t, result);
                        } else if (t->lane) {
                            t->lane->busy = nullptr;
                            sendWaiting();
                        }
                    }
                }
                wait(50);
            }
        } catch (const Error&) {  // a release that cannot be sent is given up
        }
    }

    // The failure of a transfer that never got an HTTP answer.
    Error transportError(const Transfer& t, CURLcode result) const {
        const QString& shown = endpoint_.shown;
        long osErrno = 0;
        curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osErrno);
        curl_off_t connected = 0;
        curl_easy_getinfo(t.easy, CURLINFO_APPCONNECT_TIME_T, &connected);
        switch (result) {
            case CURLE_COULDNT_RESOLVE_HOST:
                return Error(code::HostNotFound,
                             common::message::hostNameUnresolvable(endpoint_.hostName));
            case CURLE_COULDNT_CONNECT:
                if (osErrno == ECONNREFUSED)
                    return Error(code::RpcUnavailable,
                                 QStringLiteral("无法连接 %1：连接被拒绝（端口 %2 上没有 "
                                                "WS-Management 服务）。")
                                     .arg(shown)
                                     .arg(endpoint_.port));
                if (osErrno == EHOSTUNREACH || osErrno == ENETUNREACH)
                    return Error(code::RpcUnavailable, common::message::unreachable(shown));
                return Error(code::RpcUnavailable,
                             common::message::cannotConnect(shown, curlText(t, result)));
            case CURLE_OPERATION_TIMEDOUT:
                if (connected == 0)
                    return Error(code::RpcUnavailable,
                                 common::message::cannotConnect(
                                     shown, common::message::seconds(request_.connectTimeout) +
                                                QStringLiteral("内没有应答")));
                return Error(code::Timeout, common::message::scanTimedOut(shown, request_.timeout));
            case CURLE_PEER_FAILED_VERIFICATION:
                return certificateError();
            case CURLE_SSL_CACERT_BADFILE:
                return Error(
                    code::Failed,
                    QStringLiteral("无法读取 CA 证书文件“%1”中的证书。").arg(request_.caFile));
            case CURLE_SSL_CONNECT_ERROR:
                if (tls_.pinMismatch || (!tls_.fingerprint.isEmpty() && tls_.verifyError != 0))
                    return certificateError();
                return Error(
                    code::Failed,
                    QStringLiteral("无法与 %1 建立 TLS 连接（%2）：端口 %3 上可能不是 "
                                   "HTTPS 监听器，或者双方没有共同支持的协议版本和加密方式。")
                        .arg(shown, curlText(t, result))
                        .arg(endpoint_.port));
            case CURLE_WRITE_ERROR:
                if (t.overBudget)
                    return Error(code::Failed,
                                 QStringLiteral("同时检测的主机的回答合计超过了 %1 MiB 的上限，"
                                                "%2 的检测已中止；可以减少 --jobs 再试。")
                                     .arg(share_.mebibytes())
                                     .arg(shown));
                if (t.tooLarge) {
                    if (received_ + t.reply.size() >= tuning_.totalCap - tuning_.replyCap)
                        return Error(code::Failed,
                                     QStringLiteral("%1 返回的数据超过了 %2 的上限，已中止。")
                                         .arg(shown, bytes(tuning_.totalCap)));
                    return Error(code::Failed,
                                 QStringLiteral("%1 的一个回复超过了 %2 的上限，已中止。")
                                     .arg(shown, bytes(tuning_.replyCap)));
                }
                break;
            case CURLE_GOT_NOTHING:
            case CURLE_RECV_ERROR:
            case CURLE_SEND_ERROR:
            case CURLE_PARTIAL_FILE:
                return Error(code::Failed,
                             QStringLiteral("与 %1 的连接在传送数据时中断。").arg(shown));
            default:
                break;
        }
        return Error(code::Failed,
                     QStringLiteral("与 %1 通信失败：%2。").arg(shown, curlText(t, result)));
    }

    static QString curlText(const Transfer& t, CURLcode result) {
        return QString::fromUtf8(t.errorText[0] ? t.errorText : curl_easy_strerror(result));
    }

    Error certificateError() const {
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

    // The failure of an exchange whose HTTP status says no.
    Error statusError(const Transfer& t, long status) const {
        const QString& shown = endpoint_.shown;
        if (status == 401) {
            const QString offered =
                t.offers.isEmpty() ? QStringLiteral("主机没有提供认证方式")
                                   : QStringLiteral("主机提供的认证方式：") + t.offers.join(u'、');
            if (request_.road == Road::Credentials)
                return Error(code::AccessDenied,
                             QStringLiteral("拒绝访问：%1 不接受用户“%2”的登录（%3）。")
                                 .arg(shown, request_.user, offered));
            return Error(code::AccessDenied,
                         QStringLiteral("拒绝访问：%1 不接受当前登录用户的 Kerberos 凭证（%2）。")
                             .arg(shown, offered));
        }
        if (status == 404 || status == 503)
            return Error(code::RpcUnavailable,
                         QStringLiteral("%1 上没有可用的 WS-Management 服务（HTTP %2）。")
                             .arg(shown)
                             .arg(status));
        return Error(
            code::Failed,
            QStringLiteral("%1 返回了 HTTP %2，没有可以读懂的回复。").arg(shown).arg(status));
    }

    Error faultError(const Fault& fault) const {
        std::uint32_t number = fault.wmiError ? fault.wmiError : code::Failed;
        if (fault.subcode.endsWith(u":AccessDenied") || fault.subcode == u"AccessDenied" ||
            number == 5)
            number = code::AccessDenied;
        const QString reason = fault.reason.trimmed();
        return Error(number,
                     reason.isEmpty()
                         ? QStringLiteral("%1 报告错误 %2。").arg(endpoint_.shown, fault.subcode)
                         : QStringLiteral("%1 报告错误：%2").arg(endpoint_.shown, reason));
    }

    void finished(Transfer& t, CURLcode result) {
        Job& job = *t.job;
        if (t.kind == Kind::Login) {
            loginAnswered(t, result);
            return;
        }
        if (t.lane) {
            Lane& lane = *t.lane;
            lane.busy = nullptr;
            long status = 0;
            curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
            if (result != CURLE_OK) {
                lane.loggedIn = false;  // the connection, and its login, are gone
            } else if (status == 401) {
                // The listener no longer knows this login (a new connection): once more.
                lane.loggedIn = false;
                lane.gss.reset();
                if (!t.resent) {
                    loginLeg(lane, job, t.kind, std::move(t.plain), std::move(t.context), {}, true);
                    return;
                }
            } else if (!t.reply.isEmpty() || status == 200) {
                unsealReply(t);
            }
            sendWaiting();
        }
        if (t.kind == Kind::Release) {  // its answer changes nothing
            releasing_.remove(QString::fromUtf8(t.context));
            return;
        }
        if (result == CURLE_OPERATION_TIMEDOUT && Clock::now() + milliseconds(50) >= deadline_)
            timedOut();  // the whole time limit, not this exchange's own trouble
        if (result == CURLE_WRITE_ERROR && t.tooLarge &&
            (t.overBudget || received_ + t.reply.size() >= tuning_.totalCap - tuning_.replyCap))
            throw transportError(t, result);
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        std::optional<Error> failure;
        Decoded decoded;
        if (result != CURLE_OK) {
            failure = transportError(t, result);
        } else if (status != 200 && !(status == 500 && !t.reply.isEmpty())) {
            failure = statusError(t, status);
        }
        if (failure && login_ && status == 401 && kerberosInstead(t)) {
            startJob(job);  // the same request again, with the ticket
            return;
        }
        if (failure && login_) throw *failure;
        const bool first = login_;
        if (login_) {
            login_ = false;
            settleAuth(t);
            fill();
        }
        if (!failure) {
            try {
                decoded = decodeEnumerationReply(QByteArrayView(t.reply), job.out->cls);
                if (!decoded.fault && status != 200) failure = statusError(t, status);
            } catch (const DecodeError& e) {
                failure = Error(
                    code::Failed,
                    QStringLiteral("从 %1 收到的回复有误：%2").arg(endpoint_.shown, e.message()));
            }
        }
        if (!failure && decoded.fault) {
            const Fault& f = *decoded.fault;
            // Since Vista the class lives in a namespace of its own.
            if (t.kind == Kind::Enumerate && job.resourcePath == kCimv2 &&
                QLatin1StringView(job.out->cls->name)
                        .compare(QLatin1StringView("Win32_TerminalServiceSetting"),
                                 Qt::CaseInsensitive) == 0 &&
                faultError(f).number() != code::AccessDenied) {
                job.resourcePath = kTerminalServices;
                job.context.clear();
                startJob(job);
                return;
            }
            // A listener that lets nobody in says so on the first request already.
            if (first && faultError(f).number() == code::AccessDenied) throw faultError(f);
            job.context.clear();  // a fault ends the operation on the listener's side
            fail(job, faultError(f));
            return;
        }
        if (failure) {
            fail(job, *failure);
            return;
        }
        for (Instance& i : decoded.reply.items) job.out->items.push_back(std::move(i));
        job.context = decoded.reply.context;
        if (job.capped && job.out->items.size() > kMaxAccounts) {
            job.out->items.erase(job.out->items.begin() + qsizetype(kMaxAccounts),
                                 job.out->items.end());
            if (decoded.reply.endOfSequence) job.context.clear();
            fail(job, Error(code::Failed,
                            QStringLiteral("%1 的账户超过 %2 个（域控制器列出整个域的账户），"
                                           "只列出了前 %2 个。")
                                .arg(endpoint_.shown)
                                .arg(kMaxAccounts)));
            return;
        }
        if (decoded.reply.endOfSequence) {
            job.context.clear();
            complete(job);
            return;
        }
        if (job.context.isEmpty()) {
            fail(job, Error(code::Failed, QStringLiteral("从 %1 收到的回复有误：枚举没有结束，"
                                                         "却没有给出枚举上下文。")
                                              .arg(endpoint_.shown)));
            return;
        }
        pull(job);
    }

    void fail(Job& job, Error error) {
        job.out->error = std::move(error);
        release(job);  // an abandoned walk is given back to the listener
        complete(job);
    }

    void complete(Job& job) {
        job.finished = true;
        if (!login_) fill();
    }

    // One class on each connection: classes waiting take the places free.
    void fill() {
        for (Job& next : jobs_) {
            if (inFlight() >= tuning_.connections) break;
            // The accounts are asked for once the computer's domain role is known.
            if (!next.started && (!isClass(next, "Win32_UserAccount") || systemKnown()))
                startJob(next);
        }
    }

    bool systemKnown() const {
        return std::ranges::none_of(
            jobs_, [](const Job& j) { return isClass(j, "Win32_ComputerSystem") && !j.finished; });
    }

    int inFlight() const {
        int n = 0;
        for (const Job& job : jobs_)
            if (job.started && !job.finished) ++n;
        return n;
    }

    // A listener that offers Negotiate only (as Windows does by default) gets a Kerberos ticket
    // got with the typed password, when the user names a realm or a domain.
    bool kerberosInstead(const Transfer& t) {
        if (endpoint_.sealed || request_.road != Road::Credentials || ticket_ ||
            (auth_ & CURLAUTH_NEGOTIATE))
            return false;
        if (!t.offers.contains(QStringLiteral("Negotiate"), Qt::CaseInsensitive)) return false;
        const QString principal = kerberosPrincipal(request_.user);
        if (principal.isEmpty()) return false;
        ticket_ = std::make_unique<PasswordTicket>(principal, request_.password, endpoint_.shown,
                                                   deadline_);
        auth_ = CURLAUTH_NEGOTIATE;
        return true;
    }

    // After the first answer: the scheme the listener accepted is sent at once from now on,
    // without a round trip to ask for it.
    void settleAuth(const Transfer& t) {
        long available = 0;
        curl_easy_getinfo(t.easy, CURLINFO_HTTPAUTH_AVAIL, &available);
        if (request_.trace && available) {
            QStringList offered;
            if (available & CURLAUTH_NEGOTIATE) offered << QStringLiteral("Negotiate");
            if (available & CURLAUTH_NTLM) offered << QStringLiteral("NTLM");
            if (available & CURLAUTH_BASIC) offered << QStringLiteral("Basic");
            if (available & CURLAUTH_DIGEST) offered << QStringLiteral("Digest");
            request_.trace(QStringLiteral("%1 提供的登录方式：%2")
                               .arg(endpoint_.shown, offered.join(QStringLiteral("、"))));
        }
        const unsigned long usable = static_cast<unsigned long>(available) & auth_;
        for (unsigned long scheme : {CURLAUTH_NEGOTIATE, CURLAUTH_NTLM, CURLAUTH_BASIC})
            if (usable & scheme) {
                auth_ = scheme;
                break;
            }
    }

    const ConnectRequest& request_;
    const Endpoint& endpoint_;
    const Tuning& tuning_;
    Gathering& out_;
    Clock::time_point start_, deadline_, connectDeadline_;
    QString sessionId_;
    TlsState tls_;
    unsigned long auth_ = 0;
    QByteArray user_;
    SharedSecret password_;
    CURLM* multi_ = nullptr;                    // HTTPS: every exchange shares its connections
    std::vector<std::unique_ptr<Lane>> lanes_;  // HTTP: one connection and login each
    std::vector<CURLM*> multis_;                // the one or the lanes'
    std::deque<Waiting> waiting_;               // messages waiting for a free lane
    std::deque<Job> jobs_;
    std::vector<std::unique_ptr<Transfer>> active_;
    std::unique_ptr<PasswordTicket> ticket_;  // the typed password's Kerberos ticket, if any
    QSet<QString> releasing_;                 // contexts whose Release is on its way
    qsizetype received_ = 0;
    BudgetShare share_{request_.answers};  // what the replies took of the batch's budget
    bool login_ = false;
    int handed_ = -1;                // the reach layer's socket, until the first request takes it
    int connectedAlready_ = -1;      // that socket, until libcurl has asked about it
    curl_slist* resolve_ = nullptr;  // the host name pinned to the address that was reached
    std::map<int, bool> sockets_;    // every socket libcurl has open: connected yet?
};

}  // namespace

namespace {

// libcurl keeps copies of what it is given (the password for Basic and NTLM among them) and
// builds headers out of them: every block it gives back is overwritten before it is freed.
void wipingFree(void* p) {
    if (!p) return;
    ::explicit_bzero(p, ::malloc_usable_size(p));
    std::free(p);
}

void* wipingRealloc(void* p, size_t size) {
    if (!p) return std::malloc(size);
    if (size == 0) {
        wipingFree(p);
        return nullptr;
    }
    void* moved = std::malloc(size);
    if (!moved) return nullptr;
    std::memcpy(moved, p, std::min(size, ::malloc_usable_size(p)));
    wipingFree(p);
    return moved;
}

void* plainMalloc(size_t size) {
    return std::malloc(size);
}
char* plainStrdup(const char* s) {
    return ::strdup(s);
}
void* plainCalloc(size_t count, size_t size) {
    return std::calloc(count, size);
}

}  // namespace

void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init_mem(CURL_GLOBAL_DEFAULT, plainMalloc, wipingFree, wipingRealloc,
                             plainStrdup, plainCalloc);
    });
}

QString fingerprintText(const QByteArray& sha256) {
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

Endpoint endpointOf(const HostText& host, bool sealed) {
    Endpoint e;
    e.hostName = host.host;
    e.sealed = sealed || host.scheme == u"http";
    e.port = host.port ? host.port : e.sealed ? kUnencryptedPort : kDefaultPort;
    const QString bracketed = host.host.contains(u':') ? u'[' + host.host + u']' : host.host;
    e.url = QStringLiteral("%1://%2:%3%4")
                .arg(e.sealed ? u"http" : u"https", bracketed)
                .arg(e.port)
                .arg(host.path.isEmpty() ? QStringLiteral("/wsman") : host.path);
    e.shown = host.port ? bracketed + u':' + QString::number(host.port) : bracketed;
    return e;
}

Gathering gather(const ConnectRequest& request, const Endpoint& endpoint,
                 std::span<const schema::Class> classes, const Tuning& tuning) {
    Gathering out;
    Engine engine(request, endpoint, tuning, out);
    engine.run(classes);
    return out;
}

}  // namespace qelto::wmi::wsman
