#include "pdu.h"

namespace qelto::dcom {

const SyntaxId Ndr20{
    QUuid(0x8a885d04, 0x1ceb, 0x11c9, 0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60), 2, 0};

namespace {

[[noreturn]] void bad(const QString& why) {
    throw ProtocolError(why);
}

SyntaxId readSyntax(WireReader& r) {
    SyntaxId s;
    s.uuid = r.uuid();
    s.major = r.u16();
    s.minor = r.u16();
    return s;
}

void writeSyntax(WireWriter& w, const SyntaxId& s) {
    w.uuid(s.uuid).u16(s.major).u16(s.minor);
}

// The reader of a body, starting after the common header.
WireReader bodyReader(const Fragment& f, const char* what) {
    return WireReader(f.body(), what);
}

}  // namespace

Header parseHeader(QByteArrayView first16, qsizetype maxFragment) {
    WireReader r(first16, "RPC 报文头");
    const std::uint8_t version = r.u8(), minor = r.u8();
    Header h;
    h.type = PType(r.u8());
    h.flags = r.u8();
    const QByteArrayView drep = r.bytes(4);
    h.fragLength = r.u16();
    h.authLength = r.u16();
    h.callId = r.u32();
    if (version != 5 || minor != 0)
        bad(QStringLiteral("RPC 版本 %1.%2 不是 5.0").arg(version).arg(minor));
    if (drep[0] != 0x10 || drep[1] != 0)
        bad(QStringLiteral("不支持的数据表示 0x%1%2（只支持小端 ASCII/IEEE）")
                .arg(uchar(drep[0]), 2, 16, QChar(u'0'))
                .arg(uchar(drep[1]), 2, 16, QChar(u'0')));
    if (h.fragLength < HeaderSize || h.fragLength > maxFragment)
        bad(QStringLiteral("分片长度 %1 不在 %2 到 %3 之间")
                .arg(h.fragLength)
                .arg(HeaderSize)
                .arg(maxFragment));
    if (h.authLength > 0 && HeaderSize + TrailerSize + h.authLength > h.fragLength)
        bad(QStringLiteral("认证长度 %1 超出了分片长度 %2").arg(h.authLength).arg(h.fragLength));
    return h;
}

Fragment parseFragment(QByteArray bytes, qsizetype maxFragment) {
    Fragment f;
    f.header = parseHeader(QByteArrayView(bytes).first(qMin<qsizetype>(bytes.size(), HeaderSize)),
                           maxFragment);
    if (bytes.size() != f.header.fragLength)
        bad(QStringLiteral("分片有 %1 字节，报文头说 %2")
                .arg(bytes.size())
                .arg(f.header.fragLength));
    f.bytes = std::move(bytes);
    f.trailerAt = f.header.fragLength;
    if (f.header.authLength == 0) return f;
    f.hasAuth = true;
    f.trailerAt = f.header.fragLength - f.header.authLength - TrailerSize;
    WireReader r(QByteArrayView(f.bytes).sliced(f.trailerAt, TrailerSize), "认证尾");
    f.auth.type = r.u8();
    f.auth.level = AuthLevel(r.u8());
    f.auth.padLength = r.u8();
    r.skip(1);
    f.auth.contextId = r.u32();
    if (f.auth.padLength > f.trailerAt - HeaderSize)
        bad(QStringLiteral("认证填充长度 %1 超出了报文体").arg(f.auth.padLength));
    return f;
}

BindAck parseBindAck(const Fragment& f) {
    WireReader r = bodyReader(f, "bind_ack 报文体");
    BindAck a;
    a.maxXmitFrag = r.u16();
    a.maxRecvFrag = r.u16();
    a.assocGroup = r.u32();
    const std::uint16_t addressLength = r.u16();
    a.secondaryAddress = r.bytes(addressLength).toByteArray();
    if (a.secondaryAddress.endsWith('\0')) a.secondaryAddress.chop(1);
    r.seek((r.offset() + 3) / 4 * 4);  // the body starts 4-aligned in the PDU
    const std::uint8_t count = r.u8();
    r.skip(3);
    for (int k = 0; k < count; ++k) {
        ContextResult c;
        c.result = r.u16();
        c.reason = r.u16();
        c.transfer = readSyntax(r);
        a.results.push_back(c);
    }
    return a;
}

std::uint16_t parseBindNak(const Fragment& f) {
    return bodyReader(f, "bind_nak 报文体").u16();
}

ResponseBody parseResponse(const Fragment& f) {
    WireReader r = bodyReader(f, "response 报文体");
    ResponseBody b;
    b.allocHint = r.u32();
    b.contextId = r.u16();
    r.skip(2);  // cancel count, reserved
    const qsizetype pad = f.hasAuth ? f.auth.padLength : 0;
    if (pad > r.left()) bad(QStringLiteral("认证填充长度 %1 超出了存根数据").arg(pad));
    b.stub = r.bytes(r.left() - pad);
    return b;
}

std::uint32_t parseFault(const Fragment& f) {
    WireReader r = bodyReader(f, "fault 报文体");
    r.skip(8);  // alloc hint, context id, cancel count, reserved
    return r.u32();
}

QByteArray bindBody(std::uint16_t maxXmit, std::uint16_t maxRecv, std::uint32_t assocGroup,
                    std::span<const ContextElement> contexts) {
    WireWriter w;
    w.u16(maxXmit).u16(maxRecv).u32(assocGroup).u8(std::uint8_t(contexts.size())).zeros(3);
    for (const ContextElement& c : contexts) {
        w.u16(c.id).u8(std::uint8_t(c.transfers.size())).u8(0);
        writeSyntax(w, c.abstract);
        for (const SyntaxId& t : c.transfers) writeSyntax(w, t);
    }
    return w.bytes();
}

QByteArray requestHeader(std::uint32_t allocHint, std::uint16_t contextId, std::uint16_t opnum,
                         const QUuid* object) {
    WireWriter w;
    w.u32(allocHint).u16(contextId).u16(opnum);
    if (object) w.uuid(*object);
    return w.bytes();
}

QByteArray makePdu(PType type, std::uint8_t flags, std::uint32_t callId, QByteArrayView body,
                   const AuthTrailer* trailer, std::uint16_t authLength) {
    WireWriter w;
    w.u8(5)
        .u8(0)
        .u8(std::uint8_t(type))
        .u8(flags)
        .u32(0x10)
        .u16(0)
        .u16(trailer ? authLength : 0)
        .u32(callId);
    w.bytes(body);
    if (trailer) {
        w.zeros(trailer->padLength);
        w.u8(trailer->type)
            .u8(std::uint8_t(trailer->level))
            .u8(trailer->padLength)
            .u8(0)
            .u32(trailer->contextId);
        w.zeros(authLength);
    }
    w.put16(8, std::uint16_t(w.size()));
    return w.bytes();
}

QString faultName(std::uint32_t status) {
    static const struct {
        std::uint32_t status;
        const char* name;
    } names[] = {
        {0x1C010001, "nca_s_comm_failure"},
        {0x1C010002, "nca_s_op_rng_error"},
        {0x1C010003, "nca_s_unk_if"},
        {0x1C010006, "nca_s_wrong_boot_time"},
        {0x1C010009, "nca_s_you_crashed"},
        {0x1C01000B, "nca_s_proto_error"},
        {0x1C010013, "nca_s_out_args_too_big"},
        {0x1C010014, "nca_s_server_too_busy"},
        {0x1C010017, "nca_s_unsupported_type"},
        {0x1C000001, "nca_s_fault_int_div_by_zero"},
        {0x1C000005, "nca_s_fault_addr_error"},
        {0x1C00000D, "nca_s_fault_invalid_tag"},
        {0x1C00000E, "nca_s_fault_invalid_bound"},
        {0x1C000011, "nca_s_fault_cancel"},
        {0x1C000012, "nca_s_fault_ill_inst"},
        {0x1C000014, "nca_s_fault_unspec"},
        {0x1C00001B, "nca_s_fault_remote_no_memory"},
        {0x1C000020, "nca_s_fault_context_mismatch"},
        {0x00000005, "access denied"},
        {0x000006F7, "rpc_x_bad_stub_data"},
        {0x000006D8, "rpc_s_cannot_support"},
        {0x80010108, "RPC_E_DISCONNECTED"},
    };
    for (const auto& n : names)
        if (n.status == status) return QString::fromLatin1(n.name);
    return {};
}

}  // namespace qelto::dcom
