// The throwaway KDC and the Negotiate acceptor together: libcurl logs in with the user's ticket
// against a small HTTP server that asks for Negotiate and checks tokens with the acceptor.
#include "negotiate.h"
#include "kdc_fixture.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <curl/curl.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

#include <QProcess>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using qelto::test::NegotiateAcceptor;

namespace {

// An HTTP server on the KDC's address that answers 200 with the accepted principal as the body,
// or 401 "WWW-Authenticate: Negotiate".
class NegotiateServer {
  public:
    NegotiateServer(const QString& address, const QString& keytab) : acceptor_(keytab) {
        server_.Get("/wsman", [this](const httplib::Request& req, httplib::Response& res) {
            std::string reply;
            QString error;
            const auto who = acceptor_.acceptAuthorization(req.get_header_value("Authorization"),
                                                           &reply, &error);
            if (who) {
                if (!reply.empty()) res.set_header("WWW-Authenticate", reply);
                res.set_content(who->toStdString(), "text/plain");
            } else {
                if (req.has_header("Authorization")) {
                    std::lock_guard lock(mutex_);
                    refusal_ = error;
                }
                res.status = 401;
                res.set_header("WWW-Authenticate", "Negotiate");
            }
        });
        port = server_.bind_to_any_port(address.toStdString());
        if (port > 0) thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~NegotiateServer() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }
    // Why the last token sent was refused; empty when none was.
    QString refusal() const {
        std::lock_guard lock(mutex_);
        return refusal_;
    }
    int port = -1;

  private:
    mutable std::mutex mutex_;
    QString refusal_;
    NegotiateAcceptor acceptor_;
    httplib::Server server_;
    std::thread thread_;
};

struct CurlResult {
    long status = 0;
    std::string body;
    CURLcode code = CURLE_OK;
};

size_t collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

CurlResult curlNegotiate(const QString& url) {
    CurlResult r;
    CURL* curl = curl_easy_init();
    if (!curl) return r;
    const std::string u = url.toStdString();
    curl_easy_setopt(curl, CURLOPT_URL, u.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_NEGOTIATE);
    curl_easy_setopt(curl, CURLOPT_USERPWD, ":");  // the ticket, not a name and password
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 15000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    r.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_cleanup(curl);
    return r;
}

// A first-leg token for HTTP@host made with the current ticket cache, as an HTTP client would.
QByteArray initiatorToken(const QString& host, gss_OID mech) {
    OM_uint32 minor = 0;
    const QByteArray service = "HTTP@" + host.toUtf8();
    gss_buffer_desc nameBuffer{static_cast<size_t>(service.size()),
                               const_cast<char*>(service.constData())};
    gss_name_t target = GSS_C_NO_NAME;
    if (GSS_ERROR(gss_import_name(&minor, &nameBuffer, GSS_C_NT_HOSTBASED_SERVICE, &target)))
        return {};
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    const OM_uint32 major = gss_init_sec_context(
        &minor, GSS_C_NO_CREDENTIAL, &context, target, mech, GSS_C_MUTUAL_FLAG, 0,
        GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &out, nullptr, nullptr);
    QByteArray token;
    if (!GSS_ERROR(major))
        token = QByteArray(static_cast<const char*>(out.value), static_cast<qsizetype>(out.length));
    gss_release_buffer(&minor, &out);
    gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    gss_release_name(&minor, &target);
    return token;
}

gss_OID_desc kSpnego = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

class NegotiateTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        kdc_ = new TestKdc(TestKdcOptions().withPassword(QStringLiteral("Kerb-0nly-for-tests")));
    }
    static void TearDownTestSuite() {
        delete kdc_;
        kdc_ = nullptr;
        curl_global_cleanup();
    }
    void SetUp() override {
        ASSERT_TRUE(kdc_->ok()) << kdc_->error().toStdString();
        kdc_->useEnvironment();
    }
    void TearDown() override { kdc_->restoreEnvironment(); }

    static TestKdc* kdc_;
};
TestKdc* NegotiateTest::kdc_ = nullptr;

TEST_F(NegotiateTest, KdcIssuedTheUsersTicket) {
    EXPECT_EQ(kdc_->userPrincipal, QStringLiteral("qeltouser@QELTO.TEST"));
    EXPECT_EQ(kdc_->servicePrincipals, QStringList{QStringLiteral("HTTP/127.0.0.2@QELTO.TEST")});
    QProcess klist;
    klist.setProcessEnvironment(kdc_->processEnvironment());
    klist.start(QStringLiteral("klist"), {QStringLiteral("-s")});  // status only: a valid ticket
    ASSERT_TRUE(klist.waitForFinished(10000));
    EXPECT_EQ(klist.exitCode(), 0);
    // The user's password works (and a wrong one does not) against this KDC.
    for (const auto& [password, accepted] :
         {std::pair{kdc_->password, true}, std::pair{QStringLiteral("wrong"), false}}) {
        QTemporaryDir tmp;
        QProcessEnvironment e = kdc_->processEnvironment();
        e.insert(QStringLiteral("KRB5CCNAME"), u"FILE:" + tmp.path() + u"/cc");
        QProcess kinit;
        kinit.setProcessEnvironment(e);
        kinit.start(QStringLiteral("kinit"), {kdc_->userPrincipal});
        ASSERT_TRUE(kinit.waitForStarted(5000));
        kinit.write(password.toUtf8() + '\n');
        kinit.closeWriteChannel();
        ASSERT_TRUE(kinit.waitForFinished(10000));
        EXPECT_EQ(kinit.exitCode() == 0, accepted) << kinit.readAllStandardError().toStdString();
    }
}

