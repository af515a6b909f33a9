// The WS-Management source against the tests' listener on 127.0.0.2, always through the source
// itself: host text → the connector with the WS-Management source alone, then the scan.

#include "kdc_fixture.h"
#include "listener.h"
#include "negotiate.h"
#include "ntlm_users.h"

#include "connect/connector.h"
#include "scan/scan.h"
#include "sources/linux/connector.h"
#include "sources/wsman/client.h"
#include "sources/wsman/source.h"
#include "wmi/error.h"
#include "wmi/snapshot.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace qelto::test {
namespace {

using namespace std::chrono_literals;
using Trouble = WsmanListener::Trouble;
using Cert = WsmanListenerOptions::Certificate;

const QString kUser = QStringLiteral("scanner");
const QString kPassword = QStringLiteral("Pässwort-1");

// A recorded machine as a store: the snapshots of tests/scan, the Linux machines gathered.
std::shared_ptr<const wmi::InstanceStore> machine(const QString& name) {
    if (name.endsWith(u".json"))
        return wmi::loadSnapshot(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/") + name);
    wmi::lnx::LocalConnector connector(
        QStringLiteral(QELTO_SOURCE_DIR "/tests/sources/linux/machines/") + name);
    std::shared_ptr<wmi::Service> service =
        connector.connect({QStringLiteral("."), wmi::Road::CurrentLogin});
    auto* store = dynamic_cast<wmi::StoreService*>(service.get());
    if (!store) return nullptr;
    return {service, &store->store()};
}

// Everything a scan shows, one text per line or field, so that two scans compare as lists.
std::vector<std::string> scanOf(wmi::Service& service) {
    scan::InventoryTree tree;
    scan::ScanRecord record;
    record.clearForScan();
    std::vector<scan::Problem> problems;
    scan::infoscan(service, tree, record, QLocale(QLocale::English, QLocale::UnitedStates),
                   &problems);
    std::vector<std::string> out;
    for (int i = 0; i < tree.count(); ++i) {
        const scan::Node& n = tree.node(i);
        const QString parent = n.parent < 0 ? QString() : tree.node(n.parent).key;
        out.push_back(
            QString(parent + u'|' + n.key + u'|' + n.image + u'|' + n.text).toStdString());
    }
    for (const auto& f : scan::ScanRecord::publicFields()) {
        const wmi::Variant& v = record.*f.member;
        out.push_back(std::string(f.name) + "=" + std::to_string(int(v.type())) + ":" +
                      v.textValue().toStdString() + std::to_string(v.intValue()));
    }
    for (const scan::Problem& p : problems) out.push_back("problem " + p.query.toStdString());
    return out;
}

wmi::ConnectRequest requestFor(const WsmanListener& l, const QString& url = {}) {
    wmi::ConnectRequest r(url.isEmpty() ? l.url() : url, wmi::Road::Credentials, kUser,
                          wmi::Secret::copyOf(kPassword));
    r.caFile = l.caFile();
    r.connectTimeout = 5s;
    r.timeout = 30s;
    return r;
}

std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& r) {
    // The WS-Management source alone, linked in instead of loaded.
    std::vector<qelto::connect::Source> one;
    one.push_back(wmi::wsman::declaration(wmi::wsman::newDialer()));
    return qelto::connect::SourceConnector(std::move(one)).connect(r);
}

// The error a connection fails with, or nullopt when it succeeds.
std::optional<wmi::Error> failureOf(const wmi::ConnectRequest& r) {
    try {
        connect(r);
    } catch (const wmi::Error& e) {
        return e;
    }
    return std::nullopt;
}

// What one query gives: the number of objects, or the error that ended it.
struct Walked {
    int objects = 0;
    std::optional<wmi::Error> error;
};
Walked walk(wmi::Service& s, const QString& wql) {
    Walked w;
    try {
        auto c = s.execQuery(wql);
        while (c->next()) ++w.objects;
    } catch (const wmi::Error& e) {
        w.error = e;
    }
    return w;
}

class RecordedMachine : public testing::TestWithParam<const char*> {};

TEST_P(RecordedMachine, ScanOverWsmanEqualsTheScanOfTheMachine) {
    const auto store = machine(QString::fromLatin1(GetParam()));
    ASSERT_TRUE(store);
    WsmanListener listener(store, WsmanListenerOptions().withBasic(kUser, kPassword));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();

    wmi::StoreService direct(store);
    const std::vector<std::string> expected = scanOf(direct);
    auto service = connect(requestFor(listener));
    EXPECT_EQ(scanOf(*service), expected);

    const auto stats = listener.stats();
    EXPECT_TRUE(listener.violations().isEmpty()) << listener.violations().join(u'\n').toStdString();
    EXPECT_EQ(stats.openContexts, 0);
    // One look at the offered schemes, then Basic sent at once on every request.
    EXPECT_EQ(stats.unauthorized, 1);
    EXPECT_LE(stats.maxConcurrent, wmi::wsman::Tuning().connections);
}

INSTANTIATE_TEST_SUITE_P(Machines, RecordedMachine,
                         testing::Values("desktop.json", "container.json", "desktop", "laptop",
                                         "minimal", "server"));

TEST(WsmanClient, CountsEveryRoundTripAndBothItemShapesReadAlike) {
    const auto store = machine(QStringLiteral("desktop.json"));
    for (auto shape :
         {WsmanListenerOptions::ItemShape::Wrapped, WsmanListenerOptions::ItemShape::Alternating}) {
        WsmanListener listener(store, WsmanListenerOptions().withItemShape(shape).withPullBatch(1));
        if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
        const auto host = *wmi::parseHostText(listener.url());
        const auto g = wmi::wsman::gather(requestFor(listener), wmi::wsman::endpointOf(host),
                                          wmi::schema::classes());
        EXPECT_EQ(g.roundTrips, listener.stats().requests);
        // As many classes at once as there are connections kept.
        EXPECT_EQ(g.mostAtOnce, wmi::wsman::Tuning().connections);
        std::size_t items = 0;
        for (const auto& c : g.classes) {
            EXPECT_FALSE(c.error) << c.cls->name;
            items += c.items.size();
        }
        std::size_t expected = 0;
        for (const auto* c : store->classes()) expected += c->items.size();
        EXPECT_EQ(items, expected);
        EXPECT_TRUE(listener.violations().isEmpty())
            << listener.violations().join(u'\n').toStdString();
    }
}

// The instances of a class as texts: each property of its schema with its type and text.
std::vector<std::string> instancesOf(wmi::Service& s, const char* cls) {
    std::vector<std::string> out;
    auto c = s.execQuery(u"Select * From " + QString::fromLatin1(cls));
    while (auto o = c->next())
        for (const wmi::schema::Property& p :
             wmi::schema::findClass(QString::fromLatin1(cls))->properties) {
            const wmi::Variant v = o->get(QString::fromLatin1(p.name));
            out.push_back(std::string(p.name) + "=" + std::to_string(int(v.type())) +
                          v.textValue().toStdString());
        }
    return out;
}

TEST(WsmanClient, ProgramsComeFromTheClassOrTheRegistryAndUpdatesBeside) {
    // A client with the installed programs class, a server whose registry has both views and a
    // user's hive: their programs and updates as each snapshot records them. The requests more
    // than the same host without its programs, which asks its registry's three roots in vain:
    // the client's class takes one Pull more and no registry; the server's registry takes three
    // roots, two hives and five calls for each of its seven keys.
    const struct {
        const char* machine;
        int moreRequests;
    } cases[] = {{"windows10-client.json", 1 - 3}, {"windows-server.json", 3 + 2 + 5 * 7 - 3}};
    for (const auto& c : cases) {
        const auto host =
            wmi::loadSnapshot(QStringLiteral(QELTO_SOURCE_DIR "/tests/sources/wsman/machines/") +
                              QString::fromLatin1(c.machine));
        WsmanListener listener(host, WsmanListenerOptions().withBasic(kUser, kPassword));
        if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
        auto service = connect(requestFor(listener));
        wmi::StoreService recorded(host);
        for (const char* cls : {"Qelto_Software", "Win32_QuickFixEngineering"}) {
            EXPECT_EQ(instancesOf(*service, cls), instancesOf(recorded, cls)) << c.machine << cls;
            EXPECT_FALSE(instancesOf(*service, cls).empty()) << cls;
        }
        const int requests = listener.stats().requests;
        EXPECT_TRUE(listener.violations().isEmpty())
            << listener.violations().join(u'\n').toStdString();
        auto bare = std::make_shared<wmi::InstanceStore>();
        for (const auto* cls : host->classes())
            if (cls->name != u"Registry" && cls->name != u"Win32_InstalledWin32Program") {
                wmi::ClassData& copy = bare->addClass(cls->name);
                copy.items = cls->items;
            }
        WsmanListener without(bare, WsmanListenerOptions().withBasic(kUser, kPassword));
        // The same host without its programs: no Qelto_Software (the registry cannot be read).
        EXPECT_EQ(
            walk(*connect(requestFor(without)), QStringLiteral("Select * From Qelto_Software"))
                .error.value_or(wmi::Error(0, {}))
                .number(),
            wmi::code::InvalidClass);
        EXPECT_EQ(requests - without.stats().requests, c.moreRequests) << c.machine;
    }
}

TEST(WsmanClient, TerminalServiceSettingIsFoundWhereverTheHostKeepsIt) {
    const auto store = machine(QStringLiteral("desktop.json"));
    for (bool own : {true, false}) {
        auto options = WsmanListenerOptions();
        if (!own) options.withoutTerminalServicesNamespace();
        WsmanListener listener(store, options);
        if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
        auto service = connect(requestFor(listener));
        const Walked w =
            walk(*service, QStringLiteral("Select * From Win32_TerminalServiceSetting"));
        EXPECT_FALSE(w.error) << own;
        EXPECT_EQ(w.objects, 1) << own;
    }
}

// Connections that fail as a whole, each with its number and what the message must say.
void expectFailure(const wmi::ConnectRequest& r, std::uint32_t number, const QString& says,
                   const QString& fingerprint = {}) {
    const auto error = failureOf(r);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number(), number) << error->description().toStdString();
    EXPECT_TRUE(error->description().contains(says)) << error->description().toStdString();
    if (!fingerprint.isEmpty()) {
        EXPECT_TRUE(error->description().contains(fingerprint))
            << error->description().toStdString();
    }
    EXPECT_FALSE(error->description().contains(kPassword));
}

