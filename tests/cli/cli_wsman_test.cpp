// qelto-cli against the tests' WS-Management listener: the same output as from the recorded
// machine's snapshot, its record in a dump, and certificate and password failures on stderr only.

#include "listener.h"
#include "ntlm_users.h"
#include "sources/dcom/wmi_server.h"
#include "support/nethosts.h"

#include "wmi/snapshot.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct CliRun {
    int status = -1;
    QByteArray out;
    QString err;
};

// qelto-cli with `args`, or (`program`) the command line `args` as it stands.
CliRun cli(const QStringList& args, const QString& password = {}, bool program = false) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QELTO_CA_FILE"));
    if (password.isNull())
        env.remove(QStringLiteral("QELTO_PASSWORD"));
    else
        env.insert(QStringLiteral("QELTO_PASSWORD"), password);
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    if (program)
        p.start(args.first(), args.mid(1));
    else
        p.start(QStringLiteral(QELTO_CLI), args);
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitCode(), p.readAllStandardOutput(), QString::fromUtf8(p.readAllStandardError())};
}

const QString kMachine = QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json");

TEST(CliWsman, AWindowsHostScansAsItsSnapshotAndDumpsItsAnswers) {
    const QString user = QStringLiteral("PC09\\admin"), password = QStringLiteral("s3cret Ω");
    qelto::test::WsmanListener listener(
        qelto::wmi::loadSnapshot(kMachine),
        qelto::test::WsmanListenerOptions().withBasic(user, password));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    const QStringList remote{listener.url(), QStringLiteral("--user"), user,
                             QStringLiteral("--ca-file"), listener.caFile()};

    const CliRun fromSnapshot = cli(
        {QStringLiteral("scan"), QStringLiteral("--snapshot"), kMachine, QStringLiteral("--json")});
    const CliRun scanned =
        cli(QStringList{QStringLiteral("scan")} + remote + QStringList{QStringLiteral("--json")},
            password);
    ASSERT_EQ(scanned.status, 0) << scanned.err.toStdString();
    EXPECT_EQ(scanned.out, fromSnapshot.out);

    QTemporaryDir dir;
    const QString dump = dir.filePath(QStringLiteral("pc09.json"));
    const CliRun dumped =
        cli(QStringList{QStringLiteral("dump")} + remote + QStringList{QStringLiteral("-o"), dump},
            password);
    ASSERT_EQ(dumped.status, 0) << dumped.err.toStdString();
    const CliRun replayed =
        cli({QStringLiteral("scan"), QStringLiteral("--snapshot"), dump, QStringLiteral("--json")});
    EXPECT_EQ(replayed.out, fromSnapshot.out);
    EXPECT_TRUE(listener.violations().isEmpty()) << listener.violations().join(u'\n').toStdString();
}

// The HTTP listener as Windows has it by default: a local account over NTLM, every message sealed.
TEST(CliWsman, AWorkgroupHostOverSealedHttpScansAsItsSnapshot) {
    NtlmUsers users;
    if (!users.ok()) GTEST_SKIP() << users.error().toStdString();
    users.useEnvironment();  // Kerberos looks nothing up for the local account
    qelto::test::WsmanListener listener(
        qelto::wmi::loadSnapshot(kMachine),
        qelto::test::WsmanListenerOptions().withSealing({}, users.file));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    const CliRun fromSnapshot = cli(
        {QStringLiteral("scan"), QStringLiteral("--snapshot"), kMachine, QStringLiteral("--json")});
    const CliRun scanned = cli({QStringLiteral("scan"), listener.url(), QStringLiteral("--user"),
                                users.local.logon(), QStringLiteral("--json")},
                               users.local.password);
    ASSERT_EQ(scanned.status, 0) << scanned.err.toStdString();
    EXPECT_EQ(scanned.out, fromSnapshot.out);
    EXPECT_GT(listener.stats().sealed, 0);
    EXPECT_TRUE(listener.violations().isEmpty()) << listener.violations().join(u'\n').toStdString();
}

