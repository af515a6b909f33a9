// Connection-oriented DCE/RPC PDUs (C706 chapter 12, MS-RPCE 2.2.2): the common header, the
// authentication trailer, and the bodies of bind, bind_ack/alter_context_resp, bind_nak,
// request, response and fault. Readers take a complete fragment and check every length against
// it; writers put together what the client sends.
#pragma once

#include "wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QUuid>

#include <cstdint>
#include <span>
#include <vector>

namespace qelto::dcom {

enum class PType : std::uint8_t {
    Request = 0,
    Response = 2,
    Fault = 3,
    Bind = 11,
    BindAck = 12,
    BindNak = 13,
    AlterContext = 14,
    AlterContextResp = 15,
    Auth3 = 16,
    Shutdown = 17,
    CoCancel = 18,
    Orphaned = 19,
};

namespace pfc {
inline constexpr std::uint8_t FirstFrag = 0x01;
inline constexpr std::uint8_t LastFrag = 0x02;
inline constexpr std::uint8_t SupportHeaderSign = 0x04;  // in bind and its answers
inline constexpr std::uint8_t ConcMpx = 0x10;
inline constexpr std::uint8_t DidNotExecute = 0x20;
inline constexpr std::uint8_t ObjectUuid = 0x80;
}  // namespace pfc

enum class AuthLevel : std::uint8_t {
    None = 1,
    Connect = 2,
    Call = 3,
    Packet = 4,
    Integrity = 5,
    Privacy = 6
};

namespace authtype {
inline constexpr std::uint8_t Spnego = 9;
inline constexpr std::uint8_t Ntlm = 10;
inline constexpr std::uint8_t Kerberos = 16;
}  // namespace authtype

inline constexpr qsizetype HeaderSize = 16;
inline constexpr qsizetype TrailerSize = 8;  // sec_trailer without auth_value
inline constexpr qsizetype AuthPadAlignment = 16;

struct SyntaxId {
    QUuid uuid;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    bool operator==(const SyntaxId&) const = default;
};
// NDR 2.0, the transfer syntax offered for every interface.
extern const SyntaxId Ndr20;

struct Header {
    PType type = PType::Request;
    std::uint8_t flags = 0;
    std::uint16_t fragLength = 0;
    std::uint16_t authLength = 0;
    std::uint32_t callId = 0;
};

struct AuthTrailer {
    std::uint8_t type = 0;
    AuthLevel level = AuthLevel::None;
    std::uint8_t padLength = 0;
    std::uint32_t contextId = 0;
};

// One complete fragment as received.
struct Fragment {
    Header header;
    QByteArray bytes;  // frag_length bytes
    bool hasAuth = false;
    AuthTrailer auth;
    qsizetype trailerAt = 0;  // where the sec_trailer starts (= end of body and padding)

    QByteArrayView body() const {
        return QByteArrayView(bytes).sliced(HeaderSize, trailerAt - HeaderSize);
    }
    QByteArrayView authValue() const {
        return QByteArrayView(bytes).sliced(trailerAt + (hasAuth ? TrailerSize : 0),
                                            header.authLength);
    }
};

// The 16 header bytes of a fragment; throws ProtocolError unless version 5.0, little-endian
// ASCII/IEEE data, HeaderSize <= frag_length <= maxFragment and room for the auth trailer.
Header parseHeader(QByteArrayView first16, qsizetype maxFragment);
// A whole fragment (exactly frag_length bytes), its trailer checked against the body.
Fragment parseFragment(QByteArray bytes, qsizetype maxFragment);

struct ContextResult {
    std::uint16_t result =
        0;  // 0 acceptance, 1 user rejection, 2 provider rejection, 3 negotiate_ack
    std::uint16_t reason = 0;
    SyntaxId transfer;
};
struct BindAck {
    std::uint16_t maxXmitFrag = 0;
    std::uint16_t maxRecvFrag = 0;
    std::uint32_t assocGroup = 0;
    QByteArray secondaryAddress;  // the port as text on bind_ack, empty on alter_context_resp
    std::vector<ContextResult> results;
};
BindAck parseBindAck(const Fragment& f);        // bind_ack and alter_context_resp
std::uint16_t parseBindNak(const Fragment& f);  // provider_reject_reason
struct ResponseBody {
    std::uint32_t allocHint = 0;
    std::uint16_t contextId = 0;
    QByteArrayView stub;  // without the auth padding
};
ResponseBody parseResponse(const Fragment& f);
std::uint32_t parseFault(const Fragment& f);  // the status

struct ContextElement {
    std::uint16_t id = 0;
    SyntaxId abstract;
    std::vector<SyntaxId> transfers;
};
QByteArray bindBody(std::uint16_t maxXmit, std::uint16_t maxRecv, std::uint32_t assocGroup,
                    std::span<const ContextElement> contexts);
QByteArray requestHeader(std::uint32_t allocHint, std::uint16_t contextId, std::uint16_t opnum,
                         const QUuid* object);

// A PDU put together: header, body, and with `trailer` the auth padding (`padLength` zeros,
// already counted by the caller), the sec_trailer and room for `authLength` bytes of auth value
// (zeros, to be filled in). frag_length and auth_length are final.
QByteArray makePdu(PType type, std::uint8_t flags, std::uint32_t callId, QByteArrayView body,
                   const AuthTrailer* trailer = nullptr, std::uint16_t authLength = 0);

// Names of the statuses a fault carries, for messages ("nca_s_op_rng_error"); empty if unknown.
QString faultName(std::uint32_t status);

}  // namespace qelto::dcom
