// The tests' WS-Management listener checked on its own, with a hand-written client: the shape of
// its walks, its checks of the client, its namespaces, certificates, credentials and troubles;
// and its plain HTTP listener with sealed messages, by hand and through python3-winrm.
#include "listener.h"
#include "sources/linux/local.h"

#include "kdc_fixture.h"
#include "ntlm_users.h"

#include "sources/linux/source.h"
#include "sources/wsman/decode.h"
#include "sources/wsman/encrypted.h"
#include "sources/wsman/gss.h"
#include "wmi/error.h"
#include "wmi/schema.h"
#include "wmi/snapshot.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>

using namespace qelto;
using qelto::test::WsmanListener;
using qelto::test::WsmanListenerOptions;

namespace {

std::shared_ptr<const wmi::InstanceStore> desktop() {
    static const auto store =
        wmi::loadSnapshot(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json"));
    return store;
}

const QString kCimv2 = QStringLiteral("http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*");
const QString kTerminal =
    QStringLiteral("http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/TerminalServices/*");

std::string envelope(const QString& action, const QString& resourceUri, const QString& body,
                     QString messageId = {}) {
    if (messageId.isEmpty())
        messageId = u"uuid:" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString xml =
        u"<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        u"xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
        u"xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
        u"xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\"><s:Header>"
        u"<a:To>https://127.0.0.2/wsman</a:To><a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
        u"http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:Address></a:ReplyTo>"
        u"<a:Action s:mustUnderstand=\"true\">http://schemas.xmlsoap.org/ws/2004/09/enumeration/" +
        action + u"</a:Action><a:MessageID>" + messageId +
        u"</a:MessageID><w:ResourceURI s:mustUnderstand=\"true\">" + resourceUri +
        u"</w:ResourceURI><w:MaxEnvelopeSize s:mustUnderstand=\"true\">153600</w:MaxEnvelopeSize>"
        u"<w:OperationTimeout>PT60S</w:OperationTimeout></s:Header><s:Body>" +
        body + u"</s:Body></s:Envelope>";
    return xml.toStdString();
}
std::string enumerate(const QString& className, const QString& uri = kCimv2) {
    return envelope(QStringLiteral("Enumerate"), uri,
                    u"<n:Enumerate><w:OptimizeEnumeration/><w:MaxElements>32000</w:MaxElements>"
                    u"<w:Filter Dialect=\"http://schemas.microsoft.com/wbem/wsman/1/WQL\">"
                    u"Select * From " +
                        className + u"</w:Filter></n:Enumerate>");
}
std::string pull(const QString& context, const QString& uri = kCimv2) {
    return envelope(QStringLiteral("Pull"), uri,
                    u"<n:Pull><n:EnumerationContext>" + context +
                        u"</n:EnumerationContext><n:MaxElements>32000</n:MaxElements></n:Pull>");
}

// A client of the listener that trusts its CA.
struct Client {
    explicit Client(const WsmanListener& l, const std::string& user = {},
                    const std::string& password = {})
        : http(l.address().toStdString(), l.port()) {
        http.set_ca_cert_path(l.caFile().toStdString().c_str());
        http.enable_server_certificate_verification(true);
        http.set_read_timeout(5);
        if (!user.empty()) http.set_basic_auth(user.c_str(), password.c_str());
    }
    httplib::Result post(const std::string& body) {
        return http.Post("/wsman", body, "application/soap+xml;charset=UTF-8");
    }
    wmi::wsman::Decoded call(const std::string& body, const wmi::schema::Class* cls = nullptr) {
        const auto res = post(body);
        if (!res) throw std::runtime_error("no reply");
        return wmi::wsman::decodeEnumerationReply(QByteArray::fromStdString(res->body), cls);
    }
    httplib::SSLClient http;
};

TEST(WsmanListener, WalksLikeWindowsAndRetiresEachContext) {
    WsmanListener listener(desktop());
    ASSERT_TRUE(listener.ok()) << listener.error().toStdString();
    Client client(listener);
    const QString cls = QStringLiteral("Win32_PortConnector");
    const std::size_t expected = desktop()->findClass(cls)->items.size();
    ASSERT_GT(expected, 4u);

    auto reply = client.call(enumerate(cls));
    ASSERT_FALSE(reply.fault);
    EXPECT_EQ(reply.reply.items.size(), 1u);
    EXPECT_FALSE(reply.reply.endOfSequence);
    std::size_t items = reply.reply.items.size();
    QStringList contexts{reply.reply.context};
    while (!reply.reply.endOfSequence && contexts.size() < 50) {
        reply = client.call(pull(contexts.last()));
        ASSERT_FALSE(reply.fault) << reply.fault->reason.toStdString();
        EXPECT_LE(reply.reply.items.size(), 3u);
        items += reply.reply.items.size();
        if (!reply.reply.endOfSequence) contexts << reply.reply.context;
    }
    EXPECT_EQ(items, expected);
    EXPECT_EQ(QSet<QString>(contexts.begin(), contexts.end()).size(), contexts.size());
    EXPECT_TRUE(listener.violations().isEmpty())
        << listener.violations().join(u" | ").toStdString();
    EXPECT_EQ(listener.stats().openContexts, 0);

    // A context already answered is refused, and the client is told off for it.
    const auto stale = client.call(pull(contexts.first()));
    ASSERT_TRUE(stale.fault);
    EXPECT_EQ(stale.fault->subcode, QStringLiteral("n:InvalidEnumerationContext"));
    ASSERT_EQ(listener.violations().size(), 1);
    EXPECT_TRUE(listener.violations().first().contains(u"superseded"))
        << listener.violations().first().toStdString();
}

// Every recorded machine (the snapshots and the Linux machines) served in full: each class walks
// to EndOfSequence with all its objects and properties, an object that cannot be enumerated ends
// its walk with a fault, and a Windows client's requests raise no complaint.
TEST(WsmanListener, ServesEveryRecordedMachine) {
    const QString src = QStringLiteral(QELTO_SOURCE_DIR "/tests/");
    const std::vector<std::pair<QString, std::shared_ptr<const wmi::InstanceStore>>> machines = {
        {QStringLiteral("container"), wmi::loadSnapshot(src + u"scan/machines/container.json")},
        {QStringLiteral("desktop"), wmi::loadSnapshot(src + u"scan/machines/desktop.json")},
        {QStringLiteral("linux desktop"),
         wmi::lnx::scanLocal(src + u"sources/linux/machines/desktop")},
        {QStringLiteral("linux laptop"),
         wmi::lnx::scanLocal(src + u"sources/linux/machines/laptop")},
        {QStringLiteral("linux minimal"),
         wmi::lnx::scanLocal(src + u"sources/linux/machines/minimal")},
        {QStringLiteral("linux server"),
         wmi::lnx::scanLocal(src + u"sources/linux/machines/server")},
    };
    using S = WsmanListenerOptions::ItemShape;
    int batch = 0;
    for (const auto& [name, store] : machines) {
        SCOPED_TRACE(name.toStdString());
        ++batch;
        WsmanListener listener(store, WsmanListenerOptions().withPullBatch(batch).withItemShape(
                                          batch % 2 ? S::Wrapped : S::Alternating));
        ASSERT_TRUE(listener.ok());
        Client client(listener);
        for (const wmi::ClassData* data : store->classes()) {
            SCOPED_TRACE(data->name.toStdString());
            const wmi::schema::Class* cls = wmi::schema::findClass(data->name);
            const bool terminal =
                data->name.compare(u"Win32_TerminalServiceSetting", Qt::CaseInsensitive) == 0;
            const QString uri = terminal ? kTerminal : kCimv2;
            auto reply = client.call(enumerate(data->name, uri), cls);
            std::vector<wmi::Instance> got;
            for (int round = 0; round < 100 && !reply.fault; ++round) {
                for (auto& i : reply.reply.items) got.push_back(std::move(i));
                if (reply.reply.endOfSequence) break;
                reply = client.call(pull(reply.reply.context, uri), cls);
            }
            const auto failing = std::find(data->items.begin(), data->items.end(), std::nullopt);
            ASSERT_EQ(got.size(), std::size_t(failing - data->items.begin()));
            EXPECT_EQ(bool(reply.fault), failing != data->items.end());
            for (std::size_t i = 0; i < got.size(); ++i)
                for (const wmi::Property& p : data->items[i]->properties) {
                    const bool absentArray =
                        p.value.isNull() || (p.value.isArray() && p.value.arrayValue().empty());
                    if (!absentArray) {
                        EXPECT_TRUE(got[i].find(p.name)) << p.name.toStdString();
                    }
                }
        }
        EXPECT_TRUE(listener.violations().isEmpty())
            << listener.violations().join(u" | ").toStdString();
        EXPECT_EQ(listener.stats().openContexts, 0);
    }
}

TEST(WsmanListener, RecordsWhatTheClientGetsWrong) {
    const struct {
        const char* what;
        std::string request;
        const char* violation;
    } cases[] = {
        {"no OptimizeEnumeration",
         envelope(QStringLiteral("Enumerate"), kCimv2,
                  QStringLiteral("<n:Enumerate><w:MaxElements>5</w:MaxElements><w:Filter "
                                 "Dialect=\"http://schemas.microsoft.com/wbem/wsman/1/WQL\">"
                                 "Select * From Win32_BIOS</w:Filter></n:Enumerate>")),
         "OptimizeEnumeration"},
        {"a WHERE clause", enumerate(QStringLiteral("Win32_BIOS Where Name = 'x'")),
         "Select * From"},
        {"a repeated MessageID",
         envelope(QStringLiteral("Pull"), kCimv2, QStringLiteral("<n:Pull/>"),
                  QStringLiteral("uuid:fixed")),
         "MessageID used twice"},
        {"an unknown context", pull(QStringLiteral("uuid:never-issued")), "unknown context"},
        {"another namespace",
         enumerate(QStringLiteral("Win32_BIOS"),
                   QStringLiteral("http://schemas.microsoft.com/wbem/wsman/1/wmi/root/default/*")),
         "ResourceURI"},
    };
    WsmanListener listener(desktop());
    ASSERT_TRUE(listener.ok()) << listener.error().toStdString();
    Client client(listener);
    client.post(envelope(QStringLiteral("Pull"), kCimv2, QStringLiteral("<n:Pull/>"),
                         QStringLiteral("uuid:fixed")));
    for (const auto& c : cases) {
        const int before = int(listener.violations().size());
        ASSERT_TRUE(client.post(c.request)) << c.what;
        const QStringList v = listener.violations().mid(before);
        EXPECT_TRUE(std::any_of(
            v.begin(), v.end(),
            [&](const QString& s) { return s.contains(QLatin1StringView(c.violation)); }))
            << c.what << ": " << v.join(u" | ").toStdString();
    }
}

TEST(WsmanListener, TerminalServiceSettingLivesInItsOwnNamespace) {
    const QString cls = QStringLiteral("Win32_TerminalServiceSetting");
    for (const bool vista : {true, false}) {
        WsmanListenerOptions options;
        if (!vista) options.withoutTerminalServicesNamespace();
        WsmanListener listener(desktop(), options);
        ASSERT_TRUE(listener.ok());
        Client client(listener);
        const auto inCimv2 = client.call(enumerate(cls));
        const auto inTerminal = client.call(enumerate(cls, kTerminal));
        const auto& answered = vista ? inTerminal : inCimv2;
        const auto& refused = vista ? inCimv2 : inTerminal;
        ASSERT_FALSE(answered.fault) << vista;
        EXPECT_EQ(answered.reply.items.size(), 1u);
        EXPECT_TRUE(answered.reply.endOfSequence);
        ASSERT_TRUE(refused.fault) << vista;
        if (vista) {
            EXPECT_EQ(refused.fault->wmiError, wmi::code::InvalidClass);
        }
        // Other classes are not in the TerminalServices namespace.
        EXPECT_TRUE(client.call(enumerate(QStringLiteral("Win32_BIOS"), kTerminal)).fault);
        EXPECT_TRUE(listener.violations().isEmpty())
            << listener.violations().join(u" | ").toStdString();
    }
}

TEST(WsmanListener, CertificatesOnlyTheGoodOneIsTrusted) {
    using C = WsmanListenerOptions::Certificate;
    for (const C kind : {C::CaSigned, C::SelfSigned, C::Expired, C::WrongName}) {
        WsmanListener listener(desktop(), WsmanListenerOptions().withCertificate(kind));
        ASSERT_TRUE(listener.ok()) << listener.error().toStdString();
        Client client(listener);
        const auto res = client.post(enumerate(QStringLiteral("Win32_BIOS")));
        EXPECT_EQ(bool(res), kind == C::CaSigned) << int(kind);
        if (!res) {
            EXPECT_EQ(res.error(), httplib::Error::SSLServerVerification) << int(kind);
        }
        EXPECT_EQ(listener.certificateSha256().size(), 64);
    }
}

TEST(WsmanListener, BasicCredentialsAndTheLinesOf401) {
    WsmanListener listener(
        desktop(), WsmanListenerOptions().withBasic(QStringLiteral("admin"), QStringLiteral("pw")));
    ASSERT_TRUE(listener.ok());
    const struct {
        std::string user, password;
        int status;
    } cases[] = {
        {"", "", 401}, {"admin", "wrong", 401}, {"other", "pw", 401}, {"admin", "pw", 200}};
    for (const auto& c : cases) {
        Client client(listener, c.user, c.password);
        const auto res = client.post(enumerate(QStringLiteral("Win32_BIOS")));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status) << c.user << ":" << c.password;
        if (c.status == 401) {
            EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Basic realm=\"WSMAN\"");
        }
    }
    EXPECT_EQ(listener.stats().unauthorized, 3);
}