QString fingerprintOf(const WsmanListener& l) {
    return QString::fromLatin1(
        QByteArray::fromHex(l.certificateSha256().toLatin1()).toHex(':').toUpper());
}

TEST(WsmanClient, RequestsThatCannotSucceedSayWhy) {
    WsmanListener listener(machine(QStringLiteral("container.json")),
                           WsmanListenerOptions().withBasic(kUser, kPassword));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    ASSERT_FALSE(failureOf(requestFor(listener)));
    const struct {
        const char* name;
        std::function<void(wmi::ConnectRequest&)> adjust;
        std::uint32_t number;
        QString says;
        bool fingerprint;
    } cases[] = {
        {"wrong password", [](auto& r) { r.password = QStringLiteral("wrong"); },
         wmi::code::AccessDenied, QStringLiteral("Basic"), false},
        {"closed port",
         [](auto& r) {
             r.host = QStringLiteral("https://127.0.0.2:%1").arg(WsmanListener::unusedPort());
         },
         wmi::code::RpcUnavailable, QStringLiteral("连接被拒绝"), false},
        {"CA not given", [](auto& r) { r.caFile.clear(); }, wmi::code::CertificateRefused,
         QStringLiteral("受信任"), true},
        {"wrong pin", [](auto& r) { r.pinSha256 = QString(64, u'a'); },
         wmi::code::CertificateRefused, QStringLiteral("不符"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wmi::ConnectRequest r = requestFor(listener);
        c.adjust(r);
        expectFailure(r, c.number, c.says, c.fingerprint ? fingerprintOf(listener) : QString());
    }
}

TEST(WsmanClient, UntrustedCertificatesAreRefusedWithTheirFingerprint) {
    const struct {
        Cert certificate;
        QString says;
    } cases[] = {
        {Cert::SelfSigned, QStringLiteral("自签名")},
        {Cert::Expired, QStringLiteral("过期")},
        {Cert::WrongName, QStringLiteral("名称")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.certificate));
        WsmanListener listener(machine(QStringLiteral("container.json")),
                               WsmanListenerOptions().withCertificate(c.certificate));
        if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
        expectFailure(requestFor(listener), wmi::code::CertificateRefused, c.says,
                      fingerprintOf(listener));
    }
}

TEST(WsmanClient, APinnedCertificateIsTrustedWithoutItsCa) {
    WsmanListener listener(machine(QStringLiteral("container.json")),
                           WsmanListenerOptions().withCertificate(Cert::SelfSigned));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    wmi::ConnectRequest r = requestFor(listener);
    r.caFile.clear();
    r.pinSha256 = QString::fromLatin1(
        QByteArray::fromHex(listener.certificateSha256().toLatin1()).toHex(':'));
    EXPECT_FALSE(failureOf(r));
}

// A reply that goes wrong in the walk of one class fails the queries of that class only.
TEST(WsmanClient, ATroubledReplyFailsItsClassOnly) {
    const auto store = machine(QStringLiteral("desktop.json"));
    const QString cls = QStringLiteral("Win32_PortConnector");  // 8 objects: several Pulls
    const struct {
        Trouble trouble;
        int reply;
        std::uint32_t number;
        bool released;  // the walk was abandoned with a context still valid
    } cases[] = {
        {Trouble::ProviderFault, 2, wmi::code::Failed, false},
        {Trouble::InvalidClassFault, 0, wmi::code::InvalidClass, false},
        {Trouble::AccessDeniedFault, 0, wmi::code::AccessDenied, false},
        {Trouble::Malformed, 1, wmi::code::Failed, true},
        {Trouble::TruncatedXml, 1, wmi::code::Failed, true},
        {Trouble::CutConnection, 2, wmi::code::Failed, true},
        {Trouble::Huge, 1, wmi::code::Failed, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.trouble));
        WsmanListener listener(store);
        if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
        listener.troubleAt(cls, c.reply, c.trouble);
        QElapsedTimer timer;
        timer.start();
        auto service = connect(requestFor(listener));
        EXPECT_LT(timer.elapsed(), 20000);
        const Walked broken = walk(*service, QStringLiteral("Select * From ") + cls);
        ASSERT_TRUE(broken.error);
        EXPECT_EQ(broken.error->number(), c.number) << broken.error->description().toStdString();
        const Walked other = walk(*service, QStringLiteral("Select * From Win32_CacheMemory"));
        EXPECT_FALSE(other.error);
        EXPECT_EQ(other.objects, 3);
        EXPECT_EQ(listener.stats().releases, c.released ? 1 : 0);
        EXPECT_EQ(listener.stats().openContexts, 0);
        EXPECT_TRUE(listener.violations().isEmpty())
            << listener.violations().join(u'\n').toStdString();
    }
}

