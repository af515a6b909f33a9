#include "calls_internal.h"

namespace qelto::dcom {

using namespace detail;

QByteArray ntlmLoginRequest(const Guid& causality, const QString& networkResource) {
    Writer w;
    writeOrpcThis(w, causality);
    writeWideString(w, 0x00020000, networkResource);
    w.u32(0);  // wszPreferredLocale: NULL
    w.u32(0);  // lFlags
    w.u32(0);  // pCtx: NULL
    return w.take();
}

QString readNtlmLoginRequest(QByteArrayView stub) {
    Reader r(stub, "NTLMLogin 请求");
    readOrpcThis(r);
    if (r.u32() == 0) r.fail(QStringLiteral("缺少命名空间"));
    const QString resource = readWideString(r);
    if (r.u32() != 0) (void)readWideString(r);  // the locale
    (void)r.u32();
    if (readInterfacePointer(r)) r.fail(QStringLiteral("不接受上下文对象"));
    return resource;
}

QByteArray execQueryRequest(const Guid& causality, const QString& query, std::uint32_t flags,
                            const QString& language) {
    Writer w;
    writeOrpcThis(w, causality);
    writeBstr(w, 0x00020000, language);
    writeBstr(w, 0x00020004, query);
    w.u32(flags);
    w.u32(0);  // pCtx: NULL
    return w.take();
}

ExecQueryRequest readExecQueryRequest(QByteArrayView stub) {
    Reader r(stub, "ExecQuery 请求");
    readOrpcThis(r);
    ExecQueryRequest q;
    q.language = readBstr(r);
    q.query = readBstr(r);
    q.flags = r.u32();
    if (readInterfacePointer(r)) r.fail(QStringLiteral("不接受上下文对象"));
    return q;
}

QByteArray nextRequest(const Guid& causality, std::int32_t timeoutMs, std::uint32_t count) {
    Writer w;
    writeOrpcThis(w, causality);
    w.u32(std::uint32_t(timeoutMs));
    w.u32(count);
    return w.take();
}

NextRequest readNextRequest(QByteArrayView stub) {
    Reader r(stub, "Next 请求");
    readOrpcThis(r);
    NextRequest n;
    n.timeoutMs = std::int32_t(r.u32());
    n.count = r.u32();
    return n;
}

QByteArray remReleaseRequest(const Guid& causality, const std::vector<InterfaceRef>& refs) {
    Writer w;
    writeOrpcThis(w, causality);
    w.u16(std::uint16_t(refs.size()));
    w.align(4);
    w.u32(std::uint32_t(refs.size()));
    for (const InterfaceRef& ref : refs) {
        w.guid(ref.ipid);
        w.u32(ref.publicRefs);
        w.u32(ref.privateRefs);
    }
    return w.take();
}

std::vector<InterfaceRef> readRemReleaseRequest(QByteArrayView stub) {
    Reader r(stub, "RemRelease 请求");
    readOrpcThis(r);
    const std::uint16_t count = r.u16();
    r.align(4);
    if (r.u32() != count || count > kMaxBindings) r.fail(QStringLiteral("引用个数不符"));
    std::vector<InterfaceRef> refs(count);
    for (InterfaceRef& ref : refs) {
        ref.ipid = r.guid();
        ref.publicRefs = r.u32();
        ref.privateRefs = r.u32();
    }
    return refs;
}

InterfaceReply readInterfaceReply(QByteArrayView stub) {
    Reader r(stub, "DCOM 回复");
    readOrpcThat(r);
    const std::optional<QByteArray> objRef = readInterfacePointer(r);
    InterfaceReply reply;
    reply.result = readHResult(r);
    if (objRef) reply.object = readObjRef(*objRef);
    return reply;
}

QByteArray interfaceReply(const std::optional<QByteArray>& objRef, HResult result) {
    Writer w;
    writeOrpcThat(w);
    w.u32(objRef ? 0x00020000 : 0);
    if (objRef) writeInterfaceData(w, *objRef);
    w.align(4);
    w.u32(result);
    return w.take();
}

NextReply readNextReply(QByteArrayView stub, std::uint32_t asked) {
    if (std::size_t(stub.size()) > kMaxStubBytes)
        throw FormatError(QStringLiteral("Next 回复超过 %1 字节，不予处理。").arg(kMaxStubBytes));
    Reader r(stub, "Next 回复");
    readOrpcThat(r);
    const std::uint32_t max = r.u32();
    const std::uint32_t offset = r.u32();
    const std::uint32_t count = r.u32();
    if (offset != 0 || count > max || count > asked || count > r.remaining() / 4)
        r.fail(QStringLiteral("返回的对象个数 %1 超出所要的 %2").arg(count).arg(asked));
    std::vector<std::uint32_t> present(count);
    for (std::uint32_t& p : present) p = r.u32();
    NextReply reply;
    for (std::uint32_t p : present) {
        if (p == 0) r.fail(QStringLiteral("返回了空对象"));
        const ObjRef o = readObjRef(readInterfaceData(r));
        if (o.flags != 4 || o.clsid != ids::kClsidWbemClassObject)
            r.fail(QStringLiteral("返回的对象不是按值传送的 WMI 对象"));
        reply.objects.push_back(o.customData);
    }
    r.align(4);
    if (r.u32() != count) r.fail(QStringLiteral("puReturned 与对象个数不符"));
    reply.result = readHResult(r);
    return reply;
}

QByteArray nextReply(const std::vector<QByteArray>& encodingUnits, std::uint32_t asked,
                     HResult result) {
    Writer w;
    writeOrpcThat(w);
    const auto count = std::uint32_t(encodingUnits.size());
    w.u32(asked);
    w.u32(0);
    w.u32(count);
    Referents referents;
    for (std::uint32_t k = 0; k < count; ++k) w.u32(referents.take());
    for (const QByteArray& unit : encodingUnits)
        writeInterfaceData(
            w, writeCustomObjRef(ids::kWbemClassObject, ids::kClsidWbemClassObject, unit));
    w.align(4);
    w.u32(count);
    w.u32(result);
    return w.take();
}

HResult readResultReply(QByteArrayView stub) {
    Reader r(stub, "DCOM 回复");
    readOrpcThat(r);
    return readHResult(r);
}

QByteArray resultReply(HResult result) {
    Writer w;
    writeOrpcThat(w);
    w.u32(result);
    return w.take();
}

}  // namespace qelto::dcom