TEST(WsmanListener, TroublesOnDemand) {
    using T = WsmanListener::Trouble;
    WsmanListener listener(desktop());
    ASSERT_TRUE(listener.ok());
    const QString cls = QStringLiteral("Win32_PortConnector");
    listener.troubleAt(QStringLiteral("Win32_CacheMemory"), 1, T::ProviderFault);
    listener.troubleAt(QStringLiteral("Win32_UserAccount"), 0, T::AccessDeniedFault);
    listener.troubleAt(QStringLiteral("Win32_Share"), 0, T::Malformed);
    listener.troubleAt(QStringLiteral("Win32_PhysicalMemory"), 1, T::TruncatedXml);
    listener.troubleAt(QStringLiteral("Win32_DiskDrive"), 0, T::CutConnection);
    listener.troubleAt(cls, 0, T::Huge);
    Client client(listener);

    // A fault in the middle of a walk: the first reply is good, the Pull fails.
    const auto first = client.call(enumerate(QStringLiteral("Win32_CacheMemory")));
    ASSERT_FALSE(first.fault);
    const auto failed = client.call(pull(first.reply.context));
    ASSERT_TRUE(failed.fault);
    EXPECT_EQ(failed.fault->code, QStringLiteral("s:Receiver"));
    // Access denied in Windows's words.
    const auto denied = client.call(enumerate(QStringLiteral("Win32_UserAccount")));
    ASSERT_TRUE(denied.fault);
    EXPECT_EQ(denied.fault->wmiError, wmi::code::AccessDenied);
    // Replies that cannot be read.
    EXPECT_THROW(client.call(enumerate(QStringLiteral("Win32_Share"))), wmi::wsman::DecodeError);
    const auto good = client.call(enumerate(QStringLiteral("Win32_PhysicalMemory")));
    EXPECT_THROW(client.call(pull(good.reply.context)), wmi::wsman::DecodeError);
    EXPECT_FALSE(client.post(enumerate(QStringLiteral("Win32_DiskDrive"))));
    // 200 MB announced; read only the first megabyte.
    std::size_t received = 0;
    std::string length;
    httplib::SSLClient raw(listener.address().toStdString(), listener.port());
    raw.set_ca_cert_path(listener.caFile().toStdString().c_str());
    raw.enable_server_certificate_verification(true);
    httplib::Request req;
    req.method = "POST";
    req.path = "/wsman";
    req.body = enumerate(cls);
    req.set_header("Content-Type", "application/soap+xml;charset=UTF-8");
    req.response_handler = [&](const httplib::Response& r) {
        length = r.get_header_value("Content-Length");
        return true;
    };
    req.content_receiver = [&](const char*, std::size_t n, uint64_t, uint64_t) {
        received += n;
        return received < 1024 * 1024;
    };
    raw.send(req);
    EXPECT_GE(std::stoll(length.empty() ? "0" : length), 200LL * 1024 * 1024);
    EXPECT_GE(received, 1024u * 1024u);
    // The lost replies left their walks open for a Release; the faulted ones are closed.
    EXPECT_EQ(listener.stats().openContexts, 1);
    EXPECT_TRUE(listener.violations().isEmpty())
        << listener.violations().join(u" | ").toStdString();
}