// The desktop as a member of a domain (DomainRole 1) or its controller (5), with `domain`
// accounts of the domain followed by five of its own.
std::shared_ptr<const wmi::InstanceStore> withAccounts(qint64 role, int domain) {
    auto m = std::make_shared<wmi::InstanceStore>();
    const auto desktop = machine(QStringLiteral("desktop.json"));
    for (const wmi::ClassData* c : desktop->classes()) m->addClass(c->name) = *c;
    m->addClass(QStringLiteral("Win32_ComputerSystem"))
        .items.front()
        ->set(QStringLiteral("DomainRole"), wmi::Variant(role));
    auto& accounts = m->addClass(QStringLiteral("Win32_UserAccount")).items;
    accounts.clear();
    for (int i = 0; i < domain + 5; ++i) {
        wmi::Instance a;
        a.set(QStringLiteral("Name"), wmi::Variant(QStringLiteral("user%1").arg(i)));
        a.set(QStringLiteral("Disabled"), wmi::Variant(false));
        a.set(QStringLiteral("LocalAccount"), wmi::Variant(i >= domain));
        accounts.emplace_back(std::move(a));
    }
    return m;
}

TEST(WsmanClient, AMemberListsItsOwnAccountsAndAControllerAtMostTenThousand) {
    const struct {
        qint64 role;
        int domain;
        int listed;
        bool cut;  // the walk ends with the error that says so
    } cases[] = {
        {1, 20000, 5, false},
        {0, 0, 5, false},
        {5, 10010, 10000, true},
        {4, 9995, 10000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.role);
        WsmanListener listener(withAccounts(c.role, c.domain),
                               WsmanListenerOptions().withPullBatch(4000));
        if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
        auto service = connect(requestFor(listener));
        const Walked w = walk(*service, QStringLiteral("Select * From Win32_UserAccount"));
        EXPECT_EQ(w.objects, c.listed);
        ASSERT_EQ(bool(w.error), c.cut);
        if (c.cut) {
            EXPECT_TRUE(w.error->description().contains(u"10000"));
        }
        EXPECT_EQ(listener.filters().contains(
                      u"Select * From Win32_UserAccount Where LocalAccount = TRUE"),
                  c.role <= 3);
        EXPECT_EQ(listener.stats().openContexts, 0);
        EXPECT_TRUE(listener.violations().isEmpty())
            << listener.violations().join(u'\n').toStdString();
    }
}

