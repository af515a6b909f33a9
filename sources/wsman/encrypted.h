#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

// The multipart/encrypted body that carries a sealed SOAP message over the HTTP listener:
//
//   --Encrypted Boundary\r\n
//   \tContent-Type: application/HTTP-SPNEGO-session-encrypted\r\n
//   \tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=<plain bytes>\r\n
//   --Encrypted Boundary\r\n
//   \tContent-Type: application/octet-stream\r\n
//   <uint32 LE header length><header><sealed bytes>--Encrypted Boundary--\r\n
//
// The header is the security token of the seal (the NTLM signature, or the Kerberos wrap token's
// header). Parsing works on bytes and offsets: sealed data may hold CR, LF and anything that
// looks like a boundary. Part headers with or without their leading tab are accepted.
namespace qelto::wmi::wsman {

inline constexpr char kSpnegoEncrypted[] = "application/HTTP-SPNEGO-session-encrypted";
inline constexpr char kKerberosEncrypted[] = "application/HTTP-Kerberos-session-encrypted";
inline constexpr char kSoapType[] = "application/soap+xml;charset=UTF-8";

struct EncryptedPart {
    QByteArray protocol;        // the first part's Content-Type
    QByteArray originalType;    // OriginalContent's type, e.g. "application/soap+xml;charset=UTF-8"
    qsizetype plainLength = 0;  // OriginalContent's Length: the size once unsealed
    QByteArray header;          // the security token
    QByteArray sealed;          // the encrypted message
};

// The HTTP Content-Type of such a body.
QByteArray encryptedContentType(QByteArrayView protocol);

// One sealed message as a body.
QByteArray encryptedBody(const EncryptedPart& part);

// Whether a Content-Type header names multipart/encrypted (any protocol); *protocol and
// *boundary receive its parameters.
bool isEncryptedType(QByteArrayView contentType, QByteArray* protocol = nullptr,
                     QByteArray* boundary = nullptr);

// The sealed messages of a body whose Content-Type is `contentType`, in order. Throws
// DecodeError (decode.h) when the body is not such a body, in Chinese words.
std::vector<EncryptedPart> parseEncryptedBody(QByteArrayView contentType, QByteArrayView body);

}  // namespace qelto::wmi::wsman
