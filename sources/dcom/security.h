// A security provider of an RPC connection: the tokens of the authentication legs, then the
// verifier of every PDU. NTLM is written here (ntlm.h); Kerberos through GSS-API can be another.
#pragma once

#include "pdu.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <memory>

namespace qelto::dcom {

struct NtlmCredentials;
struct NtlmFixed;

class Security {
  public:
    virtual ~Security() = default;
    virtual std::uint8_t authType() const = 0;
    // Leg 1: the token of the bind.
    virtual QByteArray firstToken() = 0;
    // Leg 2 in (the bind_ack's token), leg 3 out (sent in auth3); throws ProtocolError.
    virtual QByteArray nextToken(QByteArrayView serverToken) = 0;
    // Whether this provider can protect PDUs at `level` at all (asked before the bind).
    virtual bool supports(AuthLevel) const { return true; }
    // Whether the context agreed on confidentiality (privacy needs it).
    virtual bool canSeal() const = 0;
    // Whether the server agreed to header signing (bind_ack's PFC_SUPPORT_HEADER_SIGN): the
    // verifier then covers the PDU header and the sec_trailer too. NTLM signs them always.
    virtual void headerSigning(bool) {}
    // The size of the verifier of every PDU after the handshake.
    virtual std::uint16_t signatureSize() const = 0;
    // `pdu` runs from the header through the sec_trailer with the final lengths; its bytes
    // [from, from + length) (stub and auth padding) are encrypted in place when `seal`. Returns
    // the verifier that goes after the sec_trailer.
    virtual QByteArray protect(QByteArray& pdu, qsizetype from, qsizetype length, bool seal) = 0;
    // The reverse for a received PDU (without its verifier); false when the check fails.
    virtual bool unprotect(QByteArray& pdu, qsizetype from, qsizetype length,
                           QByteArrayView verifier, bool seal) = 0;
};

std::unique_ptr<Security> ntlmSecurity(const NtlmCredentials& credentials);
std::unique_ptr<Security> ntlmSecurity(const NtlmCredentials& credentials, const NtlmFixed& fixed);

}  // namespace qelto::dcom
