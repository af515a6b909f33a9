// The DCOM source against the tests' WMI server (wmi_server.h) on loopback, through the source
// itself: host text → the connector with the DCOM source alone, then the scan.

#include "wmi_server.h"

#include "support/nethosts.h"

#include "connect/connector.h"
#include "scan/scan.h"
#include "sources/dcom/source.h"
#include "wmi/error.h"
#include "wmi/schema.h"
#include "wmi/snapshot.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <chrono>

namespace qelto::test {
namespace {

using namespace std::chrono_literals;

const dcom::NtlmCredentials kAccount{
    QStringLiteral("scanner"), QStringLiteral("LAB"), QStringLiteral("Pässwort-1"), {}};

std::shared_ptr<const wmi::InstanceStore> desktop() {
    return wmi::loadSnapshot(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json"));
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
        out.push_back(QString(n.key + u'|' + n.image + u'|' + n.text).toStdString());
    }
    for (const auto& f : scan::ScanRecord::publicFields())
        out.push_back(std::string(f.name) + "=" + (record.*f.member).textValue().toStdString() +
                      std::to_string((record.*f.member).intValue()));
    for (const scan::Problem& p : problems) out.push_back("problem " + p.query.toStdString());
    return out;
}

wmi::ConnectRequest requestFor(std::uint16_t port, const QString& user,
                               const QString& password = kAccount.password) {
    wmi::ConnectRequest r(QStringLiteral("dcom://127.0.0.1:%1").arg(port), wmi::Road::Credentials,
                          user, wmi::Secret::copyOf(password));
    r.connectTimeout = 5s;
    r.timeout = 20s;
    return r;
}

std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& r) {
    std::vector<qelto::connect::Source> one;
    one.push_back(dcom::declaration(dcom::newDialer()));
    return qelto::connect::SourceConnector(std::move(one)).connect(r);
}

TEST(DcomSource, ScanOverDcomEqualsTheScanOfTheRecordedMachine) {
    const auto store = desktop();
    ASSERT_TRUE(store);
    WmiServer server(store, {.account = kAccount});
    ASSERT_NE(server.activatorPort(), 0);
    wmi::StoreService direct(store);
    // Both ways of naming the account's domain.
    for (const QString& user : {QStringLiteral("LAB\\scanner"), QStringLiteral("scanner@lab")}) {
        auto service = connect(requestFor(server.activatorPort(), user));
        EXPECT_EQ(scanOf(*service), scanOf(direct)) << user.toStdString();
    }
    // Activation, NTLMLogin, one ExecQuery per class and its Next calls, RemRelease; the login
    // object, the services and every enumerator given back.
    const int classes = int(wmi::schema::classes().size());
    EXPECT_GE(server.requests(), 2 * (3 + 2 * classes));
    EXPECT_EQ(server.released(), 2 * (2 + classes));
}

struct Failure {
    const char* what;
    WmiServerOptions options;
    QString password;
    std::uint32_t number;
    const char* says;  // a part of the description
};

TEST(DcomSource, EachFailureEndsWithItsOwnNumberAndText) {
    const auto store = desktop();
    std::uint16_t unused = 0;
    {
        WmiServer gone(store, {.account = kAccount});
        unused = gone.activatorPort();
    }
    const QString good = kAccount.password;
    const std::vector<Failure> cases = {
        {"wrong password",
         {.account = kAccount},
         QStringLiteral("falsch"),
         wmi::code::AccessDenied,
         "拒绝访问"},
        {"RPC without WMI",
         {.account = kAccount, .refuseActivator = true},
         good,
         wmi::code::NotSupported,
         "不提供 DCOM"},
        {"object port dropped",
         {.account = kAccount, .objectPortClosed = true},
         good,
         wmi::code::RpcUnavailable,
         "WMI 的端口"},
    };
    for (const Failure& c : cases) {
        WmiServer server(store, c.options);
        try {
            connect(requestFor(server.activatorPort(), QStringLiteral("LAB\\scanner"), c.password));
            ADD_FAILURE() << c.what << ": connected";
        } catch (const wmi::Error& e) {
            EXPECT_EQ(e.number(), c.number) << c.what << ": " << e.description().toStdString();
            EXPECT_TRUE(e.description().contains(QString::fromUtf8(c.says)))
                << c.what << ": " << e.description().toStdString();
        }
    }
    // Nothing on the port: the host is off.
    try {
        connect(requestFor(unused, QStringLiteral("LAB\\scanner")));
        ADD_FAILURE() << "connected to a closed port";
    } catch (const wmi::Error& e) {
        EXPECT_EQ(e.number(), wmi::code::RpcUnavailable) << e.description().toStdString();
    }
}

// A bare host across a veth whose firewall drops WS-Management's ports and has no SSH: the race
// waits out the dropped ports, DCOM on 135 wins, and the scan is the recorded machine's.
TEST(DcomSource, ABareHostBehindAFirewallIsScannedOverDcom) {
    NetHosts net;
    QELTO_SKIP_UNLESS_UP(net);
    const QString address = QStringLiteral("198.18.8.40");
    const auto store = desktop();
    std::unique_ptr<WmiServer> server;
    {
        NetHosts::Inside inside(net, 'h');
        ASSERT_TRUE(inside.ok());
        server = std::make_unique<WmiServer>(
            store, WmiServerOptions{.address = address, .activatorPort = 135, .account = kAccount});
        ASSERT_EQ(server->activatorPort(), 135);
    }
    for (int port : {5985, 5986}) ASSERT_TRUE(net.drop(address, port));
    NetHosts::Inside inside(net, 'c');
    ASSERT_TRUE(inside.ok());
    wmi::ConnectRequest r(address, wmi::Road::Credentials, QStringLiteral("scanner@LAB"),
                          wmi::Secret::copyOf(kAccount.password));
    r.connectTimeout = 1500ms;
    r.timeout = 20s;
    QStringList trace;
    r.trace = [&](const QString& line) { trace << line; };
    connect::SourceConnector connector;  // every source of the build, DCOM's as its module
    auto service = connector.connect(r);
    wmi::StoreService direct(store);
    EXPECT_EQ(scanOf(*service), scanOf(direct));
    EXPECT_TRUE(
        trace.join(u'\n').contains(QStringLiteral("对象在端口 %1").arg(server->objectPort())))
        << trace.join(u'\n').toStdString();
}

// The server's framing checked with an independent client first: python3-impacket's WMI query
// at NTLM packet privacy, in a network namespace of this test's own (port 135 on its loopback).
TEST(DcomSource, AnIndependentClientQueriesTheTestServerAtPacketPrivacy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import impacket")}) != 0)
        GTEST_SKIP() << "python3-impacket is not installed: the server is not cross-checked";
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0);  // this test's process alone (CTest runs each apart)
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("set"),
                                                 QStringLiteral("lo"), QStringLiteral("up")}),
        0);
    WmiServer server(desktop(), {.activatorPort = 135, .account = kAccount});
    ASSERT_EQ(server.activatorPort(), 135);
    QProcess run;
    run.start(QStringLiteral("timeout"),
              {QStringLiteral("60"), QStringLiteral("/usr/bin/python3"),
               QStringLiteral(QELTO_TEST_DATA "/wmi_query_client.py"), kAccount.user,
               kAccount.domain, kAccount.password, QStringLiteral("Select * From Win32_Share")});
    ASSERT_TRUE(run.waitForFinished(90000));
    EXPECT_EQ(QString::fromUtf8(run.readAllStandardOutput()),
              QStringLiteral("object 财务报表\nobject print$\nreleased\n"))
        << run.readAllStandardError().toStdString();
    EXPECT_EQ(server.released(), 3);
}

}  // namespace
}  // namespace qelto::test
