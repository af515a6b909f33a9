#include "listener.h"

#include "wmi/error.h"
#include "wmi/schema.h"
#include "wmi/wql.h"
#include "sources/wsman/decode.h"
#include "sources/wsman/encode.h"
#include "sources/wsman/encrypted.h"
#include "sources/wsman/gss.h"

// Eight connections open at once after the first class: the default backlog of 5 drops SYNs,
// which the client then repeats only after a second.
#define CPPHTTPLIB_LISTEN_BACKLOG 64
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QCryptographicHash>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <QXmlStreamReader>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace qelto::test {

namespace {

namespace ns {
constexpr QStringView soap = u"http://www.w3.org/2003/05/soap-envelope";
constexpr QStringView addressing = u"http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr QStringView enumeration = u"http://schemas.xmlsoap.org/ws/2004/09/enumeration";
constexpr QStringView wsman = u"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
}  // namespace ns

constexpr QStringView kAnonymous =
    u"http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
const QString kEnumerationActions =
    QStringLiteral("http://schemas.xmlsoap.org/ws/2004/09/enumeration/");
constexpr QStringView kWmiResourcePrefix = u"http://schemas.microsoft.com/wbem/wsman/1/wmi/";
constexpr QStringView kWqlDialect = u"http://schemas.microsoft.com/wbem/wsman/1/WQL";
constexpr const char* kSoapType = "application/soap+xml;charset=UTF-8";
constexpr qint64 kHugeBytes = qint64(200) * 1024 * 1024;
constexpr auto kStallLimit = std::chrono::seconds(60);
constexpr const char* kTerminalServiceClass = "Win32_TerminalServiceSetting";

// The parts of a request the listener looks at.
struct Request {
    QString action, messageId, to, replyTo, resourceUri, maxEnvelopeSize, operationTimeout;
    int messageIds = 0;
    bool selectors = false;
    QString operation;  // local name of the body's first element in the enumeration namespace
    bool optimize = false;
    QString maxElements;
    QStringView maxElementsNs;
    QString filter, dialect, context;
    QString invoked;                     // a method's <p:Method_INPUT>
    QHash<QString, QString> parameters;  // and its input parameters
    QString parseError;
};

Request parseRequest(const std::string& body) {
    Request r;
    QXmlStreamReader xml(QByteArray::fromRawData(body.data(), qsizetype(body.size())));
    bool inHeader = false, inBody = false;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        const QStringView n = xml.namespaceUri(), name = xml.name();
        auto is = [&](QStringView wantNs, QStringView wantName) {
            return n == wantNs && name == wantName;
        };
        if (is(ns::soap, u"Header")) {
            inHeader = true;
        } else if (is(ns::soap, u"Body")) {
            inHeader = false;
            inBody = true;
        } else if (inHeader) {
            if (is(ns::addressing, u"Action"))
                r.action = xml.readElementText();
            else if (is(ns::addressing, u"MessageID"))
                r.messageId = xml.readElementText(), ++r.messageIds;
            else if (is(ns::addressing, u"To"))
                r.to = xml.readElementText();
            else if (is(ns::addressing, u"Address"))
                r.replyTo = xml.readElementText();
            else if (is(ns::wsman, u"ResourceURI"))
                r.resourceUri = xml.readElementText();
            else if (is(ns::wsman, u"MaxEnvelopeSize"))
                r.maxEnvelopeSize = xml.readElementText();
            else if (is(ns::wsman, u"OperationTimeout"))
                r.operationTimeout = xml.readElementText();
            else if (is(ns::wsman, u"SelectorSet"))
                r.selectors = true;
        } else if (inBody) {
            if (r.operation.isEmpty() && n == ns::enumeration) r.operation = name.toString();
            if (n.startsWith(kWmiResourcePrefix) && name.endsWith(u"_INPUT")) {
                r.invoked = name.toString();
            } else if (n.startsWith(kWmiResourcePrefix)) {
                r.parameters.insert(name.toString(), xml.readElementText());
            } else if (is(ns::wsman, u"OptimizeEnumeration")) {
                r.optimize = true;
            } else if (is(ns::wsman, u"MaxElements") || is(ns::enumeration, u"MaxElements")) {
                r.maxElementsNs = n == ns::wsman ? ns::wsman : ns::enumeration;
                r.maxElements = xml.readElementText();
            } else if (is(ns::wsman, u"Filter")) {
                r.dialect = xml.attributes().value(QLatin1StringView("Dialect")).toString();
                r.filter = xml.readElementText();
            } else if (is(ns::enumeration, u"EnumerationContext")) {
                r.context = xml.readElementText().trimmed();
            }
        }
    }
    if (xml.hasError())
        r.parseError = xml.errorString();
    else if (!inBody)
        r.parseError = QStringLiteral("no SOAP body");
    return r;
}

QString newUuid() {
    return u"uuid:" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

using wmi::wsman::FaultSpec;

const QString kEnumerationFault =
    QStringLiteral("http://schemas.xmlsoap.org/ws/2004/09/enumeration/fault");

FaultSpec withWmiStatus(const QString& query, const QString& message, std::uint32_t status) {
    FaultSpec f = wmi::wsman::invalidClassFault(query);
    f.providerMessage = message;
    f.wmiStatus = status;
    return f;
}
FaultSpec invalidQueryFault(const QString& query) {
    return withWmiStatus(query, QStringLiteral("The query is not valid. "), 0x80041017);
}
FaultSpec invalidNamespaceFault(const QString& query) {
    return withWmiStatus(query, QStringLiteral("The specified namespace does not exist. "),
                         0x8004100E);
}
FaultSpec brokenProviderFault(const QString& query) {
    return withWmiStatus(query, QStringLiteral("Generic failure "), 0x80041001);
}
// The provider failing in the middle of a walk (as with a value WinRM cannot render).
FaultSpec midWalkFault() {
    return wmi::wsman::providerFault(
        0x80338041, QStringLiteral("The request contains an invalid datetime value. "));
}
FaultSpec plainFault(const char* subcode, const QString& reason, std::uint32_t code) {
    FaultSpec f;
    f.subcode = QString::fromLatin1(subcode);
    f.reason = reason;
    f.message = reason;
    f.wsmanCode = code;
    if (f.subcode.startsWith(u"n:")) f.action = kEnumerationFault;
    return f;
}
FaultSpec invalidContextFault() {
    return plainFault("n:InvalidEnumerationContext",
                      QStringLiteral("The enumeration context supplied in the message is not "
                                     "valid. "),
                      0x8033801B);
}
FaultSpec envelopeTooSmallFault() {
    return plainFault("w:EncodingLimit",
                      QStringLiteral("The response that the WS-Management service computed "
                                     "exceeds the maximum envelope size in the request. "),
                      0x80338048);
}
FaultSpec schemaFault(const QString& why) {
    return plainFault("w:SchemaValidationError",
                      u"The SOAP XML in the message does not match the corresponding XML schema "
                      u"definition. " +
                          why,
                      0x80338041);
}

// One enumeration in progress.
struct Walk {
    const wmi::ClassData* data = nullptr;
    std::shared_ptr<const wmi::ClassData> chosen;  // the instances a WHERE clause kept
    const wmi::schema::Class* cls = nullptr;
    QByteArray ownName;             // of a class the schema does not know (all text)
    wmi::schema::Class ownClass{};  // that class, named so
    QString className;    // the element name of its instances
    QString resourceUri;  // as the Enumerate named it
    QString instanceUri;  // the instances' namespace
    QString query;
    std::size_t next = 0;  // index of the next item to send
    int replies = 0;       // replies sent: 1 after the EnumerateResponse
    QString context;       // the latest context handed out
};

struct PlannedTrouble {
    QString className;
    int reply;
    WsmanListener::Trouble what;
};

// One client connection of the plain HTTP listener: its security context, made by Negotiate.
struct Session {
    std::unique_ptr<wmi::wsman::GssContext> context;
    bool established = false;
};

// How a reply is to be spoilt once written, on the plain HTTP listener: it is sealed (or not)
// after the SOAP is complete.
struct Spoil {
    bool tamper = false;  // flip a byte of the sealed data
    bool plain = false;   // leave it unsealed
    bool cut = false;     // close the connection halfway through the sealed body
    bool huge = false;    // a 200 MB body in the sealed framing
};

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

Pkey newKey() {
    return Pkey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

bool addExtension(X509* cert, X509* issuer, int nid, const QByteArray& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.constData());
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for `key`, signed by `issuerKey` (itself when issuer is null).
Cert makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                     bool ca, const QByteArray& subjectAltName, long notBefore, long notAfter) {
    Cert cert(X509_new(), &X509_free);
    static std::atomic<long> serial{1};
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("qelto tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    bool ok = addExtension(cert.get(), signer, NID_subject_key_identifier, "hash") &&
              addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (ca) {
        ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE") &&
             addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
             addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
             addExtension(cert.get(), signer, NID_subject_alt_name, subjectAltName);
    }
    if (!ok || X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0)
        return Cert(nullptr, &X509_free);
    return cert;
}

bool writePem(const QString& path, X509* cert, EVP_PKEY* key) {
    BIO* bio = BIO_new_file(path.toLocal8Bit().constData(), "w");
    if (!bio) return false;
    const bool ok =
        cert ? PEM_write_bio_X509(bio, cert) == 1
             : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    BIO_free(bio);
    return ok;
}

}  // namespace

struct WsmanListener::Impl {
    using Lock = std::unique_lock<std::mutex>;

    std::shared_ptr<const wmi::InstanceStore> machine;
    WsmanListenerOptions options;
    QTemporaryDir dir;
    QString caFile, certFile, keyFile, certSha256;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::uint16_t port = 0;

    mutable std::mutex mutex;
    std::condition_variable stopping;
    bool stopped = false;
    QStringList violations;
    QStringList filters;
    // What each filter with a WHERE clause chose, worked out once, as a host's own index would.
    QHash<QString, std::shared_ptr<const wmi::ClassData>> chosen;
    Stats stats;
    int inFlight = 0;
    QSet<QString> messageIds;
    QSet<QString> connections;
    QSet<QString> negotiated;                     // connections whose Negotiate leg succeeded
    QHash<QString, std::shared_ptr<Walk>> walks;  // by latest context
    QSet<QString> retired;                        // contexts superseded by a fresher one
    QSet<QString> ended;                          // contexts of walks that ended with a fault
    std::vector<PlannedTrouble> troubles;
    int itemReplies = 0;
    QHash<QString, std::shared_ptr<Session>> sessions;  // plain HTTP: by connection
    QStringList peers;
    std::unordered_map<const httplib::Response*, Spoil> spoilt;  // replies in progress

    QString makeCertificates();
    bool authenticate(const httplib::Request& req, httplib::Response& res, const QString& conn);
    void handle(const httplib::Request& req, httplib::Response& res);
    // The SOAP exchange proper, whatever carried it.
    void serve(const std::string& body, const QString& contentType, httplib::Response& res);
    void handleSealed(const httplib::Request& req, httplib::Response& res, const QString& conn);
    void negotiateLeg(const QByteArray& token, const httplib::Request& req, httplib::Response& res,
                      const QString& conn);
    void sealReply(Session& session, const Spoil& spoil, httplib::Response& res);
    void offerNegotiate(httplib::Response& res);
    void enumerate(const Request& r, httplib::Response& res, Lock& lock);
    void pull(const Request& r, httplib::Response& res, Lock& lock);
    void release(const Request& r, httplib::Response& res);
    void invoke(const Request& r, httplib::Response& res);
    // Writes the next reply of `walk`: at most `max` items within the client's envelope size.
    void reply(Walk& walk, const Request& r, std::size_t max, httplib::Response& res, Lock& lock);
    void misbehave(WsmanListener::Trouble t, Walk& walk, const Request& r, httplib::Response& res,
                   Lock& lock);

    // The caller holds the mutex for these.
    void violation(const QString& what) { violations << what; }
    bool sealing() const {
        return options.transport == WsmanListenerOptions::Transport::SealedHttp;
    }
    void sendFault(httplib::Response& res, const FaultSpec& f, const QString& relatesTo) {
        ++stats.faults;
        const QByteArray body = wmi::wsman::encodeFault({relatesTo, {}}, f);
        res.status = 500;
        res.set_content(body.constData(), std::size_t(body.size()), kSoapType);
    }
    std::optional<WsmanListener::Trouble> troubleFor(const Walk& walk, int reply) const {
        for (const PlannedTrouble& t : troubles)
            if (t.reply == reply && (t.className.isEmpty() ||
                                     t.className.compare(walk.className, Qt::CaseInsensitive) == 0))
                return t.what;
        return std::nullopt;
    }
    QByteArray item(const Walk& walk, const wmi::Instance& instance) const {
        using S = WsmanListenerOptions::ItemShape;
        const bool wrap = options.itemShape == S::Wrapped ||
                          (options.itemShape == S::Alternating && itemReplies % 2 == 1);
        return wmi::wsman::encodeInstance(
            instance, *walk.cls, walk.instanceUri,
            wrap ? wmi::wsman::ItemShape::Item : wmi::wsman::ItemShape::Instance);
    }
};

QString WsmanListener::Impl::makeCertificates() {
    const Pkey caKey = newKey(), key = newKey();
    if (!caKey || !key) return QStringLiteral("cannot make keys");
    const Cert ca =
        makeCertificate(caKey.get(), "qelto test CA", nullptr, nullptr, true, {}, -3600, 86400);
    using C = WsmanListenerOptions::Certificate;
    QByteArray san;
    if (options.certificate == C::WrongName) {
        san = "DNS:other-host.qelto.test";
    } else {
        san = "IP:" + options.address.toLatin1() + ",DNS:localhost";
        for (const QString& name : options.certificateNames) san += ",DNS:" + name.toLatin1();
    }
    const bool self = options.certificate == C::SelfSigned;
    const bool expired = options.certificate == C::Expired;
    const Cert cert = makeCertificate(key.get(), "ws-test.qelto.test", self ? nullptr : ca.get(),
                                      self ? nullptr : caKey.get(), false, san,
                                      expired ? -10 * 86400 : -3600, expired ? -86400 : 86400);
    if (!ca || !cert) return QStringLiteral("cannot make certificates");
    caFile = dir.filePath(QStringLiteral("ca.pem"));
    certFile = dir.filePath(QStringLiteral("server.pem"));
    keyFile = dir.filePath(QStringLiteral("server.key"));
    if (!writePem(caFile, ca.get(), nullptr) || !writePem(certFile, cert.get(), nullptr) ||
        !writePem(keyFile, nullptr, key.get()))
        return QStringLiteral("cannot write certificates");
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    if (length <= 0) return QStringLiteral("cannot encode the certificate");
    certSha256 = QString::fromLatin1(
        QCryptographicHash::hash(QByteArrayView(der, length), QCryptographicHash::Sha256).toHex());
    OPENSSL_free(der);
    return {};
}

bool WsmanListener::Impl::authenticate(const httplib::Request& req, httplib::Response& res,
                                       const QString& conn) {
    const bool basic = !options.basicUser.isEmpty();
    const bool negotiate = bool(options.negotiate);
    if (!basic && !negotiate) return true;
    const QByteArray authorization =
        QByteArray::fromStdString(req.get_header_value("Authorization"));
    auto refuse = [&](const QByteArray& continuation) {
        std::lock_guard lock(mutex);
        ++stats.unauthorized;
        res.status = 401;
        if (!continuation.isEmpty()) {
            res.set_header("WWW-Authenticate",
                           QByteArray("Negotiate " + continuation.toBase64()).toStdString());
        } else {
            if (negotiate) res.set_header("WWW-Authenticate", "Negotiate");
            for (const QString& s : options.extraSchemes)
                res.set_header("WWW-Authenticate", s.toStdString());
            if (basic) res.set_header("WWW-Authenticate", "Basic realm=\"WSMAN\"");
        }
        res.set_header("Server", "Microsoft-HTTPAPI/2.0");
        return false;
    };
    const qsizetype space = authorization.indexOf(' ');
    const QByteArray scheme = authorization.left(space).toLower();
    const QByteArray credentials =
        space < 0 ? QByteArray() : authorization.mid(space + 1).trimmed();
    if (scheme == "basic" && basic) {
        const QByteArray expected = (options.basicUser + u':' + options.basicPassword).toUtf8();
        return QByteArray::fromBase64(credentials) == expected ? true : refuse({});
    }
    if (scheme == "negotiate" && negotiate) {
        QByteArray reply;
        const auto who = options.negotiate(QByteArray::fromBase64(credentials), &reply);
        if (!who) return refuse(reply);
        std::lock_guard lock(mutex);
        negotiated.insert(conn);
        if (!reply.isEmpty())
            res.set_header("WWW-Authenticate",
                           QByteArray("Negotiate " + reply.toBase64()).toStdString());
        return true;
    }
    {
        std::lock_guard lock(mutex);
        if (authorization.isEmpty() && negotiated.contains(conn)) return true;
    }
    return refuse({});
}

void WsmanListener::Impl::handle(const httplib::Request& req, httplib::Response& res) {
    const QString conn =
        QString::fromStdString(req.remote_addr) + u':' + QString::number(req.remote_port);
    {
        std::lock_guard lock(mutex);
        ++stats.requests;
        connections.insert(conn);
        stats.connections = int(connections.size());
        stats.maxConcurrent = std::max(stats.maxConcurrent, ++inFlight);
    }
    struct Leave {
        Impl* d;
        ~Leave() {
            std::lock_guard lock(d->mutex);
            --d->inFlight;
        }
    } leave{this};

    using X = WsmanListenerOptions::Transport;
    if (options.transport == X::HttpBasicOnly) {
        std::lock_guard lock(mutex);
        const std::string authorization = req.get_header_value("Authorization");
        if (QByteArray::fromStdString(authorization).toLower().startsWith("basic")) {
            ++stats.basicCredentials;
            violation(QStringLiteral("Basic credentials sent over plain HTTP"));
        }
        ++stats.unauthorized;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"WSMAN\"");
        res.set_header("Server", "Microsoft-HTTPAPI/2.0");
        return;
    }
    if (options.transport == X::SealedHttp) return handleSealed(req, res, conn);
    if (!authenticate(req, res, conn)) return;
    res.set_header("Server", "Microsoft-HTTPAPI/2.0");
    serve(req.body, QString::fromStdString(req.get_header_value("Content-Type")), res);
    std::lock_guard lock(mutex);
    spoilt.erase(&res);
}

void WsmanListener::Impl::offerNegotiate(httplib::Response& res) {
    std::lock_guard lock(mutex);
    ++stats.unauthorized;
    res.status = 401;
    res.set_header("WWW-Authenticate", "Negotiate");
    for (const QString& s : options.extraSchemes)
        res.set_header("WWW-Authenticate", s.toStdString());
}

// Windows's HTTP listener: Negotiate on the connection, then nothing but sealed messages on it.
void WsmanListener::Impl::handleSealed(const httplib::Request& req, httplib::Response& res,
                                       const QString& conn) {
    namespace ws = wmi::wsman;
    res.set_header("Server", "Microsoft-HTTPAPI/2.0");
    const QByteArray authorization =
        QByteArray::fromStdString(req.get_header_value("Authorization"));
    const qsizetype space = authorization.indexOf(' ');
    const QByteArray scheme = authorization.left(space).toLower();
    const QByteArray contentType = QByteArray::fromStdString(req.get_header_value("Content-Type"));
    QByteArray protocol;
    const bool encrypted = ws::isEncryptedType(contentType, &protocol);
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex);
        if (scheme == "basic") {
            ++stats.basicCredentials;
            violation(QStringLiteral("Basic credentials sent over plain HTTP"));
        }
        if (!req.body.empty() && !encrypted)
            violation(u"unsealed message on plain HTTP, Content-Type " +
                      QString::fromLatin1(contentType));
        session = sessions.value(conn);
    }
    if (scheme == "negotiate" && space > 0)
        return negotiateLeg(authorization.mid(space + 1).trimmed(), req, res, conn);
    if (!session || !session->established) return offerNegotiate(res);
    if (!encrypted) {
        res.status = req.body.empty() ? 200 : 500;  // refused, and no SOAP to say why
        return;
    }

    // A message refused from here on leaves the context unusable (NTLM's cipher has moved on):
    // the client must authenticate again.
    auto refuse = [&](const QString& why) {
        std::lock_guard lock(mutex);
        violation(why);
        sessions.remove(conn);
        res.status = 400;
    };
    std::vector<ws::EncryptedPart> parts;
    try {
        parts = ws::parseEncryptedBody(contentType, req.body);
    } catch (const ws::DecodeError& e) {
        return refuse(u"sealed body does not parse: " + e.message());
    }
    if (parts.size() != 1)
        return refuse(u"sealed body with " + QString::number(parts.size()) + u" parts");
    const ws::EncryptedPart& part = parts.front();
    if (protocol != ws::kSpnegoEncrypted || part.protocol != ws::kSpnegoEncrypted)
        return refuse(u"sealed with protocol " + QString::fromLatin1(protocol) + u" / " +
                      QString::fromLatin1(part.protocol));
    QByteArray plain;
    if (const auto failure = session->context->unseal(part.header, part.sealed, &plain))
        return refuse(u"seal does not verify: " + failure->text);
    if (plain.size() != part.plainLength)
        return refuse(u"OriginalContent Length " + QString::number(part.plainLength) + u" for " +
                      QString::number(plain.size()) + u" bytes");
    {
        std::lock_guard lock(mutex);
        ++stats.sealed;
    }
    serve(plain.toStdString(), QString::fromLatin1(part.originalType), res);
    Spoil spoil;
    {
        std::lock_guard lock(mutex);
        if (const auto it = spoilt.find(&res); it != spoilt.end()) {
            spoil = it->second;
            spoilt.erase(it);
        }
        // A session no longer accepted: the client starts over.
        if (res.status == 401) sessions.remove(conn);
    }
    sealReply(*session, spoil, res);
}

