// The tests' WS-Management listener checked on its own, with a hand-written client: the shape of
// its walks, its checks of the client, its namespaces, certificates, credentials and troubles.
#include "listener.h"

#include "wmi/error.h"
#include "wmi/linux/source.h"
#include "wmi/schema.h"
#include "wmi/snapshot.h"
#include "wmi/wsman/decode.h"

#include <gtest/gtest.h>
#include <httplib.h>

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
        {QStringLiteral("linux desktop"), wmi::lnx::scanLocal(src + u"wmi/linux/machines/desktop")},
        {QStringLiteral("linux laptop"), wmi::lnx::scanLocal(src + u"wmi/linux/machines/laptop")},
        {QStringLiteral("linux minimal"), wmi::lnx::scanLocal(src + u"wmi/linux/machines/minimal")},
        {QStringLiteral("linux server"), wmi::lnx::scanLocal(src + u"wmi/linux/machines/server")},
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
