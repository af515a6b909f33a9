// qelto-cli against a real OpenSSH server on a loopback address: host keys, where the password
// comes from, and what a failed connection leaves on stdout (nothing).

#include "../sources/ssh/sshd_fixture.h"
#include "support/nethosts.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

struct CliRun {
    int status = -1;
    QByteArray out;
    QString err;
};

// qelto-cli with `args`; with a `prefix` (nethosts.sh exec …), run through it.
CliRun cli(const TestSshd& sshd, const QStringList& args, const QHash<QString, QString>& env = {},
           const QStringList& prefix = {}) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("HOME"), sshd.home);
    e.remove(QStringLiteral("SSH_AUTH_SOCK"));
    e.remove(QStringLiteral("QELTO_PASSWORD"));
    for (auto it = env.begin(); it != env.end(); ++it) e.insert(it.key(), it.value());
    p.setProcessEnvironment(e);
    p.setStandardInputFile(QProcess::nullDevice());
    if (prefix.isEmpty())
        p.start(QStringLiteral(QELTO_CLI), args);
    else
        p.start(prefix.first(), prefix.mid(1) + QStringList{QStringLiteral(QELTO_CLI)} + args);
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitCode(), p.readAllStandardOutput(), QString::fromUtf8(p.readAllStandardError())};
}

QString url(const TestSshd& sshd, const QString& user = {}) {
    return QStringLiteral("ssh://%1%2:%3")
        .arg(user.isEmpty() ? QString() : user + u'@', sshd.address)
        .arg(sshd.port);
}

TEST(CliSsh, AnUnknownHostKeyIsRefusedUnlessAcceptedOnTheCommandLine) {
    TestSshd sshd;
    QELTO_SKIP_UNLESS_UP(sshd);
    QFile::remove(sshd.home + u"/.ssh/known_hosts");
    const QString fingerprint = QStringLiteral("SHA256:");

    CliRun r = cli(sshd, {QStringLiteral("scan"), url(sshd, sshd.user), QStringLiteral("--json")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains(fingerprint) && r.err.contains(u"--accept-new-host-key"))
        << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(sshd.home + u"/.ssh/known_hosts"));

    r = cli(sshd, {QStringLiteral("scan"), url(sshd, sshd.user), QStringLiteral("--json"),
                   QStringLiteral("--accept-new-host-key")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_FALSE(QJsonDocument::fromJson(r.out).object().isEmpty());
    // Remembered: the next scan needs no flag, and a bare host:port finds the same server.
    QDir().mkpath(sshd.dir + u"/out");
    r = cli(sshd, {QStringLiteral("dump"), QStringLiteral("%1:%2").arg(sshd.address).arg(sshd.port),
                   QStringLiteral("-o"), sshd.dir + u"/out/host.json"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QFile dump(sshd.dir + u"/out/host.json");
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly));
    EXPECT_TRUE(
        QJsonDocument::fromJson(dump.readAll()).object().contains(u"Win32_OperatingSystem"));
}

TEST(CliSsh, PasswordsComeFromAFileTheEnvironmentOrTheCommandLineWithAWarning) {
    const QString password = QStringLiteral("pw-Ä7 x");
    TestSshd sshd(TestSshdOptions().withPassword(password));
    QELTO_SKIP_UNLESS_UP(sshd);
    QFile file(sshd.dir + u"/password");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(password.toUtf8() + "\n");
    file.close();

    const QStringList base{QStringLiteral("scan"), url(sshd), QStringLiteral("--user"),
                           sshd.passwordUser};
    struct Row {
        const char* what;
        QStringList extra;
        QHash<QString, QString> env;
        int status;
        const char16_t* stderrHas;
    } rows[] = {
        {"file", {QStringLiteral("--password-file"), file.fileName()}, {}, 0, u""},
        {"environment", {}, {{QStringLiteral("QELTO_PASSWORD"), password}}, 0, u""},
        {"command line", {QStringLiteral("--password"), password}, {}, 0, u"其他用户"},
        {"wrong",
         {},
         {{QStringLiteral("QELTO_PASSWORD"), QStringLiteral("nope")}},
         1,
         u"你输入的用户名或密码错误，无法连接远程主机"},
        {"none, no terminal", {}, {}, 1, u"QELTO_PASSWORD"},
    };
    for (const Row& row : rows) {
        const CliRun r = cli(sshd, base + row.extra, row.env);
        EXPECT_EQ(r.status, row.status) << row.what << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf16(row.stderrHas))) << row.what;
        EXPECT_EQ(r.out.isEmpty(), row.status != 0) << row.what;
        EXPECT_FALSE(r.err.contains(password)) << row.what;
    }
    EXPECT_FALSE(sshd.log().contains(password.toUtf8()));
}

