#include "epm.h"

namespace qelto::dcom {

const SyntaxId EndpointMapper{
    QUuid(0xe1af8308, 0x5d1f, 0x11c9, 0x91, 0xa4, 0x08, 0x00, 0x2b, 0x14, 0xa0, 0xfa), 3, 0};

namespace {

constexpr std::uint8_t ProtocolUuid = 0x0d, ProtocolRpcCo = 0x0b, ProtocolTcp = 0x07,
                       ProtocolIp = 0x09;

void floor(WireWriter& w, QByteArrayView lhs, QByteArrayView rhs) {
    w.u16(std::uint16_t(lhs.size())).bytes(lhs).u16(std::uint16_t(rhs.size())).bytes(rhs);
}

QByteArray uuidFloor(const SyntaxId& s) {
    WireWriter w;
    w.u8(ProtocolUuid).uuid(s.uuid).u16(s.major);
    return w.bytes();
}

QByteArray u16le(std::uint16_t v) {
    WireWriter w;
    w.u16(v);
    return w.bytes();
}

// The tower of `iface` over ncacn_ip_tcp, port and address left open.
QByteArray tower(const SyntaxId& iface) {
    WireWriter w;
    w.u16(5);
    floor(w, uuidFloor(iface), u16le(iface.minor));
    floor(w, uuidFloor(Ndr20), u16le(Ndr20.minor));
    floor(w, QByteArray(1, char(ProtocolRpcCo)), u16le(0));
    floor(w, QByteArray(1, char(ProtocolTcp)), QByteArray(2, '\0'));
    floor(w, QByteArray(1, char(ProtocolIp)), QByteArray(4, '\0'));
    return w.bytes();
}

// The TCP port of one tower (the port floor is big-endian); none for another protocol.
std::optional<std::uint16_t> towerPort(QByteArrayView t) {
    WireReader r(t, "协议塔");
    const std::uint16_t floors = r.u16();
    std::optional<std::uint16_t> port;
    for (int k = 0; k < floors; ++k) {
        const QByteArrayView lhs = r.bytes(r.u16());
        const QByteArrayView rhs = r.bytes(r.u16());
        if (lhs.size() == 1 && lhs[0] == char(ProtocolTcp) && rhs.size() == 2)
            port = std::uint16_t(std::uint8_t(rhs[0]) << 8 | std::uint8_t(rhs[1]));
    }
    return port;
}

}  // namespace

QByteArray eptMapRequest(const SyntaxId& iface, std::uint32_t maxTowers) {
    const QByteArray t = tower(iface);
    WireWriter w;
    w.u32(1).uuid(QUuid());  // [ptr] object: the nil UUID
    w.u32(2)
        .u32(std::uint32_t(t.size()))
        .u32(std::uint32_t(t.size()))
        .bytes(t)
        .align(4);  // [ptr] map_tower
    w.zeros(20);    // entry_handle: none yet
    w.u32(maxTowers);
    return w.bytes();
}

EptMapAnswer parseEptMapResponse(QByteArrayView stub) {
    WireReader r(stub, "ept_map 应答");
    r.skip(20);  // entry_handle
    const std::uint32_t count = r.u32();
    const std::uint32_t max = r.u32(), offset = r.u32(), actual = r.u32();
    if (actual > max || offset != 0 || actual != count || qsizetype(actual) * 4 > r.left())
        throw ProtocolError(QStringLiteral("ept_map 应答的协议塔数组无效"));
    std::uint32_t nonNull = 0;
    for (std::uint32_t k = 0; k < actual; ++k) nonNull += r.u32() != 0;
    EptMapAnswer a;
    for (std::uint32_t k = 0; k < nonNull; ++k) {
        const std::uint32_t conformance = r.u32(), length = r.u32();
        if (conformance != length)
            throw ProtocolError(QStringLiteral("ept_map 应答的协议塔长度不一致"));
        const QByteArrayView t = r.bytes(length);
        r.seek(qMin(r.offset() + r.left(), (r.offset() + 3) / 4 * 4));
        if (!a.port) a.port = towerPort(t);
    }
    a.status = r.u32();
    return a;
}

}  // namespace qelto::dcom
