#include "calls_internal.h"

namespace qelto::dcom {

using namespace detail;

namespace {

// The properties of ActivationPropertiesIn (MS-DCOM 2.2.22.2), each the body of one type
// serialization.

// InstantiationInfoData: the class, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, one interface,
// its own serialized size (thisSize, patched in afterwards) and the client's COM version 5.7.
QByteArray instantiationInfo(const Guid& clsid, const Guid& iid) {
    Writer w;
    w.guid(clsid);
    w.u32(0x14);  // classCtx
    w.u32(0);     // actvflags
    w.u32(0);     // fIsSurrogate
    w.u32(1);     // cIID
    w.u32(0);     // instFlag
    w.u32(0x00020004);
    w.u32(0);  // thisSize
    w.u16(5);
    w.u16(7);
    w.u32(1);
    w.guid(iid);
    QByteArray serialized = serializeType(w.data());
    Writer size;
    size.u32(std::uint32_t(serialized.size()));
    serialized.replace(16 + 40, 4, size.data());
    return serialized;
}

QByteArray zeros(std::size_t n) {
    return serializeType(QByteArray(qsizetype(n), '\0'));
}

// ScmRequestInfoData: no reserved pointer, then the request: impersonation level identify and
// the one protocol sequence asked for, ncacn_ip_tcp.
QByteArray scmRequestInfo() {
    Writer w;
    w.u32(0);
    w.u32(0x00020004);
    w.u32(2);  // ClientImpLevel
    w.u16(1);  // cRequestedProtseqs
    w.align(4);
    w.u32(0x00020008);
    w.u32(1);
    w.u16(kTowerTcp);
    return serializeType(w.data());
}

// The ActivationPropertiesBlob: dwSize, dwReserved, the CustomHeader naming each property's
// class and size, then the properties.
QByteArray activationBlob(const std::vector<std::pair<Guid, QByteArray>>& props) {
    auto header = [&](std::uint32_t totalSize, std::uint32_t headerSize) {
        Writer w;
        w.u32(totalSize);
        w.u32(headerSize);
        w.u32(0);
        w.u32(2);  // MSHCTX_DIFFERENTMACHINE
        w.u32(std::uint32_t(props.size()));
        w.guid(Guid{});
        w.u32(0x00020004);
        w.u32(0x00020008);
        w.u32(0);
        w.u32(std::uint32_t(props.size()));
        for (const auto& p : props) w.guid(p.first);
        w.u32(std::uint32_t(props.size()));
        for (const auto& p : props) w.u32(std::uint32_t(p.second.size()));
        return serializeType(w.data());
    };
    const auto headerSize = std::uint32_t(header(0, 0).size());
    std::uint32_t total = headerSize;
    for (const auto& p : props) total += std::uint32_t(p.second.size());
    Writer blob;
    blob.u32(total);
    blob.u32(0);
    blob.bytes(header(total, headerSize));
    for (const auto& p : props) blob.bytes(p.second);
    return blob.take();
}

}  // namespace

QByteArray remoteCreateInstanceRequest(const Guid& causality, const Guid& clsid, const Guid& iid) {
    const QByteArray blob = activationBlob({
        {ids::kClsidActivationContextInfo, zeros(24)},
        {ids::kClsidInstantiationInfo, instantiationInfo(clsid, iid)},
        {ids::kClsidServerLocationInfo, zeros(16)},
        {ids::kClsidScmRequestInfo, scmRequestInfo()},
        {ids::kClsidSecurityInfo, zeros(12)},
    });
    const QByteArray objRef =
        writeCustomObjRef(ids::kActivationPropertiesInIid, ids::kClsidActivationPropertiesIn, blob);
    Writer w;
    writeOrpcThis(w, causality);
    w.u32(0);  // pUnkOuter
    w.u32(0x00020000);
    writeInterfaceData(w, objRef);
    return w.take();
}

namespace {

constexpr std::uint32_t kMaxActivationProperties = 16, kMaxInterfaces = 32;

// The properties of an activation blob: each one's class and serialized body.
using Properties = std::vector<std::pair<Guid, QByteArray>>;

std::vector<std::uint32_t> readCountedU32(Reader& r, std::uint32_t count) {
    if (r.u32() != count) r.fail(QStringLiteral("数组长度与计数不符"));
    std::vector<std::uint32_t> out(count);
    for (std::uint32_t& v : out) v = r.u32();
    return out;
}

std::vector<Guid> readCountedGuids(Reader& r, std::uint32_t count) {
    if (r.u32() != count) r.fail(QStringLiteral("数组长度与计数不符"));
    std::vector<Guid> out(count);
    for (Guid& g : out) g = r.guid();
    return out;
}

Properties readActivationBlob(QByteArrayView objRefBytes, const Guid& clsid) {
    const ObjRef o = readObjRef(objRefBytes);
    Reader r(o.customData, "DCOM 激活属性");
    if (o.flags != 4 || o.clsid != clsid) r.fail(QStringLiteral("不是所要的激活属性类"));
    r.skip(8);  // dwSize, dwReserved
    Reader h(readSerializedType(r), "DCOM 激活属性头");
    h.skip(4);  // totalSize
    // The properties follow the header as long as headerSize says, whatever padding it had.
    const std::uint32_t headerSize = h.u32();
    r.seek(8);
    r.skip(headerSize);
    h.skip(8);  // dwReserved, destCtx
    const std::uint32_t count = h.u32();
    if (count > kMaxActivationProperties) h.fail(QStringLiteral("属性过多"));
    h.skip(16);  // classInfoClsid
    const bool classes = h.u32() != 0, sizes = h.u32() != 0;
    const bool reserved = h.u32() != 0;
    if (!classes || !sizes) h.fail(QStringLiteral("缺少属性的类或大小"));
    const std::vector<Guid> ids = readCountedGuids(h, count);
    const std::vector<std::uint32_t> lengths = readCountedU32(h, count);
    if (reserved) h.skip(4);
    Properties out;
    for (std::uint32_t k = 0; k < count; ++k) {
        Reader p(r.bytes(lengths[k]), "DCOM 激活属性");
        out.push_back({ids[k], readSerializedType(p).toByteArray()});
    }
    return out;
}

void readPropsOut(QByteArrayView body, ActivationReply& reply) {
    Reader r(body, "PropsOutInfo");
    const std::uint32_t count = r.u32();
    if (count == 0 || count > kMaxInterfaces) r.fail(QStringLiteral("接口个数超出范围"));
    if (r.u32() == 0 || r.u32() == 0 || r.u32() == 0) r.fail(QStringLiteral("缺少接口数组"));
    (void)readCountedGuids(r, count);
    reply.interfaceResult = readCountedU32(r, count).front();
    const std::vector<std::uint32_t> present = readCountedU32(r, count);
    for (std::uint32_t k = 0; k < count; ++k) {
        if (present[k] == 0) continue;
        const QByteArray data = readInterfaceData(r);
        if (k == 0) reply.object = readObjRef(data);
    }
}

void readScmReply(QByteArrayView body, ActivationReply& reply) {
    Reader r(body, "ScmReplyInfoData");
    const bool reserved = r.u32() != 0;
    const bool remote = r.u32() != 0;
    if (reserved) r.skip(4);
    if (!remote) return;  // a failed activation may name no exporter; the caller judges
    r.align(8);
    reply.oxid = r.u64();
    const bool bindings = r.u32() != 0;
    reply.ipidRemUnknown = r.guid();
    reply.authnHint = r.u32();
    reply.serverMajor = r.u16();
    reply.serverMinor = r.u16();
    if (!bindings) return;
    r.align(4);
    const std::uint32_t max = r.u32();
    const std::size_t at = r.pos();
    reply.bindings = readDualStringArray(r);
    if (r.pos() - at != 4 + std::size_t(max) * 2) r.fail(QStringLiteral("绑定数组长度不符"));
}

}  // namespace

ActivationReply readRemoteCreateInstanceReply(QByteArrayView stub) {
    Reader r(stub, "RemoteCreateInstance 回复");
    readOrpcThat(r);
    const std::optional<QByteArray> properties = readInterfacePointer(r);
    ActivationReply reply;
    reply.result = readHResult(r);
    if (!properties) return reply;
    bool propsOut = false;
    for (const auto& [clsid, body] :
         readActivationBlob(*properties, ids::kClsidActivationPropertiesOut)) {
        if (clsid == ids::kClsidActivationPropertiesOut) {
            readPropsOut(body, reply);
            propsOut = true;
        } else if (clsid == ids::kClsidScmReplyInfo) {
            readScmReply(body, reply);
        }
    }
    if (!propsOut) r.fail(QStringLiteral("激活结果缺少 PropsOutInfo"));
    return reply;
}

ActivationRequest readRemoteCreateInstanceRequest(QByteArrayView stub) {
    Reader r(stub, "RemoteCreateInstance 请求");
    readOrpcThis(r);
    if (readInterfacePointer(r)) r.fail(QStringLiteral("不支持聚合"));
    const std::optional<QByteArray> properties = readInterfacePointer(r);
    if (!properties) r.fail(QStringLiteral("缺少激活属性"));
    for (const auto& [clsid, body] :
         readActivationBlob(*properties, ids::kClsidActivationPropertiesIn)) {
        if (clsid != ids::kClsidInstantiationInfo) continue;
        Reader b(body, "InstantiationInfoData");
        ActivationRequest request;
        request.clsid = b.guid();
        b.skip(12);  // classCtx, actvflags, fIsSurrogate
        const std::uint32_t count = b.u32();
        if (count == 0 || count > kMaxInterfaces) b.fail(QStringLiteral("接口个数超出范围"));
        b.skip(4);  // instFlag
        if (b.u32() == 0) b.fail(QStringLiteral("缺少接口数组"));
        b.skip(8);  // thisSize, clientCOMVersion
        request.iids = readCountedGuids(b, count);
        return request;
    }
    r.fail(QStringLiteral("缺少 InstantiationInfoData"));
}

namespace {

QByteArray propsOutInfo(const ActivationReply& reply, const Guid& iid) {
    Writer w;
    w.u32(1);
    w.u32(0x00020004);
    w.u32(0x00020008);
    w.u32(0x0002000C);
    w.u32(1);
    w.guid(iid);
    w.u32(1);
    w.u32(reply.interfaceResult);
    w.u32(1);
    if (reply.object) {
        w.u32(0x00020010);
        writeInterfaceData(
            w, writeStandardObjRef(reply.object->iid, reply.object->std, reply.object->resolver));
    } else {
        w.u32(0);
    }
    return serializeType(w.data());
}

QByteArray scmReplyInfo(const ActivationReply& reply) {
    Writer w;
    w.u32(0);
    w.u32(0x00020004);
    w.align(8);
    w.u64(reply.oxid);
    w.u32(0x00020008);
    w.guid(reply.ipidRemUnknown);
    w.u32(reply.authnHint);
    w.u16(reply.serverMajor);
    w.u16(reply.serverMinor);
    Writer bindings;
    writeDualStringArray(bindings, reply.bindings);
    w.u32(std::uint32_t(bindings.pos() / 2 - 2));  // max_count: the entries' u16 units
    w.bytes(bindings.data());
    return serializeType(w.data());
}

}  // namespace

QByteArray remoteCreateInstanceReply(const ActivationReply& reply, const Guid& iid) {
    Writer w;
    writeOrpcThat(w);
    if (reply.result == 0 || reply.object) {
        const QByteArray blob = activationBlob({
            {ids::kClsidActivationPropertiesOut, propsOutInfo(reply, iid)},
            {ids::kClsidScmReplyInfo, scmReplyInfo(reply)},
        });
        w.u32(0x00020000);
        writeInterfaceData(w,
                           writeCustomObjRef(guidFromText("000001A3-0000-0000-C000-000000000046"),
                                             ids::kClsidActivationPropertiesOut, blob));
    } else {
        w.u32(0);
    }
    w.align(4);
    w.u32(reply.result);
    return w.take();
}

}  // namespace qelto::dcom