TEST(WsmanClient, TheDomainsAccountsCostAMemberNothing) {
    WsmanListener alone(withAccounts(1, 0), WsmanListenerOptions().withPullBatch(4000));
    WsmanListener member(withAccounts(1, 20000), WsmanListenerOptions().withPullBatch(4000));
    if (!alone.ok()) GTEST_SKIP() << alone.error().toStdString();
    ASSERT_TRUE(member.ok());
    // Counted rather than timed: a member that enumerated the domain's 20,000 accounts would
    // need more round trips and pulls, whatever else the machine is busy with.
    for (WsmanListener* listener : {&alone, &member}) {
        auto service = connect(requestFor(*listener));
        const std::vector<std::string> lines = scanOf(*service);
        EXPECT_EQ(std::ranges::count_if(
                      lines, [](const std::string& l) { return l.starts_with("User|"); }),
                  5);
    }
    const WsmanListener::Stats a = alone.stats(), m = member.stats();
    EXPECT_EQ(m.requests, a.requests);
    EXPECT_EQ(m.enumerates, a.enumerates);
    EXPECT_EQ(m.pulls, a.pulls);
}

TEST(WsmanClient, AnAnswerPastTheBatchsBudgetFailsAndGivesItBack) {
    WsmanListener listener(machine(QStringLiteral("desktop.json")));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    for (const qint64 budget : {qint64(4096), qint64(64) << 20}) {
        auto request = requestFor(listener);
        request.answers = std::make_shared<wmi::AnswerBudget>(budget);
        const auto error = failureOf(request);
        EXPECT_EQ(bool(error), budget == 4096);
        if (error) {
            EXPECT_TRUE(error->description().contains(u"--jobs"));
        }
        EXPECT_EQ(request.answers->left(), budget);
    }
}