void WsmanListener::Impl::negotiateLeg(const QByteArray& token, const httplib::Request& req,
                                       httplib::Response& res, const QString& conn) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex);
        session = sessions.value(conn);
        // A new exchange, or one starting over on a connection that had a context.
        if (!session || session->established) {
            session = std::make_shared<Session>();
            sessions.insert(conn, session);
        }
    }
    if (!session->context) {
        session->context = wmi::wsman::GssContext::acceptor(
            {options.address, options.keytab.toLocal8Bit(), options.ntlmUserFile.toLocal8Bit()});
    }
    QByteArray reply;
    std::optional<wmi::wsman::GssFailure> failure = wmi::wsman::GssFailure{};
    if (session->context) failure = session->context->step(QByteArray::fromBase64(token), &reply);
    if (failure || !session->context->complete()) {
        if (failure) {
            std::lock_guard lock(mutex);
            sessions.remove(conn);
        }
        offerNegotiate(res);
        if (!failure) {
            // A further leg: the challenge replaces the bare offer.
            res.headers.erase("WWW-Authenticate");
            res.set_header("WWW-Authenticate",
                           QByteArray("Negotiate " + reply.toBase64()).toStdString());
        }
        return;
    }
    std::lock_guard lock(mutex);
    session->established = true;
    ++stats.handshakes;
    QString peer = session->context->peer();
    while (peer.endsWith(QChar(u'\0'))) peer.chop(1);  // gss-ntlmssp counts the terminator
    peers << peer;
    if (!reply.isEmpty())
        res.set_header("WWW-Authenticate",
                       QByteArray("Negotiate " + reply.toBase64()).toStdString());
    // The handshake carries no message: there is nothing to seal it with yet.
    if (!req.body.empty()) {
        violation(QStringLiteral("a message sent with the Negotiate handshake"));
        res.status = 500;
    }
}

