#include "wmi/builder.h"
#include "wmio.h"

#include <QSet>

#include <algorithm>
#include <cstring>
#include <limits>

namespace qelto::dcom {

namespace cim {

QString typeName(std::uint32_t type) {
    static const std::pair<std::uint32_t, const char*> kNames[] = {
        {kSInt8, "sint8"},       {kUInt8, "uint8"},         {kSInt16, "sint16"},
        {kUInt16, "uint16"},     {kSInt32, "sint32"},       {kUInt32, "uint32"},
        {kSInt64, "sint64"},     {kUInt64, "uint64"},       {kReal32, "real32"},
        {kReal64, "real64"},     {kBoolean, "boolean"},     {kString, "string"},
        {kDateTime, "datetime"}, {kReference, "reference"}, {kChar16, "char16"},
        {kObject, "object"},
    };
    for (const auto& [code, name] : kNames)
        if (code == (type & 0xFFF)) return QString::fromLatin1(name);
    return {};
}

std::size_t valueSize(std::uint32_t type) {
    if (type & cim::kArray) return 4;
    switch (type & 0xFFF) {
        case cim::kSInt8:
        case cim::kUInt8:
            return 1;
        case cim::kSInt16:
        case cim::kUInt16:
        case cim::kBoolean:
        case cim::kChar16:
            return 2;
        case cim::kSInt32:
        case cim::kUInt32:
        case cim::kReal32:
            return 4;
        case cim::kSInt64:
        case cim::kUInt64:
        case cim::kReal64:
            return 8;
        case cim::kString:
        case cim::kDateTime:
        case cim::kReference:
        case cim::kObject:
            return 4;
    }
    return 0;
}

}  // namespace cim

namespace {

using schema::CimType;

// Strings a heap reference with its high bit set names instead of a heap offset.
QString dictionaryString(std::uint32_t index) {
    static const char* const kWords[] = {"'",        "key",      "NADA",     "read",
                                         "write",    "volatile", "provider", "dynamic",
                                         "cimwin32", "DWORD",    "CIMTYPE"};
    if (index >= std::size(kWords)) return {};
    return QString::fromLatin1(kWords[index]);
}

// An Encoded-String: a flag octet (0: one octet a character, 1: UTF-16LE), the characters and
// a terminating NUL of the same width.
QString encodedString(Reader& r) {
    const std::uint8_t flag = r.u8();
    if (flag == 0) {
        const QByteArrayView rest = r.data().sliced(qsizetype(r.pos()));
        const qsizetype end = rest.indexOf('\0');
        if (end < 0) r.fail(QStringLiteral("字符串没有结尾"));
        r.skip(std::size_t(end) + 1);
        return QString::fromLatin1(rest.first(end));
    }
    if (flag != 1) r.fail(QStringLiteral("字符串编码标志 %1 未知").arg(flag));
    QString text;
    for (;;) {
        const std::uint16_t c = r.u16();
        if (c == 0) return text;
        text.append(QChar(c));
    }
}

// The items of one heap, after its length.
struct Heap {
    QByteArrayView bytes;
    const char* what;