TEST(WsmanClient, TheFirstClassRefusedFailsTheConnection) {
    for (Trouble refusal : {Trouble::Unauthorized, Trouble::AccessDeniedFault}) {
        WsmanListener listener(machine(QStringLiteral("container.json")),
                               WsmanListenerOptions().withBasic(kUser, kPassword));
        if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
        listener.troubleAt(QString::fromLatin1(wmi::schema::classes().front().name), 0, refusal);
        const auto error = failureOf(requestFor(listener));
        ASSERT_TRUE(error) << int(refusal);
        EXPECT_EQ(error->number(), wmi::code::AccessDenied) << int(refusal);
    }
}

TEST(WsmanClient, AStalledReplyEndsAtTheTimeLimitAndIsReleased) {
    WsmanListener listener(machine(QStringLiteral("desktop.json")));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    listener.troubleAt(QStringLiteral("Win32_PortConnector"), 1, Trouble::Stall);
    wmi::ConnectRequest r = requestFor(listener);
    r.timeout = 3s;
    QElapsedTimer timer;
    timer.start();
    const auto error = failureOf(r);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number(), wmi::code::Timeout);
    EXPECT_LT(timer.elapsed(), 6000);
    EXPECT_EQ(listener.stats().releases, 1);
}

// The current-login road: Negotiate with the user's Kerberos ticket from a KDC of the test's own.
TEST(WsmanClient, CurrentLoginUsesTheKerberosTicket) {
    TestKdc kdc;
    QELTO_SKIP_UNLESS_UP(kdc);
    kdc.useEnvironment();
    const auto store = machine(QStringLiteral("desktop.json"));
    WsmanListener listener(store,
                           WsmanListenerOptions().withNegotiate(NegotiateAcceptor(kdc.keytab)));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    wmi::ConnectRequest r = requestFor(listener);
    r.road = wmi::Road::CurrentLogin;
    r.user.clear();
    r.password = {};
    std::unique_ptr<wmi::Service> service;
    ASSERT_NO_THROW(service = connect(r));
    wmi::StoreService direct(store);
    EXPECT_EQ(scanOf(*service), scanOf(direct));
    EXPECT_TRUE(listener.violations().isEmpty()) << listener.violations().join(u'\n').toStdString();

    // Without a ticket the listener refuses.
    kdc.useCcache(QStringLiteral("FILE:") + kdc.dir + QStringLiteral("/empty.ccache"));
    const auto error = failureOf(r);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number(), wmi::code::AccessDenied) << error->description().toStdString();
}