// Seals the reply in place, or spoils it as planned.
void WsmanListener::Impl::sealReply(Session& session, const Spoil& spoil, httplib::Response& res) {
    namespace ws = wmi::wsman;
    if (spoil.plain || (res.body.empty() && !spoil.huge)) return;
    const QByteArray type = ws::encryptedContentType(ws::kSpnegoEncrypted);
    const QByteArray plain = QByteArray::fromStdString(res.body);
    ws::EncryptedPart part{ws::kSpnegoEncrypted, ws::kSoapType, plain.size(), {}, {}};
    if (spoil.huge) {
        // The framing of one sealed message around 200 MB that are no seal at all: the client
        // must give up on the size before it tries to unseal.
        part.header = QByteArray(16, '\0');
        part.plainLength = kHugeBytes;
        const QByteArray frame = ws::encryptedBody(part);
        const qsizetype at = frame.lastIndexOf("--Encrypted Boundary--");
        auto head = std::make_shared<QByteArray>(frame.left(at));
        auto tail = std::make_shared<QByteArray>(frame.mid(at));
        const qint64 total = head->size() + kHugeBytes + tail->size();
        auto written = std::make_shared<qint64>(0);
        res.set_content_provider(
            std::size_t(total), type.constData(),
            [head, tail, written, total](std::size_t, std::size_t, httplib::DataSink& sink) {
                QByteArray chunk;
                if (*written == 0) chunk = *head;
                const qint64 filler = std::min<qint64>(
                    kHugeBytes - std::max<qint64>(0, *written - head->size()), 1 << 16);
                chunk += QByteArray(filler, '\x5a');
                if (*written + chunk.size() == total - tail->size()) chunk += *tail;
                if (!sink.write(chunk.constData(), std::size_t(chunk.size()))) return false;
                *written += chunk.size();
                return true;
            });
        return;
    }
    if (const auto failure = session.context->seal(plain, &part.header, &part.sealed)) {
        std::lock_guard lock(mutex);
        violation(u"the listener cannot seal its reply: " + failure->text);
        res.status = 500;
        res.body.clear();
        return;
    }
    if (spoil.tamper && !part.sealed.isEmpty()) part.sealed[part.sealed.size() / 2] ^= 0x20;
    const QByteArray body = ws::encryptedBody(part);
    if (!spoil.cut) {
        res.set_content(body.constData(), std::size_t(body.size()), type.constData());
        return;
    }
    // The whole length announced, the connection closed halfway.
    auto whole = std::make_shared<QByteArray>(body);
    res.body.clear();
    res.set_content_provider(std::size_t(whole->size()), type.constData(),
                             [whole](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 const std::size_t half = std::size_t(whole->size()) / 2;
                                 if (offset >= half) return false;
                                 return sink.write(whole->constData() + offset, half - offset);
                             });
}