    Reader at(std::uint32_t ref) const {
        Reader r(bytes, what);
        r.seek(ref);
        return r;
    }
    QString string(std::uint32_t ref) const {
        if (ref & 0x80000000u) {
            const QString word = dictionaryString(ref & 0x7FFFFFFFu);
            if (word.isNull()) Reader(bytes, what).fail(QStringLiteral("字典字符串编号未知"));
            return word;
        }
        Reader r = at(ref);
        return encodedString(r);
    }
};

Heap readHeap(Reader& r, const char* what) {
    const std::uint32_t length = r.u32() & 0x7FFFFFFFu;
    return {r.bytes(length), what};
}

// One fixed-size value read at the reader's place; nullopt for an embedded object.
std::optional<Variant> fixedValue(Reader& r, std::uint32_t type) {
    switch (type) {
        case cim::kSInt8:
            return Variant(qint64(std::int8_t(r.u8())));
        case cim::kUInt8:
            return Variant(qint64(r.u8()));
        case cim::kSInt16:
            return Variant(qint64(std::int16_t(r.u16())));
        case cim::kUInt16:
            return Variant(qint64(r.u16()));
        case cim::kBoolean:
            return Variant(r.u16() != 0);
        case cim::kChar16: {
            const std::uint16_t c = r.u16();
            return Variant(c == 0 ? QString() : QString(QChar(c)));
        }
        case cim::kSInt32:
            return Variant(qint64(std::int32_t(r.u32())));
        case cim::kUInt32:
            return Variant(qint64(r.u32()));
        case cim::kSInt64:
            return Variant(qint64(r.u64()));
        case cim::kUInt64:
            return Variant(quint64(r.u64()));
        case cim::kReal32: {
            const std::uint32_t bits = r.u32();
            float f;
            std::memcpy(&f, &bits, 4);
            return Variant(double(f));
        }
        case cim::kReal64: {
            const std::uint64_t bits = r.u64();
            double d;
            std::memcpy(&d, &bits, 8);
            return Variant(d);
        }
    }
    return std::nullopt;
}

bool isText(std::uint32_t type) {
    return type == cim::kString || type == cim::kDateTime || type == cim::kReference;
}

// An encoded array in the heap: its count, then the items (fixed values inline, strings as
// references into the same heap).
std::optional<Variant> arrayValue(const Heap& heap, std::uint32_t ref, std::uint32_t type) {
    Reader r = heap.at(ref);
    const std::uint32_t count = r.u32();
    const std::size_t each = isText(type) ? 4 : cim::valueSize(type);
    if (each == 0 || type == cim::kObject) return std::nullopt;
    if (std::size_t(count) > r.remaining() / each) r.fail(QStringLiteral("数组元素个数超出堆"));
    Variant::Array items;
    items.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        if (isText(type)) {
            items.push_back(Variant(heap.string(r.u32())));
        } else {
            std::optional<Variant> v = fixedValue(r, type);
            if (!v) return std::nullopt;
            items.push_back(std::move(*v));
        }
    }
    return Variant(std::move(items));
}

// The value of a property in a value table; nullopt when it cannot be read as a value here.
std::optional<Variant> tableValue(QByteArrayView table, std::uint32_t offset, std::uint32_t type,
                                  const Heap& heap) {
    Reader r(table, "值表");
    r.seek(offset);
    const std::uint32_t base = type & 0xFFF;
    if (type & cim::kArray) return arrayValue(heap, r.u32(), base);
    if (isText(base)) return Variant(heap.string(r.u32()));
    if (base == cim::kObject) {
        (void)r.u32();
        return std::nullopt;
    }
    return fixedValue(r, base);
}

bool ndBit(QByteArrayView nd, std::size_t index, int which) {
    const std::size_t bit = index * 2 + std::size_t(which);
    return (std::uint8_t(nd[qsizetype(bit / 8)]) >> (bit % 8)) & 1;
}

void skipQualifierSet(Reader& r) {
    const std::uint32_t length = r.u32();
    if (length < 4) r.fail(QStringLiteral("限定符集长度小于 4"));
    r.skip(length - 4);
}

std::vector<QString> readDerivation(Reader& r) {
    const std::uint32_t length = r.u32();
    if (length < 4) r.fail(QStringLiteral("派生列表长度小于 4"));
    Reader list(r.bytes(length - 4), "派生列表");
    std::vector<QString> names;
    while (list.remaining() > 0) {
        if (names.size() == kMaxDerivation) list.fail(QStringLiteral("超类过多"));
        names.push_back(encodedString(list));
        (void)list.u32();  // the length of this entry
    }
    return names;
}

struct Lookup {
    std::uint32_t nameRef;
    std::uint32_t infoRef;
};

std::vector<Lookup> readLookupTable(Reader& r) {
    const std::uint32_t count = r.u32();
    if (count > kMaxProperties || std::size_t(count) > r.remaining() / 8)
        r.fail(QStringLiteral("属性个数 %1 超出范围").arg(count));
    std::vector<Lookup> table(count);
    for (Lookup& l : table) {
        l.nameRef = r.u32();
        l.infoRef = r.u32();
    }
    return table;
}

// One property of a class part: its info in the class heap, its default from the value table.
PropertyDef readProperty(const Lookup& l, const Heap& heap, QByteArrayView nd,
                         QByteArrayView values, std::size_t count) {
    PropertyDef p;
    p.name = heap.string(l.nameRef);
    Reader info = heap.at(l.infoRef);
    p.type = info.u32() & ~cim::kInherited;
    p.order = info.u16();
    p.valueOffset = info.u32();
    (void)info.u32();  // ClassOfOrigin
    skipQualifierSet(info);
    const std::size_t size = cim::valueSize(p.type);
    if (p.order >= count) info.fail(QStringLiteral("属性 %1 的声明序号超出范围").arg(p.name));
    if (size == 0) info.fail(QStringLiteral("属性 %1 的类型 %2 未知").arg(p.name).arg(p.type));
    if (std::size_t(p.valueOffset) + size > std::size_t(values.size()))
        info.fail(QStringLiteral("属性 %1 的值超出值表").arg(p.name));
    if (!ndBit(nd, p.order, 0)) {
        p.defaultValue = tableValue(values, p.valueOffset, p.type, heap);
        p.readableDefault = p.defaultValue.has_value();
    }
    return p;
}

// A ClassPart: header, derivation list, class qualifiers, lookup table, NdTable and value
// table, class heap.
std::shared_ptr<ClassDef> readClassPart(Reader& outer) {
    const std::size_t start = outer.pos();
    const std::uint32_t length = outer.u32();
    outer.seek(start);
    if (length < 13) outer.fail(QStringLiteral("类部分长度过小"));
    Reader r(outer.bytes(length), "类部分");
    r.skip(5);
    const std::uint32_t nameRef = r.u32();
    const std::uint32_t ndValueLength = r.u32();
    auto cls = std::make_shared<ClassDef>();
    cls->derivation = readDerivation(r);
    skipQualifierSet(r);
    const std::vector<Lookup> lookups = readLookupTable(r);
    cls->ndTableLength = (lookups.size() * 2 + 7) / 8;
    if (ndValueLength < cls->ndTableLength) r.fail(QStringLiteral("NdTable 长度不符"));
    const QByteArrayView nd = r.bytes(cls->ndTableLength);
    cls->valueTableLength = ndValueLength - cls->ndTableLength;
    const QByteArrayView values = r.bytes(cls->valueTableLength);
    const Heap heap = readHeap(r, "类堆");
    cls->name = heap.string(nameRef);
    std::vector<bool> seen(lookups.size());
    QSet<QString> names;
    for (const Lookup& l : lookups) {
        PropertyDef p = readProperty(l, heap, nd, values, lookups.size());
        if (seen[p.order]) r.fail(QStringLiteral("两个属性的声明序号相同"));
        seen[p.order] = true;
        const QString key = p.name.toLower();
        if (names.contains(key)) r.fail(QStringLiteral("属性 %1 出现两次").arg(p.name));
        names.insert(key);
        cls->properties.push_back(std::move(p));
    }
    std::sort(cls->properties.begin(), cls->properties.end(),
              [](const PropertyDef& a, const PropertyDef& b) { return a.order < b.order; });
    return cls;
}

// A MethodsPart: only its length and method count are of use to a scan.
std::uint32_t readMethodsPart(Reader& outer) {
    const std::uint32_t length = outer.u32();
    if (length < 8) outer.fail(QStringLiteral("方法部分长度过小"));
    Reader r(outer.bytes(length - 4), "方法部分");
    return r.u16();
}

// A ClassAndMethodsPart, taken from the cache when the same bytes were decoded before. The
// methods part is there in a class object only, never in front of an instance.
std::shared_ptr<const ClassDef> readClass(Reader& r, ClassCache* cache, bool withMethods) {
    const std::size_t start = r.pos();
    std::shared_ptr<ClassDef> cls = readClassPart(r);
    if (withMethods) cls->methodCount = readMethodsPart(r);
    const QByteArrayView bytes = r.data().sliced(qsizetype(start), qsizetype(r.pos() - start));
    if (cache) {
        if (std::shared_ptr<const ClassDef> known = cache->find(bytes)) return known;
        cache->add(bytes, cls);
    }
    return cls;
}

}  // namespace

