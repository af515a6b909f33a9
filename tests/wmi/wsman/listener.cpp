#include "listener.h"

#include "wmi/schema.h"
#include "wmi/wsman/encode.h"

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
            if (is(ns::wsman, u"OptimizeEnumeration")) {
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
    const wmi::schema::Class* cls = nullptr;
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
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::uint16_t port = 0;

    mutable std::mutex mutex;
    std::condition_variable stopping;
    bool stopped = false;
    QStringList violations;
    QStringList filters;
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

    QString makeCertificates();
    bool authenticate(const httplib::Request& req, httplib::Response& res, const QString& conn);
    void handle(const httplib::Request& req, httplib::Response& res);
    void enumerate(const Request& r, httplib::Response& res, Lock& lock);
    void pull(const Request& r, httplib::Response& res, Lock& lock);
    void release(const Request& r, httplib::Response& res);
    // Writes the next reply of `walk`: at most `max` items within the client's envelope size.
    void reply(Walk& walk, const Request& r, std::size_t max, httplib::Response& res, Lock& lock);
    void misbehave(WsmanListener::Trouble t, Walk& walk, const Request& r, httplib::Response& res,
                   Lock& lock);

    // The caller holds the mutex for these.
    void violation(const QString& what) { violations << what; }
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

    if (!authenticate(req, res, conn)) return;
    res.set_header("Server", "Microsoft-HTTPAPI/2.0");

    const Request r = parseRequest(req.body);
    Lock lock(mutex);
    const QString contentType = QString::fromStdString(req.get_header_value("Content-Type"));
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
    if (r.replyTo != kAnonymous) violation(u"a:ReplyTo/a:Address is " + r.replyTo);
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

    static const QRegularExpression select(
        QStringLiteral("^\\s*select\\s+\\*\\s+from\\s+(\\w+)\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = select.match(r.filter);
    if (!m.hasMatch()) {
        violation(u"filter is not \"Select * From <class>\": " + r.filter);
        return sendFault(res, invalidQueryFault(r.filter), r.messageId);
    }
    const QString className = m.captured(1);
    const wmi::ClassData* data = machine->findClass(className);
    const bool isTerminal =
        className.compare(QLatin1StringView(kTerminalServiceClass), Qt::CaseInsensitive) == 0;
    const bool here = options.terminalServicesNamespace ? isTerminal == terminal : cimv2;
    if (!data || !here) return sendFault(res, wmi::wsman::invalidClassFault(r.filter), r.messageId);
    if (data->broken) return sendFault(res, brokenProviderFault(r.filter), r.messageId);

    auto walk = std::make_shared<Walk>();
    walk->data = data;
    walk->cls = wmi::schema::findClass(className);
    static const wmi::schema::Class unknown{"", {}};
    if (!walk->cls) walk->cls = &unknown;
    walk->className = walk->cls == &unknown ? data->name : QString::fromLatin1(walk->cls->name);
    walk->resourceUri = r.resourceUri;
    walk->instanceUri = r.resourceUri.chopped(1) + walk->className;
    walk->query = r.filter;
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
    const bool first = walk.replies == 0;
    if (const auto t = troubleFor(walk, walk.replies)) return misbehave(*t, walk, r, res, lock);
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
            if (options.negotiate) res.set_header("WWW-Authenticate", "Negotiate");
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
    error_ = d_->makeCertificates();
    if (!error_.isEmpty()) return;
    d_->server = std::make_unique<httplib::SSLServer>(d_->certFile.toLocal8Bit().constData(),
                                                      d_->keyFile.toLocal8Bit().constData());
    if (!d_->server->is_valid()) {
        error_ = QStringLiteral("the TLS server does not accept its certificate");
        return;
    }
    Impl* d = d_.get();
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
    const int port = d->server->bind_to_any_port(d->options.address.toStdString());
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
    return u"https://" + (v6 ? u'[' + d_->options.address + u']' : d_->options.address) + u':' +
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
