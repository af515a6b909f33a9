// A throwaway Kerberos KDC for a test: realm QELTO.TEST, started in a fresh folder by
// test_kdc.sh on a loopback address and a free port, with a user whose ticket is already in
// kdc.ccache and a keytab for the service principal(s) HTTP/<host>; stopped on destruction.
//
//     TestKdc kdc;
//     QELTO_SKIP_UNLESS_UP(kdc);
//     kdc.useEnvironment();   // this process's Kerberos now means this KDC and ticket
//     … Negotiate against a listener using NegotiateAcceptor(kdc.keytab) …
//
// The service hosts default to the address (HTTP/127.0.0.2); names are never canonicalised nor
// looked up, so a client that reaches the listener at that address literal asks for exactly
// that principal.
#pragma once

#include "support/server_fixture.h"

#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStringList>

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

class TestKdc : public qelto::test::ServerFixture {
  public:
    explicit TestKdc(const TestKdcOptions& options = {})
        : ServerFixture(QStringLiteral("tests/sources/wsman/test_kdc.sh"), QStringLiteral("kdc")) {
        password = options.password;
        if (password.isEmpty()) {
            password = QStringLiteral("Kp-");
            for (int i = 0; i < 12; ++i)
                password += QChar(u'a' + QRandomGenerator::global()->bounded(26));
        }
        QStringList args{QStringLiteral("start"), dir, QStringLiteral("--address"),
                         options.address};
        for (const QString& h : options.serviceHosts) args << QStringLiteral("--service-host") << h;
        // The password reaches the script in its environment only.
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("TEST_KDC_PASSWORD"), password);
        if (!start(args, {QStringLiteral("stop"), dir}, e) ||
            !requireEnv({"PORT", "KEYTAB", "KRB5CCNAME", "KRB5_CONFIG"}))
            return;
        address = value("ADDRESS");
        port = value("PORT").toUShort();
        realm = value("REALM");
        userPrincipal = value("USER_PRINCIPAL");
        servicePrincipals = value("SERVICE_PRINCIPALS").split(u' ', Qt::SkipEmptyParts);
        krb5Config = value("KRB5_CONFIG");
        kdcProfile = value("KRB5_KDC_PROFILE");
        ccache = value("KRB5CCNAME");
        keytab = value("KEYTAB");
    }

    ~TestKdc() { restoreEnvironment(); }
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
    QByteArray log() const { return readFile(QStringLiteral("kdc.log")); }

    QString address, realm, userPrincipal, password, krb5Config, kdcProfile, ccache, keytab;
    QStringList servicePrincipals;
    quint16 port = 0;

  private:
    void setVariable(const char* name, const QString& text) {
        bool known = false;
        for (const auto& s : saved_) known = known || s.first == name;
        if (!known) {
            std::optional<QByteArray> old;
            if (qEnvironmentVariableIsSet(name)) old = qgetenv(name);
            saved_.emplace_back(QByteArray(name), std::move(old));
        }
        qputenv(name, text.toLocal8Bit());
    }

    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> saved_;
};