namespace {

bool smallInteger(CimType t) {
    switch (t) {
        case CimType::UInt8:
        case CimType::UInt16:
        case CimType::UInt32:
        case CimType::SInt8:
        case CimType::SInt16:
        case CimType::SInt32:
            return true;
        default:
            return false;
    }
}

// One scalar as the store keeps it. A property the schema does not know keeps every integer that
// fits 64 signed bits as an integer, as a snapshot does.
std::optional<Variant> scalarForSchema(const Variant& raw, std::uint32_t base,
                                       const schema::Property* p) {
    const bool small = p && smallInteger(p->type);
    switch (base) {
        case cim::kSInt8:
        case cim::kUInt8:
        case cim::kSInt16:
        case cim::kUInt16:
        case cim::kSInt32:
        case cim::kUInt32:
            if (p && !small && p->type != CimType::String && p->type != CimType::DateTime)
                return Variant(QString::number(raw.intValue()));
            return raw;
        case cim::kSInt64:
            if (small || !p) return Variant(raw.intValue());
            return Variant(QString::number(raw.intValue()));
        case cim::kUInt64:
            if ((small || !p) && raw.uintValue() <= quint64(std::numeric_limits<qint64>::max()))
                return Variant(qint64(raw.uintValue()));
            return Variant(QString::number(raw.uintValue()));
        case cim::kObject:
            return std::nullopt;
        default:
            return raw;
    }
}

}  // namespace