void WsmanListener::Impl::serve(const std::string& body, const QString& contentType,
                                httplib::Response& res) {
    const Request r = parseRequest(body);
    Lock lock(mutex);
    if (!contentType.startsWith(u"application/soap+xml", Qt::CaseInsensitive) ||
        !contentType.contains(u"charset=utf-8", Qt::CaseInsensitive))
        violation(u"Content-Type " + contentType);
    if (!r.parseError.isEmpty()) {
        violation(u"request does not parse: " + r.parseError);
        return sendFault(res, schemaFault(r.parseError), r.messageId);
    }
    if (r.messageIds != 1 || !r.messageId.startsWith(u"uuid:"))
        violation(u"MessageID missing, repeated or not a uuid: " + r.messageId);
    else if (messageIds.contains(r.messageId))
        violation(u"MessageID used twice: " + r.messageId);
    messageIds.insert(r.messageId);
    if (r.to.isEmpty()) violation(QStringLiteral("no a:To"));
    // Enumerating it makes Windows check and repair every MSI package.
    static const QRegularExpression product(QStringLiteral("Win32_Product\\b"));
    if (QString::fromStdString(body).contains(product))
        violation(QStringLiteral("a request names Win32_Product"));
    if (r.replyTo != kAnonymous) violation(u"a:ReplyTo/a:Address is " + r.replyTo);
    if (r.operation.isEmpty() && r.action.startsWith(kWmiResourcePrefix)) return invoke(r, res);
    if (r.action != kEnumerationActions + r.operation)
        violation(u"a:Action " + r.action + u" for a body " + r.operation);
    if (r.selectors) violation(QStringLiteral("selectors with a WQL filter"));
    bool sizeOk = false;
    if (r.maxEnvelopeSize.toInt(&sizeOk) < 8192 || !sizeOk)
        violation(u"w:MaxEnvelopeSize " + r.maxEnvelopeSize);
    static const QRegularExpression duration(QStringLiteral("^PT[0-9]+(\\.[0-9]+)?S$"));
    if (!duration.match(r.operationTimeout).hasMatch())
        violation(u"w:OperationTimeout " + r.operationTimeout);

    if (r.operation == u"Enumerate") return enumerate(r, res, lock);
    if (r.operation == u"Pull") return pull(r, res, lock);
    if (r.operation == u"Release") return release(r, res);
    violation(u"unexpected operation " + r.operation);
    sendFault(res, schemaFault(u"Unknown operation " + r.operation), r.messageId);
}

