// The server side of HTTP Negotiate (SPNEGO, RFC 4559) with Kerberos, for the tests' listener:
// checks a client's token against the service keys in a keytab and names the client.
//
//     WsmanListenerOptions().withNegotiate(NegotiateAcceptor(kdc.keytab))
//
// or by hand in an httplib handler:
//
//     NegotiateAcceptor acceptor(kdc.keytab);
//     std::string reply;
//     if (auto who = acceptor.acceptAuthorization(req.get_header_value("Authorization"), &reply)) {
//         if (!reply.empty()) res.set_header("WWW-Authenticate", reply);
//         … serve the request for *who …
//     } else {
//         res.status = 401;
//         res.set_header("WWW-Authenticate", "Negotiate");
//     }
//
// Only the one-leg exchange Kerberos uses is supported: a token that asks for a further round
// (GSS_S_CONTINUE_NEEDED) is refused. Every call stands alone (no state between requests), so one
// acceptor may serve several threads at once. Replays of a token are refused through a replay
// cache kept next to the keytab.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>

namespace qelto::test {

class NegotiateAcceptor {
  public:
    // keytab: a keytab file holding the service principal(s) (HTTP/<host>@REALM) to accept for.
    explicit NegotiateAcceptor(QString keytab);

    // tokenFromClient: the GSS-API token as sent (base64-decoded), SPNEGO or plain Kerberos.
    // Returns the client principal ("user@REALM") when the token is accepted; then
    // *tokenToClient holds the mutual-authentication reply token (raw bytes; may be empty).
    // On refusal returns nothing, and *error (when given) tells why.
    std::optional<QString> acceptNegotiate(const QByteArray& tokenFromClient,
                                           QByteArray* tokenToClient,
                                           QString* error = nullptr) const;

    // The same, callable as the listener's Negotiate hook.
    std::optional<QString> operator()(const QByteArray& tokenFromClient,
                                      QByteArray* tokenToClient) const {
        return acceptNegotiate(tokenFromClient, tokenToClient);
    }

    // The same from an HTTP Authorization header value ("Negotiate <base64>"); *wwwAuthenticate
    // receives "Negotiate <base64>" for the reply when there is a token to send back, else "".
    std::optional<QString> acceptAuthorization(const std::string& authorization,
                                               std::string* wwwAuthenticate,
                                               QString* error = nullptr) const;

    const QString& keytab() const { return keytab_; }

  private:
    QString keytab_;
    QByteArray keytabStore_;  // "FILE:<keytab>"
    QByteArray rcacheStore_;  // "file2:<keytab's folder>/negotiate.rcache"
};

}  // namespace qelto::test
