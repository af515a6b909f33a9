// NTLM accounts for a test: a user file for gss-ntlmssp's acceptor ("DOMAIN:user:password" per
// line) in a private temporary folder, with fresh random passwords, removed on destruction.
//
//     NtlmUsers users;
//     if (!users.ok()) GTEST_SKIP() << users.error().toStdString();
//     WsmanListener listener(machine, WsmanListenerOptions().withSealing({}, users.file));
//     … log in as users.local.logon() with users.local.password …
//
// Two accounts: a local one without a domain ("qelto"), and one in WORKGROUP ("WORKGROUP\qelto2",
// which also logs in as "qelto2@WORKGROUP" or, the domain being left to the acceptor, "qelto2").
// The acceptor compares the domain the client names with the file's as it is written: a local
// account named with a domain is refused, and so is a domain spelt in another case.
//
// A Negotiate initiator given a user and password may try Kerberos with them first, asking the
// KDCs of the machine's krb5.conf (found through DNS) for a ticket. useEnvironment() points this
// process's Kerberos at a configuration of its own whose only KDC is a closed loopback port, so
// that no such request leaves the machine; undone on destruction.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>

#include <optional>

struct NtlmUser {
    QString domain;  // empty for a local account
    QString name;
    QString password;

    // The name to log in with: "DOMAIN\user", or "user".
    QString logon() const { return domain.isEmpty() ? name : domain + u'\\' + name; }
};

class NtlmUsers {
  public:
    NtlmUsers() {
        local = {QString(), QStringLiteral("qelto"), randomPassword()};
        inDomain = {QStringLiteral("WORKGROUP"), QStringLiteral("qelto2"), randomPassword()};
        if (!dir_.isValid()) {
            error_ = QStringLiteral("no temporary folder");
            return;
        }
        file = dir_.filePath(QStringLiteral("ntlm-users"));
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
            !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            error_ = u"cannot write " + file;
            return;
        }
        for (const NtlmUser* u : {&local, &inDomain})
            out.write((u->domain + u':' + u->name + u':' + u->password + u'\n').toUtf8());
        if (!out.flush()) error_ = u"cannot write " + file;
        krb5Config = dir_.filePath(QStringLiteral("krb5.conf"));
        QFile conf(krb5Config);
        if (!conf.open(QIODevice::WriteOnly) || conf.write("[libdefaults]\n"
                                                           "    default_realm = NTLM.INVALID\n"
                                                           "    dns_lookup_kdc = false\n"
                                                           "    dns_lookup_realm = false\n"
                                                           "    dns_canonicalize_hostname = false\n"
                                                           "    rdns = false\n"
                                                           "    kdc_timeout = 1000\n"
                                                           "    max_retries = 1\n"
                                                           "[realms]\n"
                                                           "    NTLM.INVALID = {\n"
                                                           "        kdc = 127.0.0.2:1\n"
                                                           "    }\n") < 0)
            error_ = u"cannot write " + krb5Config;
    }

    ~NtlmUsers() {
        if (saved_) {
            if (*saved_)
                qputenv("KRB5_CONFIG", **saved_);
            else
                qunsetenv("KRB5_CONFIG");
        }
    }
    NtlmUsers(const NtlmUsers&) = delete;
    NtlmUsers& operator=(const NtlmUsers&) = delete;

    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

    // Call before other threads use Kerberos.
    void useEnvironment() {
        if (!saved_) {
            saved_.emplace();
            if (qEnvironmentVariableIsSet("KRB5_CONFIG")) *saved_ = qgetenv("KRB5_CONFIG");
        }
        qputenv("KRB5_CONFIG", krb5Config.toLocal8Bit());
    }

    QString file;        // the user file
    QString krb5Config;  // see useEnvironment()
    NtlmUser local, inDomain;

  private:
    static QString randomPassword() {
        static constexpr char kAlphabet[] =
            "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
        QString pw = QStringLiteral("Nt-");
        for (int i = 0; i < 16; ++i)
            pw += QLatin1Char(
                kAlphabet[QRandomGenerator::system()->bounded(int(sizeof(kAlphabet) - 1))]);
        return pw;
    }

    QTemporaryDir dir_;
    QString error_;
    std::optional<std::optional<QByteArray>> saved_;  // KRB5_CONFIG before useEnvironment()
};