// The registry's methods (StdRegProv in root\default), answered from the machine's "Registry"
// class: one item per key, its hive (hDefKey), its path (Key) and its values.
std::vector<std::pair<QString, QStringList>> registryOutput(const wmi::ClassData* registry,
                                                            const QString& method,
                                                            const QHash<QString, QString>& in) {
    const QString key = in.value(QStringLiteral("sSubKeyName")),
                  hive = in.value(QStringLiteral("hDefKey"));
    const auto text = [](const wmi::Instance& i, QStringView name) {
        const wmi::Property* p = i.find(name);
        return p ? p->value.isText()
                       ? p->value.textValue()
                       : QString::number(p->value.intValue() + qint64(p->value.uintValue()))
                 : QString();
    };
    QStringList names;
    const wmi::Instance* exact = nullptr;
    bool found = false;
    static const wmi::ClassData none;
    for (const auto& item : (registry ? *registry : none).items) {
        if (!item || text(*item, u"hDefKey") != hive) continue;
        const QString path = text(*item, u"Key");
        if (path.compare(key, Qt::CaseInsensitive) == 0) exact = &*item, found = true;
        const QString prefix = key.isEmpty() ? key : key + u'\\';
        if (!path.startsWith(prefix, Qt::CaseInsensitive) || path.size() == prefix.size()) continue;
        found = true;
        const QString child = path.mid(prefix.size()).section(u'\\', 0, 0);
        if (!names.contains(child, Qt::CaseInsensitive)) names << child;
    }
    if (method == u"EnumKey")
        return {
            {QStringLiteral("sNames"), names},
            {QStringLiteral("ReturnValue"), {found ? QStringLiteral("0") : QStringLiteral("2")}}};
    const wmi::Property* value =
        exact ? exact->find(in.value(QStringLiteral("sValueName"))) : nullptr;
    if (!value || value->value.type() == wmi::Variant::Type::Null)
        return {
            {QStringLiteral("ReturnValue"), {exact ? QStringLiteral("1") : QStringLiteral("2")}}};
    const QString out =
        method == u"GetDWORDValue" ? QStringLiteral("uValue") : QStringLiteral("sValue");
    return {{out, {text(*exact, value->name)}},
            {QStringLiteral("ReturnValue"), {QStringLiteral("0")}}};
}