TEST(WsmanListener, StallEndsWhenTheListenerStops) {
    auto listener = std::make_unique<WsmanListener>(desktop());
    ASSERT_TRUE(listener->ok());
    listener->troubleAt({}, 0, WsmanListener::Trouble::Stall);
    Client client(*listener);
    client.http.set_read_timeout(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.post(enumerate(QStringLiteral("Win32_BIOS"))));
    listener.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace

namespace {

using wmi::wsman::GssContext;

// A client of the plain HTTP listener doing by hand what Windows's clients do: Negotiate on an
// empty POST, then every message sealed, on one kept-alive connection.
struct SealedClient {
    SealedClient(const WsmanListener& l, const GssContext::Initiator& who)
        : http(l.address().toStdString(), l.port()) {
        gss = GssContext::initiator(who);
        http.set_keep_alive(true);
        http.set_read_timeout(10);
    }
    // The status that ends the exchange (200 when the context is made), -1 on a local failure.
    int authenticate() {
        QByteArray in, out;
        for (int leg = 0; leg < 4; ++leg) {
            if (const auto f = step(in, &out)) return failed(f->text);
            if (out.isEmpty()) return gss->complete() ? 200 : failed(QStringLiteral("no token"));
            const httplib::Headers h{
                {"Authorization", "Negotiate " + out.toBase64().toStdString()}};
            const auto res = http.Post("/wsman", h, "", "application/soap+xml;charset=UTF-8");
            if (!res) return failed(QStringLiteral("no reply"));
            const QByteArray offer =
                QByteArray::fromStdString(res->get_header_value("WWW-Authenticate"));
            in = QByteArray::fromBase64(offer.mid(offer.indexOf(' ') + 1));
            if (res->status == 200 && !in.isEmpty() && !gss->complete()) {
                if (const auto f = step(in, &out)) return failed(f->text);
            }
            if (res->status != 401 || !offer.contains(' ')) return res->status;
        }
        return failed(QStringLiteral("too many legs"));
    }
    std::optional<wmi::wsman::GssFailure> step(const QByteArray& in, QByteArray* out) {
        return gss->step(in, out);
    }
    int failed(const QString& why) {
        error = why;
        return -1;
    }
    httplib::Result send(const std::string& soap, bool tamper = false) {
        namespace ws = wmi::wsman;
        ws::EncryptedPart part{ws::kSpnegoEncrypted, ws::kSoapType, qsizetype(soap.size()), {}, {}};
        if (const auto f = gss->seal(QByteArray::fromStdString(soap), &part.header, &part.sealed))
            ADD_FAILURE() << f->text.toStdString();
        if (tamper) part.sealed[0] ^= 0x01;
        return http.Post("/wsman", ws::encryptedBody(part).toStdString(),
                         ws::encryptedContentType(ws::kSpnegoEncrypted).toStdString());
    }
    // The reply's SOAP, unsealed; nullopt (and `error`) when it is not sealed or does not verify.
    std::optional<QByteArray> open(const httplib::Result& res) {
        namespace ws = wmi::wsman;
        if (!res) return failed(QStringLiteral("no reply")), std::nullopt;
        try {
            const auto parts = ws::parseEncryptedBody(
                QByteArray::fromStdString(res->get_header_value("Content-Type")),
                QByteArray::fromStdString(res->body));
            if (parts.size() != 1) return failed(QStringLiteral("parts")), std::nullopt;
            QByteArray plain;
            if (const auto f = gss->unseal(parts[0].header, parts[0].sealed, &plain))
                return failed(f->text), std::nullopt;
            if (plain.size() != parts[0].plainLength)
                return failed(QStringLiteral("length")), std::nullopt;
            return plain;
        } catch (const ws::DecodeError& e) {
            return failed(e.message()), std::nullopt;
        }
    }

    httplib::Client http;
    std::unique_ptr<GssContext> gss;
    QString error;
};

QString recordedCaption(const QString& cls) {
    return desktop()->findClass(cls)->items.front()->find(u"Caption")->value.textValue();
}

// Kerberos and NTLM (SPNEGO, a local account and one in a domain) make a context the listener
// seals its replies with, faults included; the planned spoilt replies do not open.
TEST(SealedListener, RoundTripsWithKerberosAndNtlm) {
    TestKdc kdc;
    NtlmUsers users;
    ASSERT_TRUE(users.ok()) << users.error().toStdString();
    if (kdc.ok())
        kdc.useEnvironment();
    else
        users.useEnvironment();
    WsmanListener listener(desktop(), WsmanListenerOptions().withSealing(
                                          kdc.ok() ? kdc.keytab : QString(), users.file));
    ASSERT_TRUE(listener.ok()) << listener.error().toStdString();
    using T = WsmanListener::Trouble;
    listener.troubleAt(QStringLiteral("Win32_ComputerSystem"), 0, T::PlainReply);
    listener.troubleAt(QStringLiteral("Win32_BIOS"), 0, T::Tampered);
    const QString target = listener.address();
    struct Row {
        const char* what;
        GssContext::Initiator who;
        QString peer;
    };
    std::vector<Row> rows = {
        {"NTLM, local account",
         {target, users.local.logon(), qelto::wmi::Secret::copyOf(users.local.password), {}, false},
         users.local.name},
        {"NTLM, user@DOMAIN",
         {target,
          users.inDomain.name + u'@' + users.inDomain.domain,
          qelto::wmi::Secret::copyOf(users.inDomain.password),
          {},
          false},
         users.inDomain.logon()},
    };
    if (kdc.ok())
        rows.push_back({"Kerberos", {target, {}, {}, {}, false}, kdc.userPrincipal});
    else
        std::cout << "no Kerberos: " << kdc.error().toStdString() << "\n";
    const QString os = QStringLiteral("Win32_OperatingSystem");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SealedClient client(listener, row.who);
        ASSERT_EQ(client.authenticate(), 200) << client.error.toStdString();
        EXPECT_EQ(listener.peers().last(), row.peer);

        const auto res = client.send(enumerate(os));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        const auto plain = client.open(res);
        ASSERT_TRUE(plain) << client.error.toStdString();
        const auto reply = wmi::wsman::decodeEnumerationReply(*plain, wmi::schema::findClass(os));
        ASSERT_EQ(reply.reply.items.size(), 1u);
        EXPECT_EQ(reply.reply.items[0].find(u"Caption")->value.textValue(), recordedCaption(os));

        const auto fault = client.send(enumerate(QStringLiteral("Win32_NoSuchClass")));
        ASSERT_TRUE(fault);
        EXPECT_EQ(fault->status, 500);
        const auto faultXml = client.open(fault);
        ASSERT_TRUE(faultXml) << client.error.toStdString();
        EXPECT_TRUE(wmi::wsman::decodeEnumerationReply(*faultXml, nullptr).fault);

        const auto plainReply = client.send(enumerate(QStringLiteral("Win32_ComputerSystem")));
        ASSERT_TRUE(plainReply);
        EXPECT_EQ(plainReply->get_header_value("Content-Type"),
                  "application/soap+xml;charset=UTF-8");
        EXPECT_FALSE(client.open(client.send(enumerate(QStringLiteral("Win32_BIOS")))));
    }
    const auto stats = listener.stats();
    EXPECT_EQ(stats.handshakes, int(rows.size()));
    EXPECT_EQ(stats.sealed, 4 * int(rows.size()));
    EXPECT_TRUE(listener.violations().isEmpty())
        << listener.violations().join(u" | ").toStdString();
}

// What Windows refuses on its HTTP listener is refused, and recorded when the client is at fault.
TEST(SealedListener, RefusesWhatIsNotSealed) {
    NtlmUsers users;
    ASSERT_TRUE(users.ok()) << users.error().toStdString();
    users.useEnvironment();
    WsmanListener listener(desktop(), WsmanListenerOptions().withSealing({}, users.file));
    ASSERT_TRUE(listener.ok()) << listener.error().toStdString();
    const GssContext::Initiator who{listener.address(),
                                    users.local.name,
                                    qelto::wmi::Secret::copyOf(users.local.password),
                                    {},
                                    false};
    const std::string soap = enumerate(QStringLiteral("Win32_BIOS"));
    const struct {
        const char* what;
        std::function<httplib::Result(SealedClient&)> send;
        int status;
        const char* violation;  // nullptr: none
    } cases[] = {
        {"plain SOAP before authenticating",
         [&](SealedClient& c) { return c.http.Post("/wsman", soap, "application/soap+xml"); }, 401,
         "unsealed"},
        {"plain SOAP after authenticating",
         [&](SealedClient& c) {
             c.authenticate();
             return c.http.Post("/wsman", soap, "application/soap+xml");
         },
         500, "unsealed"},
        {"sealed on a connection that never authenticated",
         [&](SealedClient& c) {
             c.authenticate();
             c.http.stop();  // the next request opens a new connection
             return c.send(soap);
         },
         401, nullptr},
        {"a seal that does not verify",
         [&](SealedClient& c) {
             c.authenticate();
             return c.send(soap, true);
         },
         400, "does not verify"},
        {"Basic credentials",
         [&](SealedClient& c) {
             c.http.set_basic_auth("qelto", "x");
             return c.http.Post("/wsman", "", "application/soap+xml");
         },
         401, "Basic"},
    };
    for (const auto& c : cases) {
        SealedClient client(listener, who);
        const int before = int(listener.violations().size());
        const auto res = c.send(client);
        ASSERT_TRUE(res) << c.what;
        EXPECT_EQ(res->status, c.status) << c.what;
        EXPECT_TRUE(res->body.empty()) << c.what;
        if (res->status == 401) {
            EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Negotiate") << c.what;
        }
        const QStringList v = listener.violations().mid(before);
        if (c.violation) {
            ASSERT_EQ(v.size(), 1) << c.what << ": " << v.join(u" | ").toStdString();
            EXPECT_TRUE(v[0].contains(QLatin1StringView(c.violation))) << v[0].toStdString();
        } else {
            EXPECT_TRUE(v.isEmpty()) << c.what << ": " << v.join(u" | ").toStdString();
        }
    }
    EXPECT_EQ(listener.stats().sealed, 0);
    EXPECT_EQ(listener.stats().basicCredentials, 1);

    // Offering Basic alone, a listener counts every request that carries a password anyway.
    WsmanListener basicOnly(desktop(), WsmanListenerOptions().withHttpBasicOnly());
    ASSERT_TRUE(basicOnly.ok());
    EXPECT_TRUE(basicOnly.url().startsWith(u"http://"));
    httplib::Client http(basicOnly.address().toStdString(), basicOnly.port());
    for (const bool withPassword : {false, true}) {
        if (withPassword) http.set_basic_auth("qelto", "x");
        const auto res = http.Post("/wsman", soap, "application/soap+xml;charset=UTF-8");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 401);
        EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Basic realm=\"WSMAN\"");
        EXPECT_EQ(basicOnly.stats().basicCredentials, int(withPassword));
    }
}

