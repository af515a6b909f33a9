// The endpoint mapper's ept_map (opnum 3; towers encoded as C706 appendices L and I say): the
// request stub with a protocol tower for an interface over ncacn_ip_tcp, and the port read from
// the towers of the answer. Pure functions over bytes.
#pragma once

#include "pdu.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>

namespace qelto::dcom {

// EPMv4, E1AF8308-5D1F-11C9-91A4-08002B14A0FA v3.0.
extern const SyntaxId EndpointMapper;
inline constexpr std::uint16_t EptMapOpnum = 3;
inline constexpr std::uint32_t EptNotRegistered = 0x16c9a0d6;

QByteArray eptMapRequest(const SyntaxId& iface, std::uint32_t maxTowers = 4);
struct EptMapAnswer {
    std::uint32_t status = 0;
    std::optional<std::uint16_t> port;  // of the first ncacn_ip_tcp tower
};
// Throws ProtocolError for a malformed answer.
EptMapAnswer parseEptMapResponse(QByteArrayView stub);

}  // namespace qelto::dcom