// Windows-shaped hosts behind a real interface, typed bare: each is scanned through the listener
// it has, while the ports it does not serve are dropped or refused, and equals its snapshot.
TEST(CliWsman, BareHostsAcrossANetworkScanThroughTheListenerTheyHave) {
    qelto::test::NetHosts net;
    QELTO_SKIP_UNLESS_UP(net);
    NtlmUsers users;
    if (!users.ok()) GTEST_SKIP() << users.error().toStdString();
    users.useEnvironment();
    const QString user = QStringLiteral("PC09\\admin"), password = QStringLiteral("s3cret Ω");
    const auto machine = qelto::wmi::loadSnapshot(kMachine);
    using Options = qelto::test::WsmanListenerOptions;
    struct Host {
        QString address;
        bool https, http;
        std::vector<int> dropped;
    } hosts[] = {
        {QStringLiteral("198.18.8.20"), true, false, {22, 5985}},  // HTTPS only, the rest dropped
        {QStringLiteral("198.18.8.21"), false, true, {}},          // HTTP only, the rest refused
        {QStringLiteral("198.18.8.22"), true, true, {22}},         // both: HTTPS first
    };
    std::vector<std::unique_ptr<qelto::test::WsmanListener>> listeners;
    std::unique_ptr<qelto::test::WmiServer> dcomHost;
    QStringList caFiles;  // each host's HTTPS listener's CA
    {
        qelto::test::NetHosts::Inside inside(net, 'h');
        ASSERT_TRUE(inside.ok());
        for (const Host& h : hosts) {
            caFiles << QString();
            if (h.https) {
                listeners.push_back(std::make_unique<qelto::test::WsmanListener>(
                    machine, Options().at(h.address, 5986).withBasic(user, password)));
                caFiles.back() = listeners.back()->caFile();
            }
            if (h.http)
                listeners.push_back(std::make_unique<qelto::test::WsmanListener>(
                    machine, Options().at(h.address, 5985).withSealing({}, users.file)));
        }
        for (const auto& l : listeners) ASSERT_TRUE(l->ok()) << l->error().toStdString();
        // A host that has no WS-Management, only classic remote WMI (DCOM) on 135.
        dcomHost = std::make_unique<qelto::test::WmiServer>(
            machine,
            qelto::test::WmiServerOptions{
                .address = QStringLiteral("198.18.8.25"),
                .activatorPort = 135,
                .account = {QStringLiteral("admin"), QStringLiteral("PC09"), password, {}}});
        ASSERT_EQ(dcomHost->activatorPort(), 135);
    }
    for (const Host& h : hosts)
        for (int port : h.dropped) ASSERT_TRUE(net.drop(h.address, port));
    const CliRun fromSnapshot = cli(
        {QStringLiteral("scan"), QStringLiteral("--snapshot"), kMachine, QStringLiteral("--json")});
    for (qsizetype i = 0; i < std::ssize(hosts); ++i) {
        const Host& h = hosts[i];
        SCOPED_TRACE(h.address.toStdString());
        const bool basic = h.https;
        const QStringList args = net.exec(
            'c',
            {QStringLiteral(QELTO_CLI), QStringLiteral("scan"), h.address, QStringLiteral("--user"),
             basic ? user : users.local.logon(), QStringLiteral("--ca-file"),
             h.https ? caFiles[i] : listeners.front()->caFile(), QStringLiteral("--json"),
             QStringLiteral("--connect-timeout"), QStringLiteral("30")});
        QElapsedTimer clock;
        clock.start();
        const CliRun scanned = cli(args, basic ? password : users.local.password, /*program=*/true);
        ASSERT_EQ(scanned.status, 0) << scanned.err.toStdString();
        EXPECT_EQ(scanned.out, fromSnapshot.out);
        EXPECT_LT(clock.elapsed(), 15000);  // never the 30 s connect limit of a dropped port
    }
    for (const auto& l : listeners)
        EXPECT_TRUE(l->violations().isEmpty()) << l->violations().join(u'\n').toStdString();
    EXPECT_GT(listeners[1]->stats().sealed, 0);           // .21 went over HTTP, sealed
    EXPECT_EQ(listeners.back()->stats().connections, 0);  // .22's HTTP listener was not needed

    // The DCOM host typed bare, its WS-Management ports dropped: the program loads the DCOM
    // module once that road wins, and the scan is the snapshot's.
    for (int port : {5985, 5986}) ASSERT_TRUE(net.drop(QStringLiteral("198.18.8.25"), port));
    const CliRun overDcom =
        cli(net.exec('c', {QStringLiteral(QELTO_CLI), QStringLiteral("scan"),
                           QStringLiteral("198.18.8.25"), QStringLiteral("--user"), user,
                           QStringLiteral("--json")}),
            password, true);
    ASSERT_EQ(overDcom.status, 0) << overDcom.err.toStdString();
    EXPECT_EQ(overDcom.out, fromSnapshot.out);

    // A batch of them with the DCOM host, a silent and a refusing address, more hosts than
    // --jobs: the pre-pass finds the silent one, and each host is reported as what it is.
    for (int port : {22, 135, 5985, 5986})
        ASSERT_TRUE(net.drop(QStringLiteral("198.18.8.23"), port));
    QTemporaryDir dir;
    QFile both(dir.filePath(QStringLiteral("ca.pem")));
    ASSERT_TRUE(both.open(QIODevice::WriteOnly));
    for (const QString& ca : {caFiles[0], caFiles[2]}) {
        QFile f(ca);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        both.write(f.readAll());
    }
    both.close();
    const CliRun batch =
        cli(net.exec('c', {QStringLiteral(QELTO_CLI), QStringLiteral("scan"),
                           QStringLiteral("198.18.8.20"), QStringLiteral("198.18.8.22"),
                           QStringLiteral("198.18.8.23"), QStringLiteral("198.18.8.24"),
                           QStringLiteral("198.18.8.25"), QStringLiteral("--jobs"),
                           QStringLiteral("2"), QStringLiteral("--user"), user,
                           QStringLiteral("--ca-file"), both.fileName(), QStringLiteral("--json")}),
            password, true);
    EXPECT_EQ(batch.status, 1) << batch.err.toStdString();
    const QList<QByteArray> lines = batch.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << batch.out.toStdString();
    for (const QByteArray& line : lines) {
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        const QString host = row.value(u"host").toString();
        const bool reached =
            host == u"198.18.8.20" || host == u"198.18.8.22" || host == u"198.18.8.25";
        EXPECT_EQ(row.value(u"status").toString(), reached ? u"ok" : u"failed") << line.data();
        EXPECT_EQ(row.value(u"error").toString().contains(u"不存在或没有开机"), !reached);
    }
}

