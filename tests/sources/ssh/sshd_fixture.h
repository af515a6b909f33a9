// A throwaway OpenSSH server for a test: started in a fresh folder by test_sshd.sh on a loopback
// address and a free port, stopped (with its sessions, agent and throwaway account) on
// destruction.
//
//     TestSshd sshd(TestSshdOptions().withNoise());
//     QELTO_SKIP_UNLESS_UP(sshd);
//     … connect to sshd.address:sshd.port as sshd.user with sshd.clientKey …
#pragma once

#include "support/server_fixture.h"

#include <QRandomGenerator>
#include <QStringList>

struct TestSshdOptions {
    QString address = QStringLiteral("127.0.0.2");
    bool noise = false;    // login noise on stdout before each command
    QString forceCommand;  // every session runs this instead
    QString password;      // when set (root only): a throwaway account with this password
    QString passwordUser;  // its name; a fresh one when empty
    QStringList setEnv;    // "NAME=value" in the environment of every session
    QStringList prefix;    // what starts the server elsewhere, e.g. NetHosts::exec('c', {})

    TestSshdOptions& at(const QString& a) { return address = a, *this; }
    TestSshdOptions& withNoise() { return noise = true, *this; }
    TestSshdOptions& forcing(const QString& command) { return forceCommand = command, *this; }
    TestSshdOptions& withPassword(const QString& pw) { return password = pw, *this; }
    TestSshdOptions& withEnv(const QString& assignment) { return setEnv << assignment, *this; }
    TestSshdOptions& through(const QStringList& p) { return prefix = p, *this; }
};

class TestSshd : public qelto::test::ServerFixture {
  public:
    explicit TestSshd(const TestSshdOptions& options = {})
        : ServerFixture(QStringLiteral("tests/sources/ssh/test_sshd.sh")) {
        QStringList args{QStringLiteral("start"), dir, QStringLiteral("--address"),
                         options.address};
        if (options.noise) args << QStringLiteral("--noise");
        if (!options.forceCommand.isEmpty())
            args << QStringLiteral("--force-command") << options.forceCommand;
        for (const QString& assignment : options.setEnv)
            args << QStringLiteral("--set-env") << assignment;
        if (!options.password.isEmpty()) {
            if (!requireRoot(QStringLiteral("a throwaway account with a password"))) return;
            passwordUser = options.passwordUser;
            if (passwordUser.isEmpty()) {
                passwordUser = QStringLiteral("qt");
                for (int i = 0; i < 6; ++i)
                    passwordUser += QChar(u'a' + QRandomGenerator::global()->bounded(26));
            }
            password = options.password;
            args << QStringLiteral("--password-user") << passwordUser << password;
        }
        if (!start(args, {QStringLiteral("stop"), dir}, QProcessEnvironment::systemEnvironment(),
                   options.prefix) ||
            !requireEnv({"PORT", "HOSTKEY_PUB", "CLIENT_KEY"}))
            return;
        address = value("ADDRESS");
        port = value("PORT").toUShort();
        user = value("USER");
        hostKeyLine = value("HOSTKEY_PUB");
        knownHostsLine = value("KNOWN_HOSTS_LINE");
        knownHosts = value("KNOWN_HOSTS");
        clientKey = value("CLIENT_KEY");
        home = dir + u"/home";
    }

    // An ssh-agent holding the client key; sets authSock.
    bool startAgent() {
        if (!command({QStringLiteral("agent"), dir})) return false;
        authSock = value("SSH_AUTH_SOCK");
        return !authSock.isEmpty();
    }

    // What sshd logged so far.
    QByteArray log() const { return readFile(QStringLiteral("sshd.log")); }

    // ssh://user@address:port
    QString url() const { return QStringLiteral("ssh://%1@%2:%3").arg(user, address).arg(port); }

    QString address, user, hostKeyLine, knownHostsLine, knownHosts, clientKey, home;
    QString authSock, passwordUser, password;
    quint16 port = 0;
};