// python3-winrm, written by others, talks to the sealed listener with NTLM: its framing and seals
// are the ones Windows's clients use. It also calls the registry's EnumKey, on a server's keys.
TEST(SealedListener, PythonWinrmReadsTheRecordedMachine) {
    NtlmUsers users;
    ASSERT_TRUE(users.ok()) << users.error().toStdString();
    auto machine = std::make_shared<wmi::InstanceStore>();
    for (const wmi::ClassData* c : desktop()->classes())
        machine->addClass(c->name).items = c->items;
    const auto server = wmi::loadSnapshot(
        QStringLiteral(QELTO_SOURCE_DIR "/tests/sources/wsman/machines/windows-server.json"));
    machine->addClass(QStringLiteral("Registry")).items = server->findClass(u"Registry")->items;
    WsmanListener listener(machine, WsmanListenerOptions().withSealing({}, users.file));
    ASSERT_TRUE(listener.ok()) << listener.error().toStdString();
    // Its NTLM hashes the password with MD4, which OpenSSL 3 keeps in its legacy provider.
    QTemporaryDir tmp;
    const QString opensslConf = tmp.filePath(QStringLiteral("openssl.cnf"));
    QFile conf(opensslConf);
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(
        "openssl_conf = init\n[init]\nproviders = providers\n"
        "[providers]\ndefault = on\nlegacy = on\n[on]\nactivate = 1\n");
    conf.close();
    const QStringList classes{QStringLiteral("Win32_OperatingSystem"),
                              QStringLiteral("Win32_PortConnector"), QStringLiteral("StdRegProv")};
    for (const NtlmUser& user : {users.local, users.inDomain}) {
        SCOPED_TRACE(user.logon().toStdString());
        QProcess python;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* proxy : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            env.remove(QString::fromLatin1(proxy));
        env.insert(QStringLiteral("NO_PROXY"), QStringLiteral("*"));
        env.insert(QStringLiteral("OPENSSL_CONF"), opensslConf);
        python.setProcessEnvironment(env);
        // Debian's interpreter, which has the packaged python3-winrm.
        const bool debian = QFile::exists(QStringLiteral("/usr/bin/python3"));
        python.start(debian ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3"),
                     QStringList{QStringLiteral(QELTO_SOURCE_DIR
                                                "/tests/sources/wsman/sealed_winrm_client.py"),
                                 listener.url(), user.logon()} +
                         classes);
        python.write((user.password + u'\n').toUtf8());
        python.closeWriteChannel();
        ASSERT_TRUE(python.waitForFinished(60000));
        if (python.exitCode() == 77)
            GTEST_SKIP() << "python3-winrm is not installed: "
                         << python.readAllStandardError().toStdString();
        ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();

        QStringList expected;
        for (const QString& cls : classes.first(2))
            for (const auto& item : desktop()->findClass(cls)->items) {
                const wmi::Property* caption = item->find(u"Caption");
                expected << cls + u'\t' +
                                (caption && caption->value.isText() ? caption->value.textValue()
                                                                    : QStringLiteral("-"));
            }
        // The subkeys of the server's 64-bit uninstall key, in the file's order.
        for (const char* key : {"{A8C9A2B1-5C8E-4F49-9E5A-1B2C3D4E5F60}", "Notepad++",
                                "{1B5D1F2E-3C4A-4E6B-8F9A-0A1B2C3D4E5F}", "AddressBook"})
            expected << u"StdRegProv\t" + QString::fromLatin1(key);
        EXPECT_EQ(
            QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
            expected);
    }
    EXPECT_EQ(listener.peers(), (QStringList{users.local.name, users.inDomain.logon()}));
    EXPECT_TRUE(listener.violations().isEmpty())
        << listener.violations().join(u" | ").toStdString();
}

}  // namespace
