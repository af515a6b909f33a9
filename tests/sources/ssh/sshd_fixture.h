// A throwaway OpenSSH server for a test: started in a fresh folder by test_sshd.sh on a loopback
// address and a free port, stopped (with its sessions, agent and throwaway account) on
// destruction.
//
//     TestSshd sshd(TestSshdOptions().withNoise());
//     if (!sshd.ok()) GTEST_SKIP() << sshd.error().toStdString();
//     … connect to sshd.address:sshd.port as sshd.user with sshd.clientKey …
#pragma once

#include "support/server_script.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>

#include <unistd.h>

struct TestSshdOptions {
    QString address = QStringLiteral("127.0.0.2");
    bool noise = false;    // login noise on stdout before each command
    QString forceCommand;  // every session runs this instead
    QString password;      // when set (root only): a throwaway account with this password
    QString passwordUser;  // its name; a fresh one when empty
    QStringList setEnv;    // "NAME=value" in the environment of every session

    TestSshdOptions& at(const QString& a) { return address = a, *this; }
    TestSshdOptions& withNoise() { return noise = true, *this; }
    TestSshdOptions& forcing(const QString& command) { return forceCommand = command, *this; }
    TestSshdOptions& withPassword(const QString& pw) { return password = pw, *this; }
    TestSshdOptions& withEnv(const QString& assignment) { return setEnv << assignment, *this; }
};

class TestSshd {
  public:
    explicit TestSshd(const TestSshdOptions& options = {}) {
        if (!tmp_.isValid()) {
            error_ = QStringLiteral("no temporary folder");
            return;
        }
        dir = tmp_.path();
        QStringList args{QStringLiteral("start"), dir, QStringLiteral("--address"),
                         options.address};
        if (options.noise) args << QStringLiteral("--noise");
        if (!options.forceCommand.isEmpty())
            args << QStringLiteral("--force-command") << options.forceCommand;
        for (const QString& assignment : options.setEnv)
            args << QStringLiteral("--set-env") << assignment;
        if (!options.password.isEmpty()) {
            passwordUser = options.passwordUser;
            if (passwordUser.isEmpty()) {
                passwordUser = QStringLiteral("qt");
                for (int i = 0; i < 6; ++i)
                    passwordUser += QChar(u'a' + QRandomGenerator::global()->bounded(26));
            }
            password = options.password;
            args << QStringLiteral("--password-user") << passwordUser << password;
        }
        if (!run(args)) return;
        started_ = true;
        address = env.value(QStringLiteral("ADDRESS"));
        port = env.value(QStringLiteral("PORT")).toUShort();
        user = env.value(QStringLiteral("USER"));
        hostKeyLine = env.value(QStringLiteral("HOSTKEY_PUB"));
        knownHostsLine = env.value(QStringLiteral("KNOWN_HOSTS_LINE"));
        knownHosts = env.value(QStringLiteral("KNOWN_HOSTS"));
        clientKey = env.value(QStringLiteral("CLIENT_KEY"));
        home = dir + u"/home";
        if (port == 0 || hostKeyLine.isEmpty() || clientKey.isEmpty())
            error_ = QStringLiteral("test_sshd.sh start wrote an incomplete env file");
    }

    ~TestSshd() {
        if (started_ || QFile::exists(dir + u"/.test_sshd")) run({QStringLiteral("stop"), dir});
    }

    TestSshd(const TestSshd&) = delete;
    TestSshd& operator=(const TestSshd&) = delete;

    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

    // An ssh-agent holding the client key; sets authSock.
    bool startAgent() {
        if (!ok() || !run({QStringLiteral("agent"), dir})) return false;
        authSock = env.value(QStringLiteral("SSH_AUTH_SOCK"));
        return !authSock.isEmpty();
    }

    // What sshd logged so far.
    QByteArray log() const {
        QFile f(dir + u"/sshd.log");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static bool isRoot() { return ::geteuid() == 0; }

    QString dir, address, user, hostKeyLine, knownHostsLine, knownHosts, clientKey, home;
    QString authSock, passwordUser, password;
    quint16 port = 0;
    QHash<QString, QString> env;  // DIR/env as read last

  private:
    bool run(const QStringList& args) {
        return qelto::test::runServerScript(
            QStringLiteral(QELTO_SOURCE_DIR "/tests/sources/ssh/test_sshd.sh"), args, dir, env, error_);
    }

    QTemporaryDir tmp_;
    QString error_;
    bool started_ = false;
};
