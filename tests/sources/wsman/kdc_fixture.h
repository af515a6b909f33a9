// A throwaway Kerberos KDC for a test: realm QELTO.TEST, started in a fresh folder by
// test_kdc.sh on a loopback address and a free port, with a user whose ticket is already in
// kdc.ccache and a keytab for the service principal(s) HTTP/<host>; stopped on destruction.
//
//     TestKdc kdc;
//     if (!kdc.ok()) GTEST_SKIP() << kdc.error().toStdString();
//     kdc.useEnvironment();   // this process's Kerberos now means this KDC and ticket
//     … Negotiate against a listener using NegotiateAcceptor(kdc.keytab) …
//
// The service hosts default to the address (HTTP/127.0.0.2); names are never canonicalised nor
// looked up, so a client that reaches the listener at that address literal asks for exactly
// that principal.
#pragma once

#include "support/server_script.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>
#include <utility>
#include <vector>

struct TestKdcOptions {
    QString address = QStringLiteral("127.0.0.2");
    QStringList serviceHosts;  // HTTP/<host> principals in the keytab; the address when empty
    QString password;          // the user's; a fresh random one when empty

    TestKdcOptions& at(const QString& a) { return address = a, *this; }
    TestKdcOptions& serviceHost(const QString& h) { return serviceHosts << h, *this; }
    TestKdcOptions& withPassword(const QString& pw) { return password = pw, *this; }
};

class TestKdc {
  public:
    explicit TestKdc(const TestKdcOptions& options = {}) {
        if (!tmp_.isValid()) {
            error_ = QStringLiteral("no temporary folder");
            return;
        }
        dir = tmp_.path() + u"/kdc";
        password = options.password;
        if (password.isEmpty()) {
            password = QStringLiteral("Kp-");
            for (int i = 0; i < 12; ++i)
                password += QChar(u'a' + QRandomGenerator::global()->bounded(26));
        }
        QStringList args{QStringLiteral("start"), dir, QStringLiteral("--address"),
                         options.address};
        for (const QString& h : options.serviceHosts) args << QStringLiteral("--service-host") << h;
        if (!run(args)) return;
        started_ = true;
        address = env.value(QStringLiteral("ADDRESS"));
        port = env.value(QStringLiteral("PORT")).toUShort();
        realm = env.value(QStringLiteral("REALM"));
        userPrincipal = env.value(QStringLiteral("USER_PRINCIPAL"));
        servicePrincipals =
            env.value(QStringLiteral("SERVICE_PRINCIPALS")).split(u' ', Qt::SkipEmptyParts);
        krb5Config = env.value(QStringLiteral("KRB5_CONFIG"));
        kdcProfile = env.value(QStringLiteral("KRB5_KDC_PROFILE"));
        ccache = env.value(QStringLiteral("KRB5CCNAME"));
        keytab = env.value(QStringLiteral("KEYTAB"));
        if (port == 0 || keytab.isEmpty() || ccache.isEmpty() || krb5Config.isEmpty())
            error_ = QStringLiteral("test_kdc.sh start wrote an incomplete env file");
    }

    ~TestKdc() {
        restoreEnvironment();
        if (started_ || QFile::exists(dir + u"/.test_kdc")) run({QStringLiteral("stop"), dir});
    }

    TestKdc(const TestKdc&) = delete;
    TestKdc& operator=(const TestKdc&) = delete;

    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

    // Points this process's Kerberos at this KDC's configuration and the user's ticket cache
    // (KRB5_CONFIG, KRB5CCNAME), keeping the machine's own configuration out; undone on
    // destruction or by restoreEnvironment(). Call before other threads use Kerberos.
    void useEnvironment() {
        setVariable("KRB5_CONFIG", krb5Config);
        setVariable("KRB5CCNAME", ccache);
    }

    // Uses another ticket cache for this process (e.g. an empty one: "no current login").
    void useCcache(const QString& name) { setVariable("KRB5CCNAME", name); }

    void restoreEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                qputenv(it->first.constData(), *it->second);
            else
                qunsetenv(it->first.constData());
        }
        saved_.clear();
    }

    // The environment a child process needs to use this KDC and the user's ticket.
    QProcessEnvironment processEnvironment() const {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("KRB5_CONFIG"), krb5Config);
        e.insert(QStringLiteral("KRB5CCNAME"), ccache);
        return e;
    }

    // What the KDC logged so far.
    QByteArray log() const {
        QFile f(dir + u"/kdc.log");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QString dir, address, realm, userPrincipal, password, krb5Config, kdcProfile, ccache, keytab;
    QStringList servicePrincipals;
    quint16 port = 0;
    QHash<QString, QString> env;  // DIR/env as read after start

  private:
    void setVariable(const char* name, const QString& value) {
        bool known = false;
        for (const auto& s : saved_) known = known || s.first == name;
        if (!known) {
            std::optional<QByteArray> old;
            if (qEnvironmentVariableIsSet(name)) old = qgetenv(name);
            saved_.emplace_back(QByteArray(name), std::move(old));
        }
        qputenv(name, value.toLocal8Bit());
    }

    bool run(const QStringList& args) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        if (args.first() == u"start") e.insert(QStringLiteral("TEST_KDC_PASSWORD"), password);
        return qelto::test::runServerScript(
            QStringLiteral(QELTO_SOURCE_DIR "/tests/sources/wsman/test_kdc.sh"), args, dir, env, error_,
            e);
    }

    QTemporaryDir tmp_;
    QString error_;
    bool started_ = false;
    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> saved_;
};
