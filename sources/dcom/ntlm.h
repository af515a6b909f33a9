// NTLM for the RPC connection, written here: NTLMv2 with extended session security and key
// exchange (NEGOTIATE, CHALLENGE, AUTHENTICATE with MIC), and the per-direction signing and
// sealing of messages (RC4 streams and HMAC-MD5 checksums with sequence numbers).
#pragma once

#include "crypto.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

namespace qelto::dcom {

namespace ntlmflag {
inline constexpr std::uint32_t Unicode = 0x00000001;
inline constexpr std::uint32_t RequestTarget = 0x00000004;
inline constexpr std::uint32_t Sign = 0x00000010;
inline constexpr std::uint32_t Seal = 0x00000020;
inline constexpr std::uint32_t Ntlm = 0x00000200;
inline constexpr std::uint32_t AlwaysSign = 0x00008000;
inline constexpr std::uint32_t ExtendedSessionSecurity = 0x00080000;
inline constexpr std::uint32_t TargetInfo = 0x00800000;
inline constexpr std::uint32_t Version = 0x02000000;
inline constexpr std::uint32_t Key128 = 0x20000000;
inline constexpr std::uint32_t KeyExchange = 0x40000000;
inline constexpr std::uint32_t Key56 = 0x80000000;
}  // namespace ntlmflag

struct NtlmCredentials {
    QString user;
    QString domain;
    QString password;
    QString workstation;  // may stay empty
};

// What the client otherwise draws at random or reads from the clock; fixed only to reproduce
// known answers.
struct NtlmFixed {
    QByteArray clientChallenge;         // 8 bytes
    QByteArray exportedSessionKey;      // 16 bytes
    std::optional<std::uint64_t> time;  // FILETIME; the server's MsvAvTimestamp wins
};

// The signing and sealing of one security context, both directions (MS-NLMP 3.4.3, 3.4.4 with
// extended session security). Each direction has its own sequence number and one RC4 stream for
// the life of the context. A message that fails its check breaks the context for good.
class NtlmSession {
  public:
    enum class Side { Client, Server };
    NtlmSession(QByteArrayView exportedSessionKey, std::uint32_t flags, Side side);

    static constexpr int SignatureSize = 16;
    // The signature of `message` under the next outgoing sequence number; with `sealFrom` and
    // `sealLength`, those bytes of `message` are encrypted in place after the checksum is taken
    // over the plain text (as RPC's packet privacy wants: header and trailer signed, body sealed).
    QByteArray sign(QByteArray& message, qsizetype sealFrom = 0, qsizetype sealLength = 0);
    // The check of an incoming message: decrypts [sealFrom, sealFrom + sealLength) in place first
    // when sealed, then compares checksum and sequence number. False (and the context broken)
    // when they do not match.
    bool verify(QByteArray& message, QByteArrayView signature, qsizetype sealFrom = 0,
                qsizetype sealLength = 0);
    bool broken() const { return broken_; }

  private:
    struct Direction {
        QByteArray signKey;
        crypto::Rc4 seal;
        std::uint32_t sequence = 0;
    };
    QByteArray checksum(Direction& d, QByteArrayView message);

    std::uint32_t flags_;
    Direction out_, in_;
    bool broken_ = false;
};

// The client's three messages. negotiate() first, then authenticate() with the server's
// CHALLENGE; then session() signs and seals.
class NtlmClient {
  public:
    explicit NtlmClient(NtlmCredentials credentials, NtlmFixed fixed = {});

    QByteArray negotiate();
    // The AUTHENTICATE message for `challenge`; throws ProtocolError for a malformed or
    // unusable CHALLENGE.
    QByteArray authenticate(QByteArrayView challenge);

    std::uint32_t flags() const { return flags_; }
    const QByteArray& exportedSessionKey() const { return exportedKey_; }
    NtlmSession* session() { return session_ ? &*session_ : nullptr; }

    // NTOWFv2 (MS-NLMP 3.3.2).
    static QByteArray ntowfv2(const QString& password, const QString& user, const QString& domain);

  private:
    struct Challenge;
    Challenge parseChallenge(QByteArrayView bytes) const;
    QByteArray clientBlob(const Challenge& c, QByteArray& lmResponse) const;

    NtlmCredentials credentials_;
    NtlmFixed fixed_;
    QByteArray negotiateMessage_;
    std::uint32_t flags_ = 0;
    QByteArray exportedKey_;
    std::optional<NtlmSession> session_;
};

// The server's half, for the tests' WMI server: a CHALLENGE for the client's NEGOTIATE (with a
// timestamp, so that the client sends a MIC), and the check of its AUTHENTICATE against the one
// account the server knows: NTProofStr (MS-NLMP 3.3.2), the session key unwrapped (3.4.5.1-2),
// and the MIC. Then session() signs and seals the server's direction.
class NtlmServer {
  public:
    explicit NtlmServer(NtlmCredentials account) : account_(std::move(account)) {}

    QByteArray challenge(QByteArrayView negotiate);
    // True when the AUTHENTICATE names the account and proves its password; throws
    // ProtocolError for a malformed message.
    bool accept(QByteArrayView authenticate);
    NtlmSession* session() { return session_ ? &*session_ : nullptr; }

  private:
    NtlmCredentials account_;
    QByteArray negotiate_, challenge_, serverChallenge_;
    std::optional<NtlmSession> session_;
};

}  // namespace qelto::dcom