std::optional<Variant> toSchemaValue(const Variant& raw, std::uint32_t cimType,
                                     const schema::Property* p) {
    if (raw.isNull()) return Variant();
    const std::uint32_t base = cimType & 0xFFF;
    Variant v;
    if (cimType & cim::kArray) {
        if (!raw.isArray()) return std::nullopt;
        Variant::Array items;
        items.reserve(raw.arrayValue().size());
        for (const Variant& e : raw.arrayValue()) {
            std::optional<Variant> item = scalarForSchema(e, base, p);
            if (!item) return std::nullopt;
            items.push_back(std::move(*item));
        }
        v = Variant(std::move(items));
    } else {
        std::optional<Variant> one = scalarForSchema(raw, base, p);
        if (!one) return std::nullopt;
        v = std::move(*one);
    }
    if (p && !schema::holds(*p, v)) return std::nullopt;
    return v;
}

std::shared_ptr<const ClassDef> ClassCache::find(QByteArrayView classPartBytes) const {
    return byBytes_.value(classPartBytes.toByteArray());
}

void ClassCache::add(QByteArrayView classPartBytes, std::shared_ptr<const ClassDef> cls) {
    if (std::size_t(byBytes_.size()) >= kMaxCachedClasses) byBytes_.clear();
    byBytes_.insert(classPartBytes.toByteArray(), std::move(cls));
}