TEST_F(NegotiateTest, CurlLogsInWithTheTicket) {
    TestKdc other;  // the same realm and names, other keys
    ASSERT_TRUE(other.ok()) << other.error().toStdString();
    QTemporaryDir empty;
    struct Case {
        const char* name;
        QString ccache;
        QString keytab;
        long status;
        std::string body;
        bool tokenRefused;  // a token reached the acceptor and was refused
    };
    const Case cases[] = {
        {"ticket", kdc_->ccache, kdc_->keytab, 200, "qeltouser@QELTO.TEST", false},
        {"no ticket", u"FILE:" + empty.path() + u"/none", kdc_->keytab, 401, "", false},
        {"keys of another KDC", kdc_->ccache, other.keytab, 401, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kdc_->useCcache(c.ccache);
        NegotiateServer server(kdc_->address, c.keytab);
        ASSERT_GT(server.port, 0);
        const CurlResult r = curlNegotiate(u"http://" + kdc_->address + u':' +
                                           QString::number(server.port) + u"/wsman");
        EXPECT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(!server.refusal().isEmpty(), c.tokenRefused) << server.refusal().toStdString();
        if (c.status == 200) {
            EXPECT_EQ(r.body, c.body);
        }
    }
}

TEST_F(NegotiateTest, AcceptorChecksEachToken) {
    NegotiateAcceptor acceptor(kdc_->keytab);
    const QByteArray spnego = initiatorToken(kdc_->address, &kSpnego);
    const QByteArray krb5 = initiatorToken(kdc_->address, const_cast<gss_OID>(gss_mech_krb5));
    ASSERT_FALSE(spnego.isEmpty());
    ASSERT_FALSE(krb5.isEmpty());
    QByteArray cut = krb5;
    cut.chop(8);
    QByteArray flipped = initiatorToken(kdc_->address, const_cast<gss_OID>(gss_mech_krb5));
    flipped[flipped.size() - 20] = static_cast<char>(flipped[flipped.size() - 20] ^ 0x55);
    struct Case {
        const char* name;
        QByteArray token;
        bool accepted;
    };
    const Case cases[] = {
        {"spnego", spnego, true},
        {"kerberos", krb5, true},
        {"replayed", spnego, false},
        {"truncated", cut, false},
        {"altered", flipped, false},
        {"garbage", QByteArray("\x60\x05\x06\x03garbage", 11), false},
        {"empty", QByteArray(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray reply("stale");
        QString error;
        const auto who = acceptor.acceptNegotiate(c.token, &reply, &error);
        EXPECT_EQ(who.has_value(), c.accepted) << error.toStdString();
        if (c.accepted) {
            EXPECT_EQ(*who, QStringLiteral("qeltouser@QELTO.TEST"));
            EXPECT_FALSE(reply.isEmpty());  // mutual authentication was asked for
        } else {
            EXPECT_FALSE(error.isEmpty());
            EXPECT_TRUE(reply.isEmpty());
        }
    }
}

TEST_F(NegotiateTest, AcceptsFromSeveralThreadsAtOnce) {
    const NegotiateAcceptor acceptor(kdc_->keytab);
    constexpr int kThreads = 8;
    std::vector<QByteArray> tokens;
    for (int i = 0; i < kThreads; ++i) tokens.push_back(initiatorToken(kdc_->address, &kSpnego));
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (const QByteArray& token : tokens)
        threads.emplace_back([&, token] {
            QByteArray reply;
            if (acceptor.acceptNegotiate(token, &reply) == u"qeltouser@QELTO.TEST") ++accepted;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(accepted.load(), kThreads);
}

TEST_F(NegotiateTest, AuthorizationHeader) {
    NegotiateAcceptor acceptor(kdc_->keytab);
    const QByteArray token = initiatorToken(kdc_->address, &kSpnego);
    ASSERT_FALSE(token.isEmpty());
    struct Case {
        const char* name;
        std::string header;
        bool accepted;
    };
    const Case cases[] = {
        {"basic", "Basic dXNlcjpwdw==", false},
        {"not base64", "Negotiate %%%", false},
        {"no token", "Negotiate", false},
        {"token", "negotiate  " + token.toBase64().toStdString() + " ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string www = "stale";
        const auto who = acceptor.acceptAuthorization(c.header, &www);
        EXPECT_EQ(who.has_value(), c.accepted);
        if (c.accepted) {
            ASSERT_TRUE(www.starts_with("Negotiate "));
            EXPECT_FALSE(
                QByteArray::fromBase64(QByteArray::fromStdString(www.substr(10))).isEmpty());
        } else {
            EXPECT_EQ(www, "");
        }
    }
}

TEST(TestKdcTest, StopEndsTheKdc) {
    QString dir;
    quint16 port = 0;
    {
        TestKdc kdc;
        ASSERT_TRUE(kdc.ok()) << kdc.error().toStdString();
        dir = kdc.dir;
        port = kdc.port;
        EXPECT_TRUE(QFile::exists(kdc.keytab));
    }
    EXPECT_FALSE(QFile::exists(dir));
    QProcess probe;  // nothing listens there any more
    probe.start(QStringLiteral("bash"),
                {QStringLiteral("-c"), u"exec 3<>/dev/tcp/127.0.0.2/" + QString::number(port)});
    ASSERT_TRUE(probe.waitForFinished(5000));
    EXPECT_NE(probe.exitCode(), 0);
}

}  // namespace
