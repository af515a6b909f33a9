#include "calls_internal.h"

namespace qelto::dcom::detail {

void writeInterfaceData(Writer& w, QByteArrayView objRef) {
    w.align(4);
    w.u32(std::uint32_t(objRef.size()));
    w.u32(std::uint32_t(objRef.size()));
    w.bytes(objRef);
}

QByteArray readInterfaceData(Reader& r) {
    r.align(4);
    const std::uint32_t max = r.u32();
    const std::uint32_t count = r.u32();
    if (count != max) r.fail(QStringLiteral("接口指针的长度不一致"));
    return r.bytes(count).toByteArray();
}

std::optional<QByteArray> readInterfacePointer(Reader& r) {
    if (r.u32() == 0) return std::nullopt;
    return readInterfaceData(r);
}

void writeWideString(Writer& w, std::uint32_t referent, const QString& text) {
    w.u32(referent);
    const auto units = std::uint32_t(text.size() + 1);
    w.u32(units);
    w.u32(0);
    w.u32(units);
    for (QChar c : text) w.u16(c.unicode());
    w.u16(0);
    w.align(4);
}

QString readWideString(Reader& r) {
    const std::uint32_t max = r.u32();
    const std::uint32_t offset = r.u32();
    const std::uint32_t actual = r.u32();
    if (offset != 0 || actual > max || actual == 0 || actual > r.remaining() / 2)
        r.fail(QStringLiteral("字符串的长度不符"));
    QString text;
    for (std::uint32_t k = 0; k < actual; ++k) text.append(QChar(r.u16()));
    if (!text.endsWith(QChar(0))) r.fail(QStringLiteral("字符串没有结尾"));
    text.chop(1);
    r.align(4);
    return text;
}

void writeBstr(Writer& w, std::uint32_t referent, const QString& text) {
    w.u32(referent);
    w.u32(std::uint32_t(text.size()));
    w.u32(std::uint32_t(text.size() * 2));
    w.u32(std::uint32_t(text.size()));
    for (QChar c : text) w.u16(c.unicode());
    w.align(4);
}

QString readBstr(Reader& r) {
    if (r.u32() == 0) return {};
    const std::uint32_t max = r.u32();
    const std::uint32_t bytes = r.u32();
    const std::uint32_t units = r.u32();
    if (units != max || bytes != units * 2 || units > r.remaining() / 2)
        r.fail(QStringLiteral("BSTR 的长度不符"));
    QString text;
    for (std::uint32_t k = 0; k < units; ++k) text.append(QChar(r.u16()));
    while (text.endsWith(QChar(0))) text.chop(1);  // a client may count the NUL in
    r.align(4);
    return text;
}

QByteArray serializeType(QByteArrayView body) {
    Writer w;
    w.u8(1);     // version
    w.u8(0x10);  // little-endian
    w.u16(8);
    w.u32(0xCCCCCCCC);
    const std::size_t padded = (std::size_t(body.size()) + 7) / 8 * 8;
    w.u32(std::uint32_t(padded));
    w.u32(0);
    w.bytes(body);
    w.align(8);
    return w.take();
}

QByteArrayView readSerializedType(Reader& r) {
    if (r.u8() != 1 || r.u8() != 0x10 || r.u16() != 8)
        r.fail(QStringLiteral("类型序列化头不是版本 1、小端"));
    r.skip(4);
    const std::uint32_t length = r.u32();
    r.skip(4);
    return r.bytes(length);
}

HResult readHResult(Reader& r) {
    r.align(4);
    const HResult hr = r.u32();
    // What may follow is padding the transport left (an auth_pad), never a further value.
    if (r.remaining() > 15) r.fail(QStringLiteral("HRESULT 之后还有数据"));
    return hr;
}

}  // namespace qelto::dcom::detail