// A listener offering Negotiate only, and a typed user name and password: the ticket comes from
// the KDC for that password, not from the login's cache (which is empty here).
TEST(WsmanClient, ATypedPasswordGetsItsOwnKerberosTicket) {
    TestKdc kdc;
    QELTO_SKIP_UNLESS_UP(kdc);
    kdc.useEnvironment();
    kdc.useCcache(QStringLiteral("FILE:") + kdc.dir + QStringLiteral("/nobody.ccache"));
    WsmanListener listener(machine(QStringLiteral("container.json")),
                           WsmanListenerOptions().withNegotiate(NegotiateAcceptor(kdc.keytab)));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    const QString name = kdc.userPrincipal.section(u'@', 0, 0);
    const QString realm = kdc.userPrincipal.section(u'@', 1);
    const struct {
        QString user, password;
        std::optional<std::uint32_t> fails;
    } cases[] = {
        {name + u'@' + realm.toLower(), kdc.password, std::nullopt},
        {realm + u'\\' + name, kdc.password, std::nullopt},
        {kdc.userPrincipal, QStringLiteral("wrong"), wmi::code::AccessDenied},
        {name, kdc.password, wmi::code::AccessDenied},  // no realm: no Kerberos
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user.toStdString());
        wmi::ConnectRequest r = requestFor(listener);
        r.user = c.user;
        r.password = wmi::Secret::copyOf(c.password);
        const auto error = failureOf(r);
        EXPECT_EQ(error ? std::optional(error->number()) : std::nullopt, c.fails)
            << (error ? error->description().toStdString() : "");
    }
    EXPECT_TRUE(listener.violations().isEmpty()) << listener.violations().join(u'\n').toStdString();
}

// ---- The HTTP listener: Negotiate on each connection, every message sealed ----

// A KDC (whose configuration also keeps Kerberos from looking names up), NTLM accounts, and a
// sealing listener knowing both.
struct SealedHost {
    TestKdc kdc;
    NtlmUsers users;
    std::optional<WsmanListener> listener;

    explicit SealedHost(const char* name = "container.json",
                        WsmanListenerOptions options = WsmanListenerOptions()) {
        if (!kdc.ok() || !users.ok()) return;
        kdc.useEnvironment();
        if (options.transport == WsmanListenerOptions::Transport::Https)
            options.withSealing(kdc.keytab, users.file);
        listener.emplace(machine(QString::fromLatin1(name)), options);
    }
    QString skip() const {
        if (!kdc.ok()) return kdc.error();
        if (!users.ok()) return users.error();
        return listener->ok() ? QString() : listener->error();
    }
    wmi::ConnectRequest request(wmi::Road road, const QString& user = {},
                                const QString& password = {}) const {
        wmi::ConnectRequest r(listener->url(), road, user, wmi::Secret::copyOf(password));
        r.connectTimeout = 5s;
        r.timeout = 30s;
        return r;
    }
};