namespace {

// The values of an instance: NdTable bits (null, default) over its value table and heap.
Instance instanceValues(const ClassDef& cls, QByteArrayView nd, QByteArrayView values,
                        const Heap& heap) {
    const schema::Class* s = schema::findClass(cls.name);
    Instance out;
    out.properties.reserve(cls.properties.size());
    for (const PropertyDef& d : cls.properties) {
        const schema::Property* sp = s ? schema::findProperty(*s, d.name) : nullptr;
        Property p{sp ? QString::fromLatin1(sp->name) : d.name, Variant(), true};
        std::optional<Variant> raw;
        if (ndBit(nd, d.order, 0)) {
            raw = Variant();
        } else if (ndBit(nd, d.order, 1)) {
            raw = d.readableDefault ? d.defaultValue.value_or(Variant()) : std::optional<Variant>();
        } else {
            raw = tableValue(values, d.valueOffset, d.type, heap);
        }
        std::optional<Variant> typed = raw ? toSchemaValue(*raw, d.type, sp) : std::nullopt;
        if (typed)
            p.value = std::move(*typed);
        else
            p.readable = false;
        out.properties.push_back(std::move(p));
    }
    return out;
}

// The instance part that follows the class (or stands alone when the class is elided).
Instance readInstancePart(Reader& outer, const ClassDef& cls) {
    const std::uint32_t length = outer.u32();
    if (length < 4) outer.fail(QStringLiteral("实例部分长度过小"));
    Reader r(outer.bytes(length - 4), "实例部分");
    (void)r.u8();  // InstanceFlags
    const std::uint32_t nameRef = r.u32();
    const QByteArrayView nd = r.bytes(cls.ndTableLength);
    const QByteArrayView values = r.bytes(cls.valueTableLength);
    skipQualifierSet(r);
    const std::uint8_t propQualifiers = r.u8();
    if (propQualifiers == 2) {
        for (std::size_t k = 0; k < cls.properties.size(); ++k) skipQualifierSet(r);
    } else if (propQualifiers != 1) {
        r.fail(QStringLiteral("属性限定符标志 %1 未知").arg(propQualifiers));
    }
    const Heap heap = readHeap(r, "实例堆");
    const QString name = heap.string(nameRef);
    if (name.compare(cls.name, Qt::CaseInsensitive) != 0)
        r.fail(QStringLiteral("实例的类名 %1 与类定义 %2 不符").arg(name, cls.name));
    return instanceValues(cls, nd, values, heap);
}

}  // namespace

DecodedObject decodeObjectBlock(QByteArrayView block, ClassCache* cache,
                                std::shared_ptr<const ClassDef> elided) {
    if (std::size_t(block.size()) > kMaxObjectBytes)
        throw FormatError(QStringLiteral("WMI 对象超过 %1 字节，不予处理。").arg(kMaxObjectBytes));
    Reader r(block, "WMI 对象");
    DecodedObject out;
    const std::uint8_t flags = r.u8();
    const bool isClass = flags & 0x01, isInstance = flags & 0x02;
    if (isClass == isInstance || (elided && isClass))
        r.fail(QStringLiteral("对象标志 0x%1 既非类也非实例").arg(flags, 2, 16, QLatin1Char('0')));
    if (flags & 0x04) {
        out.server = encodedString(r);
        out.wmiNamespace = encodedString(r);
    }
    out.isClass = isClass;
    if (isClass) {
        (void)readClass(r, nullptr, true);  // the parent class part
        out.cls = readClass(r, cache, true);
        return out;
    }
    out.cls = elided ? elided : readClass(r, cache, false);
    out.instance = readInstancePart(r, *out.cls);
    return out;
}

DecodedObject decodeEncodingUnit(QByteArrayView unit, ClassCache* cache) {
    Reader r(unit, "WMI 对象编码单元");
    if (r.u32() != kEncodingSignature) r.fail(QStringLiteral("签名不是 0x12345678"));
    const std::uint32_t length = r.u32();
    if (length > r.remaining()) r.fail(QStringLiteral("对象长度 %1 超出数据").arg(length));
    return decodeObjectBlock(r.bytes(length), cache);
}

}  // namespace qelto::dcom
