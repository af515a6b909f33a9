// The throwaway server itself: OpenSSH's client logs in with the generated key, trusting only
// the known_hosts line the fixture hands out.
#include "sshd_fixture.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

namespace {

struct SshResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

SshResult runSsh(const TestSshd& sshd, const QString& command, bool viaAgent) {
    QStringList args{QStringLiteral("-F"), QStringLiteral("/dev/null"),
                     QStringLiteral("-o"), QStringLiteral("BatchMode=yes"),
                     QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking=yes"),
                     QStringLiteral("-o"), u"UserKnownHostsFile=" + sshd.knownHosts,
                     QStringLiteral("-o"), QStringLiteral("GlobalKnownHostsFile=/dev/null"),
                     QStringLiteral("-p"), QString::number(sshd.port)};
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("SSH_AUTH_SOCK"));
    if (viaAgent) {
        env.insert(QStringLiteral("SSH_AUTH_SOCK"), sshd.authSock);
    } else {
        args << QStringLiteral("-o") << QStringLiteral("IdentitiesOnly=yes") << QStringLiteral("-i")
             << sshd.clientKey;
    }
    args << sshd.user + u'@' + sshd.address << command;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("ssh"), args);
    SshResult r;
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished(2000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

struct Case {
    const char* name;
    TestSshdOptions options;
    bool viaAgent;
    const char* command;
    QByteArray expected;  // the whole of stdout
};

const QByteArray kNoiseEnd = "[bashrc] PATH extended";

TEST(TestSshdTest, LogsInAndRuns) {
    const Case cases[] = {
        {"key", {}, false, "echo ran", "ran\n"},
        {"ipv6", TestSshdOptions().at(QStringLiteral("::1")), false, "echo ran", "ran\n"},
        {"agent", {}, true, "echo ran", "ran\n"},
        {"forced", TestSshdOptions().forcing(QStringLiteral("echo forced")), false, "echo ran",
         "forced\n"},
        {"noise", TestSshdOptions().withNoise(), false, "echo ran", "ran\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSshd sshd(c.options);
        ASSERT_TRUE(sshd.ok()) << sshd.error().toStdString();
        if (c.viaAgent) {
            ASSERT_TRUE(sshd.startAgent()) << sshd.error().toStdString();
        }
        const SshResult r = runSsh(sshd, QString::fromUtf8(c.command), c.viaAgent);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        if (c.options.noise) {
            // Several lines of noise, the last one unterminated, then the command's own output.
            EXPECT_GE(r.out.count('\n'), 4) << r.out.toStdString();
            EXPECT_TRUE(r.out.endsWith(QByteArray(kNoiseEnd + c.expected))) << r.out.toStdString();
        } else {
            EXPECT_EQ(r.out, c.expected);
        }
    }
}

TEST(TestSshdTest, StopEndsServerAndSessions) {
    QString dir;
    quint16 port = 0;
    QProcess session;
    {
        TestSshd sshd(TestSshdOptions().forcing(QStringLiteral("sleep 30")));
        ASSERT_TRUE(sshd.ok()) << sshd.error().toStdString();
        dir = sshd.dir;
        port = sshd.port;
        session.start(QStringLiteral("ssh"),
                      {QStringLiteral("-F"), QStringLiteral("/dev/null"), QStringLiteral("-o"),
                       QStringLiteral("BatchMode=yes"), QStringLiteral("-o"),
                       u"UserKnownHostsFile=" + sshd.knownHosts, QStringLiteral("-i"),
                       sshd.clientKey, QStringLiteral("-p"), QString::number(sshd.port),
                       sshd.user + u'@' + sshd.address, QStringLiteral("true")});
        ASSERT_TRUE(session.waitForStarted(5000));
        // Wait (bounded) until the session runs.
        for (int i = 0; i < 100 && !sshd.log().contains("Starting session"); ++i) usleep(50000);
        ASSERT_TRUE(sshd.log().contains("Starting session"));
    }
    // The session ends with the server instead of sleeping on.
    EXPECT_TRUE(session.waitForFinished(5000));
    EXPECT_FALSE(QFile::exists(dir));
    QProcess probe;  // nothing listens there any more
    probe.start(QStringLiteral("bash"),
                {QStringLiteral("-c"), u"exec 3<>/dev/tcp/127.0.0.2/" + QString::number(port)});
    ASSERT_TRUE(probe.waitForFinished(5000));
    EXPECT_NE(probe.exitCode(), 0);
}

TEST(TestSshdTest, ThrowawayAccountComesAndGoes) {
    if (!TestSshd::isRoot()) GTEST_SKIP() << "creating an account needs root";
    auto accountExists = [](const QString& name) {
        QProcess p;
        p.start(QStringLiteral("getent"), {QStringLiteral("passwd"), name});
        return p.waitForFinished(5000) && p.exitCode() == 0;
    };
    QString name;
    {
        TestSshd sshd(TestSshdOptions().withPassword(QStringLiteral("Pw-0nly-for-tests")));
        ASSERT_TRUE(sshd.ok()) << sshd.error().toStdString();
        name = sshd.passwordUser;
        EXPECT_TRUE(accountExists(name));
    }
    EXPECT_FALSE(accountExists(name));
}

}  // namespace