TEST(CliWsman, FailuresLeaveStdoutEmpty) {
    const QString user = QStringLiteral("admin"), password = QStringLiteral("right");
    qelto::test::WsmanListener listener(
        qelto::wmi::loadSnapshot(kMachine),
        qelto::test::WsmanListenerOptions().withBasic(user, password));
    if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
    struct Row {
        const char* what;
        QStringList args;
        QString password;
        const char16_t* stderrHas;
    } rows[] = {
        {"untrusted certificate",
         {listener.url(), QStringLiteral("--user"), user},
         password,
         u"SHA-256"},
        {"wrong password",
         {listener.url(), QStringLiteral("--user"), user, QStringLiteral("--ca-file"),
          listener.caFile()},
         QStringLiteral("wrong"),
         u"你输入的用户名或密码错误，无法连接远程主机"},
        {"wrong pin",
         {listener.url(), QStringLiteral("--user"), user, QStringLiteral("--pin-sha256"),
          QString(64, u'0')},
         password,
         u"SHA-256"},
    };
    for (const Row& row : rows) {
        const CliRun r = cli(QStringList{QStringLiteral("scan")} + row.args, row.password);
        EXPECT_EQ(r.status, 1) << row.what;
        EXPECT_TRUE(r.out.isEmpty()) << row.what;
        EXPECT_TRUE(r.err.contains(QString::fromUtf16(row.stderrHas)))
            << row.what << ": " << r.err.toStdString();
        EXPECT_FALSE(r.err.contains(password)) << row.what;
    }
}

}  // namespace