enum class GssMechanism { Kerberos, Ntlm };

class SealedRecordedMachine : public testing::TestWithParam<std::tuple<const char*, GssMechanism>> {
};

TEST_P(SealedRecordedMachine, ScanOverSealedHttpEqualsTheScanOfTheMachine) {
    const auto [name, mechanism] = GetParam();
    SealedHost host(name);
    if (!host.skip().isEmpty()) GTEST_SKIP() << host.skip().toStdString();
    const wmi::ConnectRequest r =
        mechanism == GssMechanism::Kerberos
            ? host.request(wmi::Road::CurrentLogin)
            : host.request(wmi::Road::Credentials, host.users.local.logon(),
                           host.users.local.password);
    std::unique_ptr<wmi::Service> service;
    try {
        service = connect(r);
    } catch (const wmi::Error& e) {
        FAIL() << e.description().toStdString();
    }
    wmi::StoreService direct(machine(QString::fromLatin1(name)));
    EXPECT_EQ(scanOf(*service), scanOf(direct));
    const auto stats = host.listener->stats();
    EXPECT_TRUE(host.listener->violations().isEmpty())
        << host.listener->violations().join(u'\n').toStdString();
    EXPECT_EQ(stats.openContexts, 0);
    // A login on each lane, and on each of the three lanes that ask the registry for the programs
    // the machine's classes do not tell.
    EXPECT_LE(stats.handshakes, wmi::wsman::Tuning().connections + 3);
    EXPECT_GT(stats.sealed, int(wmi::schema::classes().size()));
}

INSTANTIATE_TEST_SUITE_P(Machines, SealedRecordedMachine,
                         testing::Combine(testing::Values("desktop.json", "container.json",
                                                          "desktop", "laptop", "minimal", "server"),
                                          testing::Values(GssMechanism::Kerberos,
                                                          GssMechanism::Ntlm)));

