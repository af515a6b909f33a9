#pragma once

#include "wmi/secret.h"
#include "sources/wsman/encrypted.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// A GSS-API security context, as the HTTP listener's message encryption uses it: SPNEGO picking
// Kerberos or NTLM (the NTLM mechanism is gss-ntlmssp's), on the initiating side (the client) or
// the accepting side (the tests' listener). Once established it seals and unseals whole messages
// in the layout Windows expects: Kerberos as a wrap token split into header and data (IOV), NTLM
// as its 16-byte signature followed by the sealed bytes. Seals run in order, one at a time: NTLM
// numbers them.
namespace qelto::wmi::wsman {

// A failure of GSS-API: the major and minor status and what the mechanism says about them.
struct GssFailure {
    unsigned major = 0;
    unsigned minor = 0;
    QString text;                // the mechanism's own words, for the end of a Chinese message
    bool noCredentials = false;  // no Kerberos ticket to log in with
    bool expired = false;        // the ticket has expired
    bool unknownServer = false;  // the KDC does not know the host's service principal
};

class GssContext {
  public:
    enum class Mechanism { Unknown, Kerberos, Ntlm };

    // What to log in with on the initiating side.
    struct Initiator {
        QString target;             // the host, as in HTTP@host
        QString user;               // empty: the current login (the default Kerberos ticket)
        SharedSecret password;      // with `user`
        QByteArray ccache;          // with `user` and Kerberos: a ticket cache holding its TGT
        bool kerberosOnly = false;  // with `user`: Kerberos (else NTLM, as raw NTLMSSP)
    };
    // What to accept with on the accepting side (the tests' listener).
    struct Acceptor {
        QString service;          // the host, as in HTTP@host
        QByteArray keytab;        // Kerberos service keys; empty for none
        QByteArray ntlmUserFile;  // gss-ntlmssp's users ("DOMAIN:user:password"); empty for none
    };

    static std::unique_ptr<GssContext> initiator(const Initiator& how);
    static std::unique_ptr<GssContext> acceptor(const Acceptor& how);
    ~GssContext();
    GssContext(const GssContext&) = delete;
    GssContext& operator=(const GssContext&) = delete;

    // One leg: the peer's token (empty for the initiator's first) in, the token to send out.
    // Returns the failure, if any; `complete()` tells when no more legs are needed.
    std::optional<GssFailure> step(const QByteArray& in, QByteArray* out);
    bool complete() const;
    Mechanism mechanism() const;
    QString peer() const;  // the accepted client's name, on the accepting side

    // A message sealed into its header and data; throws nothing, returns the failure.
    std::optional<GssFailure> seal(QByteArrayView plain, QByteArray* header, QByteArray* sealed);
    // The message back; a failure when the seal does not verify.
    std::optional<GssFailure> unseal(const QByteArray& header, const QByteArray& sealed,
                                     QByteArray* plain);

    struct Impl;

  private:
    explicit GssContext(std::unique_ptr<Impl> d);
    std::unique_ptr<Impl> d_;
};

}  // namespace qelto::wmi::wsman
