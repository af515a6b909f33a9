#include "calls.h"

#include <algorithm>

namespace qelto::dcom {

namespace ids {
const Guid kRemoteScmActivator = guidFromText("000001A0-0000-0000-C000-000000000046");
const Guid kWbemLevel1Login = guidFromText("F309AD18-D86A-11D0-A075-00C04FB68820");
const Guid kWbemServices = guidFromText("9556DC99-828C-11CF-A37E-00AA003240C7");
const Guid kEnumWbemClassObject = guidFromText("027947E1-D731-11CE-A357-000000000001");
const Guid kRemUnknown = guidFromText("00000131-0000-0000-C000-000000000046");
const Guid kWbemClassObject = guidFromText("DC12A681-737F-11CF-884D-00AA004B2E24");
const Guid kActivationPropertiesInIid = guidFromText("000001A2-0000-0000-C000-000000000046");
const Guid kClsidWbemLevel1Login = guidFromText("8BC3F05E-D86B-11D0-A075-00C04FB68820");
const Guid kClsidActivationPropertiesIn = guidFromText("00000338-0000-0000-C000-000000000046");
const Guid kClsidActivationPropertiesOut = guidFromText("00000339-0000-0000-C000-000000000046");
const Guid kClsidWbemClassObject = guidFromText("4590F812-1D3A-11D0-891F-00AA004B2E24");
const Guid kClsidInstantiationInfo = guidFromText("000001AB-0000-0000-C000-000000000046");
const Guid kClsidActivationContextInfo = guidFromText("000001A5-0000-0000-C000-000000000046");
const Guid kClsidServerLocationInfo = guidFromText("000001A4-0000-0000-C000-000000000046");
const Guid kClsidScmRequestInfo = guidFromText("000001AA-0000-0000-C000-000000000046");
const Guid kClsidSecurityInfo = guidFromText("000001A6-0000-0000-C000-000000000046");
const Guid kClsidScmReplyInfo = guidFromText("000001B6-0000-0000-C000-000000000046");
}  // namespace ids

namespace {

constexpr std::uint32_t kObjRefSignature = 0x574F454D;  // "MEOW"

// UTF-16 text up to a NUL, inside a DUALSTRINGARRAY's entries.
QString utf16UntilNul(Reader& r) {
    QString text;
    for (;;) {
        const std::uint16_t c = r.u16();
        if (c == 0) return text;
        text.append(QChar(c));
    }
}

void writeUtf16Nul(Writer& w, const QString& text) {
    for (QChar c : text) w.u16(c.unicode());
    w.u16(0);
}

}  // namespace

std::optional<TcpBinding> tcpBinding(const StringBinding& b) {
    if (b.towerId != kTowerTcp) return std::nullopt;
    const QString& s = b.networkAddress;
    const qsizetype open = s.lastIndexOf(u'[');
    if (open <= 0 || !s.endsWith(u']')) return std::nullopt;
    bool ok = false;
    const uint port = s.mid(open + 1, s.size() - open - 2).toUInt(&ok);
    if (!ok || port == 0 || port > 65535) return std::nullopt;
    return TcpBinding{s.left(open), std::uint16_t(port)};
}

std::optional<std::uint16_t> portOnReachedAddress(const DualStringArray& bindings,
                                                  const QString& reachedAddress) {
    std::optional<std::uint16_t> first;
    for (const StringBinding& b : bindings.strings) {
        const std::optional<TcpBinding> t = tcpBinding(b);
        if (!t) continue;
        if (t->address.compare(reachedAddress, Qt::CaseInsensitive) == 0) return t->port;
        if (!first) first = t->port;
    }
    return first;
}

DualStringArray readDualStringArray(Reader& outer) {
    const std::uint16_t entries = outer.u16();
    const std::uint16_t securityOffset = outer.u16();
    if (securityOffset > entries) outer.fail(QStringLiteral("安全绑定的偏移超出绑定数组"));
    Reader strings(outer.bytes(std::size_t(securityOffset) * 2), "DCOM 字符串绑定");
    Reader security(outer.bytes(std::size_t(entries - securityOffset) * 2), "DCOM 安全绑定");
    DualStringArray out;
    while (strings.remaining() >= 2) {
        const std::uint16_t tower = strings.u16();
        if (tower == 0) break;
        if (out.strings.size() == kMaxBindings) strings.fail(QStringLiteral("绑定过多"));
        out.strings.push_back({tower, utf16UntilNul(strings)});
    }
    while (security.remaining() >= 2) {
        const std::uint16_t authn = security.u16();
        if (authn == 0) break;
        if (out.security.size() == kMaxBindings) security.fail(QStringLiteral("绑定过多"));
        (void)security.u16();  // reserved
        out.security.push_back({authn, utf16UntilNul(security)});
    }
    return out;
}

void writeDualStringArray(Writer& w, const DualStringArray& a) {
    Writer entries;
    for (const StringBinding& b : a.strings) {
        entries.u16(b.towerId);
        writeUtf16Nul(entries, b.networkAddress);
    }
    entries.u16(0);
    const auto securityOffset = std::uint16_t(entries.pos() / 2);
    for (const SecurityBinding& b : a.security) {
        entries.u16(b.authnSvc);
        entries.u16(0xFFFF);
        writeUtf16Nul(entries, b.principal);
    }
    entries.u16(0);
    w.u16(std::uint16_t(entries.pos() / 2));
    w.u16(securityOffset);
    w.bytes(entries.data());
}

ObjRef readObjRef(QByteArrayView bytes) {
    Reader r(bytes, "DCOM 对象引用");
    if (r.u32() != kObjRefSignature) r.fail(QStringLiteral("签名不是 MEOW"));
    ObjRef o;
    o.flags = r.u32();
    o.iid = r.guid();
    if (o.flags == 1) {
        o.std.flags = r.u32();
        o.std.publicRefs = r.u32();
        o.std.oxid = r.u64();
        o.std.oid = r.u64();
        o.std.ipid = r.guid();
        o.resolver = readDualStringArray(r);
    } else if (o.flags == 4) {
        o.clsid = r.guid();
        const std::uint32_t extension = r.u32();
        (void)r.u32();  // reserved (the size of the data)
        r.skip(extension);
        o.customData = r.bytes(r.remaining()).toByteArray();
    } else {
        r.fail(QStringLiteral("对象引用类型 %1 不受支持").arg(o.flags));
    }
    return o;
}

QByteArray writeStandardObjRef(const Guid& iid, const StdObjRef& std,
                               const DualStringArray& resolver) {
    Writer w;
    w.u32(kObjRefSignature);
    w.u32(1);
    w.guid(iid);
    w.u32(std.flags);
    w.u32(std.publicRefs);
    w.u64(std.oxid);
    w.u64(std.oid);
    w.guid(std.ipid);
    writeDualStringArray(w, resolver);
    return w.take();
}

QByteArray writeCustomObjRef(const Guid& iid, const Guid& clsid, QByteArrayView data) {
    Writer w;
    w.u32(kObjRefSignature);
    w.u32(4);
    w.guid(iid);
    w.guid(clsid);
    w.u32(0);  // no extension
    w.u32(std::uint32_t(data.size()));
    w.bytes(data);
    return w.take();
}

void writeOrpcThis(Writer& w, const Guid& causality) {
    w.u16(5);
    w.u16(7);
    w.u32(0);
    w.u32(0);
    w.guid(causality);
    w.u32(0);  // no extensions
}

Guid readOrpcThis(Reader& r) {
    if (r.u16() != 5) r.fail(QStringLiteral("COM 主版本不是 5"));
    r.skip(10);
    const Guid cid = r.guid();
    if (r.u32() != 0) r.fail(QStringLiteral("不接受 ORPCTHIS 扩展"));
    return cid;
}

void writeOrpcThat(Writer& w) {
    w.u32(0);
    w.u32(0);
}

std::uint32_t readOrpcThat(Reader& r) {
    const std::uint32_t flags = r.u32();
    if (r.u32() == 0) return flags;
    // ORPC_EXTENT_ARRAY: size, reserved, a unique pointer to the array of extent pointers.
    const std::uint32_t size = r.u32();
    (void)r.u32();
    if (r.u32() == 0) return flags;
    const std::uint32_t count = r.u32();
    if (count > 64 || count < size) r.fail(QStringLiteral("ORPCTHAT 扩展个数不符"));
    std::vector<std::uint32_t> present(count);
    for (std::uint32_t& p : present) p = r.u32();
    for (std::uint32_t p : present) {
        if (p == 0) continue;
        const std::uint32_t bytes = r.u32();  // conformant: the data's size, rounded up to 8
        r.skip(16);
        if (r.u32() > bytes) r.fail(QStringLiteral("ORPCTHAT 扩展长度不符"));
        r.skip(bytes);
    }
    return flags;
}

}  // namespace qelto::dcom