TEST(WsmanSealed, EveryWayInWorksAndEveryRefusalSaysWhy) {
    SealedHost host;
    if (!host.skip().isEmpty()) GTEST_SKIP() << host.skip().toStdString();
    const TestKdc& kdc = host.kdc;
    const NtlmUsers& users = host.users;
    // An expired ticket: one that lived a second.
    const QString shortCache = QStringLiteral("FILE:") + kdc.dir + QStringLiteral("/short.ccache");
    QProcess kinit;
    kinit.setProcessEnvironment(kdc.processEnvironment());
    kinit.start(QStringLiteral("kinit"), {QStringLiteral("-l"), QStringLiteral("1s"),
                                          QStringLiteral("-c"), shortCache, kdc.userPrincipal});
    kinit.write((kdc.password + u'\n').toUtf8());
    kinit.closeWriteChannel();
    ASSERT_TRUE(kinit.waitForFinished(10000) && kinit.exitCode() == 0)
        << kinit.readAllStandardError().toStdString();
    QThread::msleep(2100);
    const QString noCache = QStringLiteral("FILE:") + kdc.dir + QStringLiteral("/none.ccache");

    using R = wmi::Road;
    const struct {
        const char* name;
        R road;
        QString user, password, ccache;
        std::optional<QString> refusal;  // what the access-denied message says
    } cases[] = {
        {"ticket", R::CurrentLogin, {}, {}, kdc.ccache, std::nullopt},
        {"no ticket", R::CurrentLogin, {}, {}, noCache, QStringLiteral("kinit")},
        {"expired ticket", R::CurrentLogin, {}, {}, shortCache, QStringLiteral("过期")},
        {"Kerberos password", R::Credentials, kdc.userPrincipal, kdc.password, noCache,
         std::nullopt},
        {"Kerberos wrong password", R::Credentials, kdc.userPrincipal, QStringLiteral("wrong"),
         noCache, QStringLiteral("密码")},
        {"NTLM local account", R::Credentials, users.local.logon(), users.local.password, noCache,
         std::nullopt},
        {"NTLM DOMAIN\\user", R::Credentials, users.inDomain.logon(), users.inDomain.password,
         noCache, std::nullopt},
        {"NTLM wrong password", R::Credentials, users.local.logon(), QStringLiteral("wrong"),
         noCache, QStringLiteral("不接受")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const_cast<TestKdc&>(kdc).useCcache(c.ccache);
        const auto error = failureOf(host.request(c.road, c.user, c.password));
        if (!c.refusal) {
            EXPECT_FALSE(error) << error->description().toStdString();
            continue;
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->number(), wmi::code::AccessDenied) << error->description().toStdString();
        EXPECT_TRUE(error->description().contains(*c.refusal))
            << error->description().toStdString();
        EXPECT_FALSE(!c.password.isEmpty() && error->description().contains(c.password));
    }
    EXPECT_TRUE(host.listener->violations().isEmpty())
        << host.listener->violations().join(u'\n').toStdString();
}

// What would expose the messages: a reply that is tampered with or not sealed at all, and a
// listener that wants the password in the clear.
TEST(WsmanSealed, RefusesWhatIsNotSealedOrWouldSendThePasswordInTheClear) {
    for (Trouble trouble : {Trouble::Tampered, Trouble::PlainReply}) {
        SCOPED_TRACE(int(trouble));
        SealedHost host;
        if (!host.skip().isEmpty()) GTEST_SKIP() << host.skip().toStdString();
        host.listener->troubleAt({}, 1, trouble);
        const auto error = failureOf(host.request(wmi::Road::Credentials, host.users.local.logon(),
                                                  host.users.local.password));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->number(), wmi::code::Failed);
        EXPECT_TRUE(error->description().contains(
            trouble == Trouble::Tampered ? QStringLiteral("签名") : QStringLiteral("没有加密")))
            << error->description().toStdString();
    }
    SealedHost basic("container.json", WsmanListenerOptions().withHttpBasicOnly());
    if (!basic.skip().isEmpty()) GTEST_SKIP() << basic.skip().toStdString();
    const auto error = failureOf(basic.request(wmi::Road::Credentials, basic.users.local.logon(),
                                               basic.users.local.password));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description().contains(QStringLiteral("明文")))
        << error->description().toStdString();
    EXPECT_EQ(basic.listener->stats().basicCredentials, 0);
}

// A bare host whose only listener is the HTTP one is scanned over it.
TEST(WsmanSealed, ABareHostOnTheHttpPortIsSealed) {
    SealedHost host;
    if (!host.skip().isEmpty()) GTEST_SKIP() << host.skip().toStdString();
    wmi::ConnectRequest r = host.request(wmi::Road::CurrentLogin);
    r.host = host.listener->url().mid(7);  // "127.0.0.2:port", not the usual port: chosen here
    const auto parsed = wmi::parseHostText(r.host);
    ASSERT_TRUE(parsed);
    wmi::wsman::Gathering g;
    try {
        g = wmi::wsman::gather(r, wmi::wsman::endpointOf(*parsed, true),
                               std::span(wmi::schema::classes()).first(3));
    } catch (const wmi::Error& e) {
        FAIL() << e.description().toStdString();
    }
    for (const auto& c : g.classes) EXPECT_FALSE(c.error) << c.cls->name;
    EXPECT_GE(host.listener->stats().sealed, 3);
    EXPECT_TRUE(host.listener->violations().isEmpty())
        << host.listener->violations().join(u'\n').toStdString();
}

TEST(WsmanSource, ProbesOnlyItsOwnPortsOfABareHost) {
    const auto source = wmi::wsman::declaration(nullptr);
    // Another port is left to the other sources, without any traffic.
    EXPECT_TRUE(source.candidates(*wmi::parseHostText(QStringLiteral("127.0.0.2:22"))).empty());
    EXPECT_TRUE(source.takes(*wmi::parseHostText(QStringLiteral("https://127.0.0.2"))));
    EXPECT_FALSE(source.takes(*wmi::parseHostText(QStringLiteral("127.0.0.2"))));
}

}  // namespace
}  // namespace qelto::test