void WsmanListener::Impl::invoke(const Request& r, httplib::Response& res) {
    const QString classUri = kWmiResourcePrefix.toString() + u"root/default/StdRegProv";
    const QString method = r.action.mid(classUri.size() + 1);
    static const QStringList known = {QStringLiteral("EnumKey"), QStringLiteral("GetStringValue"),
                                      QStringLiteral("GetDWORDValue")};
    if (r.resourceUri != classUri || !r.action.startsWith(classUri + u'/') ||
        !known.contains(method) || r.invoked != method + u"_INPUT") {
        violation(u"a:Action " + r.action + u" on " + r.resourceUri + u" with " + r.invoked);
        return sendFault(res, schemaFault(u"Unknown action " + r.action), r.messageId);
    }
    const QByteArray body = wmi::wsman::invokeResponse(
        {r.messageId, {}}, classUri, method,
        registryOutput(machine->findClass(u"Registry"), method, r.parameters));
    res.set_content(body.constData(), std::size_t(body.size()), kSoapType);
}

void WsmanListener::Impl::enumerate(const Request& r, httplib::Response& res, Lock& lock) {
    ++stats.enumerates;
    filters << r.filter;
    if (!r.optimize) violation(QStringLiteral("Enumerate without w:OptimizeEnumeration"));
    if (r.maxElementsNs != ns::wsman || r.maxElements.toInt() < 1)
        violation(u"Enumerate without a w:MaxElements: " + r.maxElements);
    if (r.dialect != kWqlDialect) violation(u"filter dialect " + r.dialect);

    // The resource URI names the namespace; its class part is "*".
    QString nameSpace;
    if (r.resourceUri.startsWith(kWmiResourcePrefix) && r.resourceUri.endsWith(u"/*"))
        nameSpace = r.resourceUri.mid(kWmiResourcePrefix.size(),
                                      r.resourceUri.size() - kWmiResourcePrefix.size() - 2);
    const bool cimv2 = nameSpace.compare(u"root/cimv2", Qt::CaseInsensitive) == 0;
    const bool terminal =
        nameSpace.compare(u"root/cimv2/TerminalServices", Qt::CaseInsensitive) == 0;
    if (!cimv2 && !terminal) {
        violation(u"w:ResourceURI " + r.resourceUri);
        return sendFault(res, invalidNamespaceFault(r.filter), r.messageId);
    }
    if (terminal && !options.terminalServicesNamespace)
        return sendFault(res, invalidNamespaceFault(r.filter), r.messageId);

    // "Select * From <class>", with a WHERE clause only for the accounts.
    static const QRegularExpression select(
        QStringLiteral("^\\s*select\\s+\\*\\s+from\\s+(\\w+)\\s*(\\s+where\\s.*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = select.match(r.filter);
    const QString className = m.captured(1);
    const bool accounts = className.compare(u"Win32_UserAccount", Qt::CaseInsensitive) == 0;
    if (!m.hasMatch() || (m.hasCaptured(2) && !accounts)) {
        violation(u"filter is not \"Select * From <class>\": " + r.filter);
        return sendFault(res, invalidQueryFault(r.filter), r.messageId);
    }
    std::optional<wmi::wql::Query> query;
    try {
        query = wmi::wql::parse(r.filter);
    } catch (const wmi::Error&) {
        violation(u"filter is not WQL: " + r.filter);
        return sendFault(res, invalidQueryFault(r.filter), r.messageId);
    }
    // A computer that is no domain controller lists its own accounts only: asked without the
    // filter, a member of a domain walks every account of the domain. (A machine that holds no
    // domain account can be asked either way.)
    const auto holdsDomainAccounts = [&] {
        const wmi::ClassData* all = machine->findClass(u"Win32_UserAccount");
        if (!all) return false;
        for (const auto& item : all->items) {
            const wmi::Property* local = item ? item->find(u"LocalAccount") : nullptr;
            if (local && local->value.type() == wmi::Variant::Type::Bool &&
                !local->value.boolValue())
                return true;
        }
        return false;
    };
    if (accounts &&
        r.filter.simplified().compare(u"Select * From Win32_UserAccount Where LocalAccount = TRUE",
                                      Qt::CaseInsensitive) != 0 &&
        holdsDomainAccounts()) {
        const wmi::ClassData* system = machine->findClass(u"Win32_ComputerSystem");
        const wmi::Property* role = system && !system->items.empty() && system->items.front()
                                        ? system->items.front()->find(u"DomainRole")
                                        : nullptr;
        if (role && role->value.isNumber() && role->value.intValue() + role->value.uintValue() <= 3)
            violation(u"the accounts of a computer that is no domain controller asked with " +
                      r.filter);
    }
    const wmi::ClassData* data = machine->findClass(className);
    const bool isTerminal =
        className.compare(QLatin1StringView(kTerminalServiceClass), Qt::CaseInsensitive) == 0;
    const bool here = options.terminalServicesNamespace ? isTerminal == terminal : cimv2;
    if (!data || !here) return sendFault(res, wmi::wsman::invalidClassFault(r.filter), r.messageId);
    if (data->broken) return sendFault(res, brokenProviderFault(r.filter), r.messageId);

    auto walk = std::make_shared<Walk>();
    walk->data = data;
    walk->cls = wmi::schema::findClass(className);
    if (!walk->cls) {
        walk->ownName = data->name.toLatin1();
        walk->ownClass = {walk->ownName.constData(), {}};
        walk->cls = &walk->ownClass;
    }
    walk->className = QString::fromLatin1(walk->cls->name);
    walk->resourceUri = r.resourceUri;
    walk->instanceUri = r.resourceUri.chopped(1) + walk->className;
    walk->query = r.filter;
    if (query->hasWhere()) {
        auto& kept = chosen[r.filter];
        if (!kept) {
            auto c = std::make_shared<wmi::ClassData>();
            c->name = data->name;
            for (const auto& i : data->items)
                if (!i || query->matches([&](QStringView p) -> std::optional<wmi::Variant> {
                        // Recorded machines hold their own accounts only, most without the flag.
                        const wmi::Property* found = i->find(p);
                        if (found) return found->value;
                        if (p.compare(u"LocalAccount", Qt::CaseInsensitive) == 0)
                            return wmi::Variant(true);
                        return std::nullopt;
                    }))
                    c->items.push_back(i);
            kept = std::move(c);
        }
        walk->chosen = kept;
        walk->data = walk->chosen.get();
    }
    // Windows puts one item in the first reply, however many the client allows.
    reply(*walk, r, r.optimize ? 1 : 0, res, lock);
    if (!walk->context.isEmpty()) walks.insert(walk->context, walk);
}

void WsmanListener::Impl::pull(const Request& r, httplib::Response& res, Lock& lock) {
    ++stats.pulls;
    const auto it = walks.find(r.context);
    if (it == walks.end()) {
        violation((retired.contains(r.context) ? u"Pull with a superseded context "
                   : ended.contains(r.context) ? u"Pull after a fault, context "
                                               : u"Pull with an unknown context ") +
                  r.context);
        return sendFault(res, invalidContextFault(), r.messageId);
    }
    const std::shared_ptr<Walk> walk = *it;
    if (r.resourceUri != walk->resourceUri)
        violation(u"Pull's w:ResourceURI " + r.resourceUri + u" differs from " + walk->resourceUri);
    if (r.maxElementsNs != ns::enumeration || r.maxElements.toInt() < 1)
        violation(u"Pull without an n:MaxElements: " + r.maxElements);
    walks.erase(it);
    const std::size_t max =
        std::size_t(std::clamp(r.maxElements.toInt(), 1, std::max(1, options.pullBatch)));
    reply(*walk, r, max, res, lock);
    if (!walk->context.isEmpty()) walks.insert(walk->context, walk);
}

void WsmanListener::Impl::release(const Request& r, httplib::Response& res) {
    ++stats.releases;
    const auto it = walks.find(r.context);
    if (it == walks.end()) {
        if (!ended.contains(r.context))
            violation((retired.contains(r.context) ? u"Release of a superseded context "
                                                   : u"Release of an unknown context ") +
                      r.context);
        return sendFault(res, invalidContextFault(), r.messageId);
    }
    walks.erase(it);
    const QByteArray body = wmi::wsman::releaseResponse({r.messageId, {}});
    res.set_content(body.constData(), std::size_t(body.size()), kSoapType);
}

void WsmanListener::Impl::reply(Walk& walk, const Request& r, std::size_t max,
                                httplib::Response& res, Lock& lock) {
    using T = WsmanListener::Trouble;
    const bool first = walk.replies == 0;
    if (const auto t = troubleFor(walk, walk.replies)) {
        // These spoil the seal of a good reply, made below.
        if (*t == T::Tampered || *t == T::PlainReply)
            (*t == T::Tampered ? spoilt[&res].tamper : spoilt[&res].plain) = true;
        else
            return misbehave(*t, walk, r, res, lock);
    }
    ++walk.replies;
    // From here on the context the client sent is spent, whatever the reply.
    if (!r.context.isEmpty()) retired.insert(r.context);
    walk.context.clear();
    const auto& items = walk.data->items;
    if (walk.next < items.size() && !items[walk.next]) {
        // The provider fails on this object: the walk ends with a fault.
        ended.insert(r.context);
        return sendFault(res, midWalkFault(), r.messageId);
    }
    const qsizetype limit = r.maxEnvelopeSize.toInt() > 0 ? r.maxEnvelopeSize.toInt() : 512000;
    constexpr qsizetype kOverhead = 1024;  // the envelope around the items
    wmi::wsman::ItemsReply out;
    qsizetype size = kOverhead;
    while (out.items.size() < max && walk.next < items.size() && items[walk.next]) {
        QByteArray one = item(walk, *items[walk.next]);
        if (size + one.size() > limit) {
            if (out.items.empty()) {
                ended.insert(r.context);
                return sendFault(res, envelopeTooSmallFault(), r.messageId);
            }
            break;
        }
        size += one.size();
        out.items.push_back(std::move(one));
        ++walk.next;
    }
    ++itemReplies;
    out.endOfSequence = walk.next >= items.size();
    if (out.endOfSequence)
        out.emptyContext = first;
    else
        out.context = walk.context = newUuid();
    if (first && !r.optimize) out = {{}, walk.context, false, false};  // plain WS-Enumeration
    const QByteArray body = first ? wmi::wsman::enumerateResponse({r.messageId, {}}, out)
                                  : wmi::wsman::pullResponse({r.messageId, {}}, out);
    res.set_content(body.constData(), std::size_t(body.size()), kSoapType);
}

// Writes the reply trouble `t` asks for in place of the next reply of `walk`.
void WsmanListener::Impl::misbehave(WsmanListener::Trouble t, Walk& walk, const Request& r,
                                    httplib::Response& res, Lock& lock) {
    using T = WsmanListener::Trouble;
    const bool first = walk.replies == 0;
    // Replies lost on the way leave the walk where it was: the client's latest context stays
    // valid, so that it can still be released.
    walk.context = r.context;
    switch (t) {
        case T::InvalidClassFault:
        case T::AccessDeniedFault:
        case T::ProviderFault:
            walk.context.clear();
            ended.insert(r.context);
            return sendFault(res,
                             t == T::InvalidClassFault   ? wmi::wsman::invalidClassFault(walk.query)
                             : t == T::AccessDeniedFault ? wmi::wsman::accessDeniedFault()
                                                         : midWalkFault(),
                             r.messageId);
        case T::Unauthorized:
            ++stats.unauthorized;
            res.status = 401;
            if (options.negotiate || sealing()) res.set_header("WWW-Authenticate", "Negotiate");
            if (!options.basicUser.isEmpty())
                res.set_header("WWW-Authenticate", "Basic realm=\"WSMAN\"");
            return;
        case T::Stall:
            stopping.wait_for(lock, kStallLimit, [&] { return stopped; });
            res.status = 503;
            return;
        case T::Malformed:
        case T::TruncatedXml:
        case T::CutConnection:
        case T::Huge:
        case T::Tampered:
        case T::PlainReply:
            break;
    }
    // A good reply, to be spoilt: its items stand where the marker is.
    QByteArray one;
    for (const auto& i : walk.data->items)
        if (i) {
            one = item(walk, *i);
            break;
        }
    if (one.isEmpty()) one = "<p:Filler xmlns:p=\"urn:qelto:filler\">x</p:Filler>";
    if (t == T::Malformed) one.insert(one.size() / 2, "</p:Mismatched>");
    const QByteArray marker = "<!--items-->";
    wmi::wsman::ItemsReply out{{marker}, newUuid(), false, false};
    const QByteArray whole = first ? wmi::wsman::enumerateResponse({r.messageId, {}}, out)
                                   : wmi::wsman::pullResponse({r.messageId, {}}, out);
    const qsizetype at = whole.indexOf(marker);
    const QByteArray head = whole.left(at), tail = whole.mid(at + marker.size());
    if (t == T::Malformed || t == T::TruncatedXml) {
        QByteArray body = head + one + tail;
        if (t == T::TruncatedXml) body.truncate(body.size() / 2);
        res.set_content(body.constData(), std::size_t(body.size()), kSoapType);
        return;
    }
    if (sealing()) {
        // Sealed whole first; the seal's framing is cut or blown up afterwards.
        (t == T::Huge ? spoilt[&res].huge : spoilt[&res].cut) = true;
        const QByteArray body = head + one + tail;
        res.set_content(body.constData(), std::size_t(body.size()), kSoapType);
        return;
    }
    // Streamed: 200 MB of items, or one reply whose connection closes halfway.
    struct State {
        QByteArray head, one, tail;
        qint64 count, total, written;
        bool cut;
    };
    const qint64 count =
        t == T::Huge ? (kHugeBytes - head.size() - tail.size()) / one.size() + 1 : 1;
    auto s = std::make_shared<State>(State{head, one, tail, count,
                                           head.size() + count * one.size() + tail.size(), 0,
                                           t == T::CutConnection});
    res.set_content_provider(
        std::size_t(s->total), kSoapType, [s](std::size_t, std::size_t, httplib::DataSink& sink) {
            if (s->cut && s->written >= s->total / 2) return false;  // closes the connection
            QByteArray chunk = s->written == 0 ? s->head : QByteArray();
            const qint64 done = s->written == 0 ? 0 : (s->written - s->head.size()) / s->one.size();
            const qint64 n = std::min<qint64>(s->count - done, 256);
            for (qint64 i = 0; i < n; ++i) chunk += s->one;
            if (done + n == s->count) chunk += s->tail;
            if (s->cut) chunk.truncate(s->total / 2 - s->written);
            if (!sink.write(chunk.constData(), std::size_t(chunk.size()))) return false;
            s->written += chunk.size();
            return true;
        });
}

WsmanListener::WsmanListener(std::shared_ptr<const wmi::InstanceStore> machine,
                             WsmanListenerOptions options)
    : d_(std::make_unique<Impl>()) {
    d_->machine = std::move(machine);
    d_->options = std::move(options);
    if (!d_->dir.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return;
    }
    if (!d_->machine) {
        error_ = QStringLiteral("no machine to serve");
        return;
    }
    Impl* d = d_.get();
    if (d->options.transport == WsmanListenerOptions::Transport::Https) {
        error_ = d->makeCertificates();
        if (!error_.isEmpty()) return;
        d->server = std::make_unique<httplib::SSLServer>(d->certFile.toLocal8Bit().constData(),
                                                         d->keyFile.toLocal8Bit().constData());
        if (!d->server->is_valid()) {
            error_ = QStringLiteral("the TLS server does not accept its certificate");
            return;
        }
    } else {
        d->server = std::make_unique<httplib::Server>();
        // The security context lives as long as the connection: keep it open as Windows does.
        d->server->set_keep_alive_max_count(10000);
    }
    d->server->set_keep_alive_timeout(5);
    d->server->set_tcp_nodelay(true);  // no 40 ms wait for acknowledgements on loopback
    // A kept-alive connection holds a worker while it is idle: enough workers that a client's
    // few connections never queue behind each other, as they would not on a real host.
    d->server->new_task_queue = [] { return new httplib::ThreadPool(32); };
    d->server->set_read_timeout(30);
    d->server->Post("/wsman", [d](const httplib::Request& req, httplib::Response& res) {
        d->handle(req, res);
    });
    auto elsewhere = [d](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(d->mutex);
        ++d->stats.requests;
        d->violation(QString::fromStdString(req.method + " " + req.path));
        res.status = 404;
    };
    d->server->Post(".*", elsewhere);
    d->server->Get(".*", elsewhere);
    const int port =
        d->options.port
            ? (d->server->bind_to_port(d->options.address.toStdString(), d->options.port)
                   ? d->options.port
                   : -1)
            : d->server->bind_to_any_port(d->options.address.toStdString());
    if (port <= 0) {
        error_ = u"cannot listen on " + d->options.address;
        return;
    }
    d->port = std::uint16_t(port);
    d->thread = std::thread([d] { d->server->listen_after_bind(); });
    // stop() before the accept loop runs would be lost and the destructor would wait forever.
    for (int i = 0; i < 500 && !d->server->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

WsmanListener::~WsmanListener() {
    if (!d_->server) return;
    {
        std::lock_guard lock(d_->mutex);
        d_->stopped = true;
    }
    d_->stopping.notify_all();
    d_->server->stop();
    if (d_->thread.joinable()) d_->thread.join();
}

QString WsmanListener::address() const {
    return d_->options.address;
}
std::uint16_t WsmanListener::port() const {
    return d_->port;
}
QString WsmanListener::url() const {
    const bool v6 = d_->options.address.contains(u':');
    const bool tls = d_->options.transport == WsmanListenerOptions::Transport::Https;
    return (tls ? u"https://" : u"http://") +
           (v6 ? u'[' + d_->options.address + u']' : d_->options.address) + u':' +
           QString::number(d_->port);
}
QString WsmanListener::caFile() const {
    return d_->caFile;
}
QString WsmanListener::certificateSha256() const {
    return d_->certSha256;
}

void WsmanListener::troubleAt(const QString& className, int reply, Trouble trouble) {
    std::lock_guard lock(d_->mutex);
    d_->troubles.push_back({className, reply, trouble});
}

QStringList WsmanListener::violations() const {
    std::lock_guard lock(d_->mutex);
    return d_->violations;
}

QStringList WsmanListener::filters() const {
    std::lock_guard lock(d_->mutex);
    return d_->filters;
}

QStringList WsmanListener::peers() const {
    std::lock_guard lock(d_->mutex);
    return d_->peers;
}

WsmanListener::Stats WsmanListener::stats() const {
    std::lock_guard lock(d_->mutex);
    Stats s = d_->stats;
    s.openContexts = int(d_->walks.size());
    return s;
}

std::uint16_t WsmanListener::unusedPort(const QString& address) {
    const bool v6 = address.contains(u':');
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address.toLatin1().constData(), &a->sin6_addr);
        len = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        ::inet_pton(AF_INET, address.toLatin1().constData(), &a->sin_addr);
        len = sizeof(sockaddr_in);
    }
    std::uint16_t port = 0;
    // Bound but never listening: connections to it are refused.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
        port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    ::close(fd);
    return port;
}

}  // namespace qelto::test
