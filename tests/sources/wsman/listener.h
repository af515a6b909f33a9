// A WS-Management listener for the tests that answers as a Windows host does: HTTPS on a loopback
// address and a free port, with a CA and server certificate made for the occasion, serving one
// machine held in an InstanceStore through the reply encoder.
//
//     WsmanListener listener(wmi::loadSnapshot(path), WsmanListenerOptions().withBasic(u, pw));
//     if (!listener.ok()) GTEST_SKIP() << listener.error().toStdString();
//     … scan listener.url() trusting listener.caFile() …
//     EXPECT_THAT(listener.violations(), IsEmpty());
//
// It behaves like Windows where the client's correctness depends on it: the first reply holds
// one item and a context, every Pull hands out a few items and a fresh context (the old one is
// then invalid), "done" is EndOfSequence, Win32_TerminalServiceSetting lives in
// root\cimv2\TerminalServices only, faults come in Windows's shape, a client without credentials
// gets 401 with WWW-Authenticate lines. Every request is checked (MessageID fresh, ResourceURI,
// the latest context, the headers the client must send); what is wrong is recorded in
// violations() rather than failing the exchange, so the test can assert on it.
//
// With withSealing() it is instead the plain HTTP listener a Windows host opens by default: the
// client authenticates with Negotiate on an empty POST (Kerberos from the keytab, NTLM from a
// user file, as SPNEGO or raw NTLMSSP tokens), the context belongs to that TCP connection, and
// every message after it travels sealed as multipart/encrypted, replies (faults included) too:
//
//     NtlmUsers users;   // ntlm_users.h
//     WsmanListener listener(machine, WsmanListenerOptions().withSealing(kdc.keytab, users.file));
//     … scan listener.url() ("http://127.0.0.2:port") as users.local …
//
// A message that arrives unsealed, or whose seal does not verify, is refused and recorded.
#pragma once

#include "wmi/store.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace qelto::test {

// One leg of a Negotiate (SPNEGO) exchange on the server side: the client principal when the
// client is accepted, nullopt otherwise; `tokenToClient` receives the token to send back (empty
// when there is none).
using NegotiateHook = std::function<std::optional<QString>(const QByteArray& tokenFromClient,
                                                           QByteArray* tokenToClient)>;

struct WsmanListenerOptions {
    enum class Certificate {
        CaSigned,    // signed by caFile(), names the address and "localhost"
        SelfSigned,  // signed by itself: no CA the client is given trusts it
        Expired,     // signed by caFile(), valid until yesterday
        WrongName,   // signed by caFile(), for another host name
    };
    enum class ItemShape {
        Direct,
        Wrapped,
        Alternating
    };  // wsman:Item around each instance or not

    QString address = QStringLiteral("127.0.0.2");
    int port = 0;  // 0: any free port
    Certificate certificate = Certificate::CaSigned;
    QStringList certificateNames;  // extra DNS names in the certificate
    int pullBatch = 3;             // items per Pull at most (also bounded by the client's limit)
    ItemShape itemShape = ItemShape::Direct;
    // Vista and later: Win32_TerminalServiceSetting answers only in root\cimv2\TerminalServices;
    // false: it answers in root\cimv2 and that namespace does not exist.
    bool terminalServicesNamespace = true;

    // Authentication. With none of these set every request is served without credentials.
    QString basicUser;  // Basic with this user and password
    QString basicPassword;
    NegotiateHook negotiate;   // Negotiate through this acceptor
    QStringList extraSchemes;  // more WWW-Authenticate lines, e.g. "Kerberos", "CredSSP"

    // The transport. Https serves SOAP over TLS with the authentication above; SealedHttp is
    // plain HTTP with Negotiate and message encryption (the keytab and NTLM user file below, either
    // may be empty); HttpBasicOnly is plain HTTP offering nothing but Basic, where a client must
    // never send its password: every request is answered 401, and any Authorization: Basic is
    // recorded (stats().basicCredentials and a violation).
    enum class Transport { Https, SealedHttp, HttpBasicOnly };
    Transport transport = Transport::Https;
    QString keytab;        // SealedHttp: Kerberos service keys (HTTP/<address>)
    QString ntlmUserFile;  // SealedHttp: NTLM users, "DOMAIN:user:password" per line