TEST(CliSsh, AClosedPortIsAnUnreachableHost) {
    TestSshd sshd;  // only for its home folder
    QELTO_SKIP_UNLESS_UP(sshd);
    const QString text = QStringLiteral("127.0.0.3:1");  // nothing listens there
    const CliRun r = cli(sshd, {QStringLiteral("scan"), text});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains(QStringLiteral("远程主机：%1 不存在或没有开机。").arg(text)))
        << r.err.toStdString();
}

// What a scan found that does not change from one scan to the next: every line's key, and the
// computer, processor and system of the record. Accounts are left out: tests running beside this
// one make and remove throwaway accounts on the same machine.
std::string stablePart(const QByteArray& json) {
    const QJsonObject doc = QJsonDocument::fromJson(json).object();
    QStringList keys;
    for (const QJsonValue& node : doc.value(u"tree").toArray()) {
        const QJsonObject line = node.toObject();
        if (line.value(u"parent").toString() != u"User") keys << line.value(u"key").toString();
    }
    const QJsonObject record = doc.value(u"record").toObject();
    const QString part = keys.join(u' ') + u'|' + record.value(u"datecomputername").toString() +
                         u'|' + record.value(u"datecpu").toString() + u'|' +
                         record.value(u"dateos").toString();
    return part.toStdString();
}

// Linux hosts behind a real interface, typed bare: one on port 22 with both WS-Management ports
// dropped, one on the Port its ~/.ssh/config entry names with 22 dropped too. Each is the machine
// that the same server shows over loopback.
TEST(CliSsh, BareHostsAcrossANetworkAreFoundOnTheirSshPort) {
    qelto::test::NetHosts net;
    QELTO_SKIP_UNLESS_UP(net);
    std::unique_ptr<TestSshd> sshd;
    {
        qelto::test::NetHosts::Inside inside(net, 'h');  // sshd starts in the hosts namespace
        ASSERT_TRUE(inside.ok());
        sshd = std::make_unique<TestSshd>();
    }
    QELTO_SKIP_UNLESS_UP(*sshd);
    const QString a = QStringLiteral("198.18.8.40"), b = QStringLiteral("198.18.8.41");
    ASSERT_TRUE(net.relay(a, 22, sshd->port, 0, sshd->address));
    ASSERT_TRUE(net.relay(b, 2200, sshd->port, 0, sshd->address));
    for (int port : {5985, 5986}) ASSERT_TRUE(net.drop(a, port));
    for (int port : {22, 5985, 5986}) ASSERT_TRUE(net.drop(b, port));
    QFile config(sshd->home + u"/.ssh/config");
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("Host lnx-b\n    HostName 198.18.8.41\n    Port 2200\n");
    config.close();

    // A dropped port waited for would take the whole of this long connect limit.
    const QStringList accept{QStringLiteral("--json"), QStringLiteral("--accept-new-host-key"),
                             QStringLiteral("--connect-timeout"), QStringLiteral("30")};
    const CliRun loopback =
        cli(*sshd, QStringList{QStringLiteral("scan"), url(*sshd)} + accept, {}, net.exec('h', {}));
    ASSERT_EQ(loopback.status, 0) << loopback.err.toStdString();
    for (const QString& host : {a, QStringLiteral("lnx-b")}) {
        SCOPED_TRACE(host.toStdString());
        QElapsedTimer clock;
        clock.start();
        const CliRun r =
            cli(*sshd, QStringList{QStringLiteral("scan"), host} + accept, {}, net.exec('c', {}));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(stablePart(r.out), stablePart(loopback.out));
        EXPECT_LT(clock.elapsed(), 15000);
    }
}

}  // namespace