    WsmanListenerOptions& at(const QString& a, int p = 0) { return address = a, port = p, *this; }
    WsmanListenerOptions& withCertificate(Certificate c) { return certificate = c, *this; }
    WsmanListenerOptions& withBasic(const QString& user, const QString& password) {
        basicUser = user;
        basicPassword = password;
        return *this;
    }
    WsmanListenerOptions& withNegotiate(NegotiateHook acceptor) {
        negotiate = std::move(acceptor);
        return *this;
    }
    WsmanListenerOptions& withSealing(const QString& keytabFile, const QString& ntlmUsers) {
        transport = Transport::SealedHttp;
        keytab = keytabFile;
        ntlmUserFile = ntlmUsers;
        return *this;
    }
    WsmanListenerOptions& withHttpBasicOnly() {
        return transport = Transport::HttpBasicOnly, *this;
    }
    WsmanListenerOptions& withItemShape(ItemShape s) { return itemShape = s, *this; }
    WsmanListenerOptions& withPullBatch(int n) { return pullBatch = n, *this; }
    WsmanListenerOptions& withoutTerminalServicesNamespace() {
        return terminalServicesNamespace = false, *this;
    }
};

class WsmanListener {
  public:
    // What a reply can go wrong with, on demand.
    enum class Trouble {
        InvalidClassFault,  // n:CannotProcessFilter, the class does not exist (WMI 0x80041010)
        AccessDeniedFault,  // w:AccessDenied, WSManFault code 5
        ProviderFault,      // s:Receiver, a provider failing in the middle of a walk
        Unauthorized,       // a final 401, as when a session is no longer accepted
        Malformed,          // 200 with XML that does not parse
        TruncatedXml,       // 200 with the first half of a good reply, Content-Length matching
        CutConnection,      // Content-Length of the whole reply, the connection closed halfway
        Huge,               // a well-formed 200 MB reply
        Stall,              // no answer until the listener stops (or 60 s)
        // Sealed HTTP only (elsewhere the reply goes out as usual):
        Tampered,    // the sealed reply with one byte of its sealed data flipped
        PlainReply,  // the reply unsealed, as application/soap+xml
    };

    struct Stats {
        int requests = 0;      // HTTP requests, 401 legs included: the round trips
        int unauthorized = 0;  // of which answered 401
        int enumerates = 0;
        int pulls = 0;
        int releases = 0;
        int faults = 0;
        int openContexts = 0;   // enumerations neither finished nor released
        int connections = 0;    // distinct client connections seen
        int maxConcurrent = 0;  // most requests in progress at once
        // Plain HTTP listeners:
        int handshakes = 0;        // Negotiate exchanges completed (security contexts made)
        int sealed = 0;            // messages that arrived sealed and verified
        int basicCredentials = 0;  // requests that carried Authorization: Basic
    };

    explicit WsmanListener(std::shared_ptr<const wmi::InstanceStore> machine,
                           WsmanListenerOptions options = {});
    ~WsmanListener();
    WsmanListener(const WsmanListener&) = delete;
    WsmanListener& operator=(const WsmanListener&) = delete;

    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

    QString address() const;
    std::uint16_t port() const;
    QString url() const;                // "https://address:port", or "http://…" for plain HTTP
    QString caFile() const;             // PEM of the CA that signed the certificate (HTTPS)
    QString certificateSha256() const;  // of the server certificate (DER), lower-case hex

    // The reply to the `reply`-th request of every walk of `className` (0: the Enumerate, n: the
    // n-th Pull; an empty class name: any class) goes wrong as told.
    void troubleAt(const QString& className, int reply, Trouble trouble);

    QStringList violations() const;
    QStringList filters() const;  // the WQL texts enumerated, in order of arrival
    QStringList peers() const;    // the clients Negotiate accepted, in order ("qelto", "u@REALM")
    Stats stats() const;

    // A port on `address` that nothing listens on (for "connection refused").
    static std::uint16_t unusedPort(const QString& address = QStringLiteral("127.0.0.2"));

    struct Impl;

  private:
    std::unique_ptr<Impl> d_;
    QString error_;
};

}  // namespace qelto::test
