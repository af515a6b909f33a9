#include "wmio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

namespace qelto::dcom {

namespace {

using schema::CimType;

std::uint32_t schemaType(CimType t) {
    switch (t) {
        case CimType::String:
            return cim::kString;
        case CimType::UInt8:
            return cim::kUInt8;
        case CimType::UInt16:
            return cim::kUInt16;
        case CimType::UInt32:
            return cim::kUInt32;
        case CimType::UInt64:
            return cim::kUInt64;
        case CimType::SInt8:
            return cim::kSInt8;
        case CimType::SInt16:
            return cim::kSInt16;
        case CimType::SInt32:
            return cim::kSInt32;
        case CimType::SInt64:
            return cim::kSInt64;
        case CimType::Real32:
            return cim::kReal32;
        case CimType::Real64:
            return cim::kReal64;
        case CimType::Boolean:
            return cim::kBoolean;
        case CimType::DateTime:
            return cim::kDateTime;
    }
    return cim::kString;
}

bool inRange(qint64 v, std::uint32_t type) {
    switch (type) {
        case cim::kSInt8:
            return v >= -128 && v <= 127;
        case cim::kUInt8:
            return v >= 0 && v <= 255;
        case cim::kSInt16:
            return v >= -32768 && v <= 32767;
        case cim::kUInt16:
            return v >= 0 && v <= 65535;
        case cim::kSInt32:
            return v >= std::numeric_limits<std::int32_t>::min() &&
                   v <= std::numeric_limits<std::int32_t>::max();
        case cim::kUInt32:
            return v >= 0 && v <= qint64(std::numeric_limits<std::uint32_t>::max());
    }
    return false;
}

// Whether the scalar can be written under `type` and read back as the same Variant.
bool fitsScalar(const Variant& v, std::uint32_t type) {
    if (v.isNull()) return true;
    switch (type) {
        case cim::kString:
        case cim::kDateTime:
            return v.isText();
        case cim::kBoolean:
            return v.type() == Variant::Type::Bool;
        case cim::kReal64:
            return v.type() == Variant::Type::Double;
        case cim::kReal32: {
            const double d = v.doubleValue();
            return v.type() == Variant::Type::Double && (std::isnan(d) || double(float(d)) == d);
        }
        case cim::kUInt64: {
            bool ok = false;
            const quint64 u = v.textValue().toULongLong(&ok);
            return v.isText() && ok && QString::number(u) == v.textValue();
        }
        case cim::kSInt64: {
            bool ok = false;
            const qint64 i = v.textValue().toLongLong(&ok);
            return v.isText() && ok && QString::number(i) == v.textValue();
        }
        default:
            return v.type() == Variant::Type::Int && inRange(v.intValue(), type);
    }
}

std::uint32_t typeOfScalar(const Variant& v) {
    switch (v.type()) {
        case Variant::Type::Int:
            return inRange(v.intValue(), cim::kSInt32) ? cim::kSInt32 : cim::kSInt64;
        case Variant::Type::UInt:
            return cim::kUInt64;
        case Variant::Type::Double:
            return cim::kReal64;
        case Variant::Type::Bool:
            return cim::kBoolean;
        case Variant::Type::Null:
        case Variant::Type::Text:
            return cim::kString;
        case Variant::Type::Array:
            break;
    }
    return cim::kObject;
}

// The type that holds a value whatever the schema says: every element of an array alike.
std::uint32_t typeOfValue(const Variant& v) {
    if (!v.isArray()) return typeOfScalar(v);
    std::uint32_t type = 0;
    for (const Variant& e : v.arrayValue()) {
        if (e.isNull() || e.isArray()) return cim::kObject;  // no encoding holds such an item
        const std::uint32_t t = typeOfScalar(e);
        if (type != 0 && t != type) return cim::kObject;
        type = t;
    }
    return (type == 0 ? cim::kString : type) | cim::kArray;
}

}  // namespace

std::uint32_t encodedType(const Property& p, const schema::Property* s) {
    if (!p.readable) return cim::kObject;
    if (!s) return typeOfValue(p.value);
    const std::uint32_t base = schemaType(s->type);
    if (p.value.isNull()) return base | (s->array ? cim::kArray : 0);
    if (s->array != p.value.isArray()) return typeOfValue(p.value);
    if (!s->array) return fitsScalar(p.value, base) ? base : typeOfValue(p.value);
    for (const Variant& e : p.value.arrayValue())
        if (e.isNull() || !fitsScalar(e, base)) return typeOfValue(p.value);
    return base | cim::kArray;
}

namespace {

// An Encoded-String: one octet a character where every character fits one, else UTF-16LE. NUL
// has no place in it and becomes U+FFFD.
void writeEncodedString(Writer& w, const QString& text) {
    const bool narrow = std::all_of(
        text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x100 && c.unicode() != 0; });
    w.u8(narrow ? 0 : 1);
    for (QChar c : text) {
        const std::uint16_t u = c.unicode() == 0 ? 0xFFFD : c.unicode();
        if (narrow)
            w.u8(std::uint8_t(u));
        else
            w.u16(u);
    }
    if (narrow)
        w.u8(0);
    else
        w.u16(0);
}

struct HeapBuilder {
    Writer w;
    std::uint32_t string(const QString& text) {
        const auto at = std::uint32_t(w.pos());
        writeEncodedString(w, text);
        return at;
    }
    void writeTo(Writer& out) const {
        out.u32(std::uint32_t(w.pos()) | 0x80000000u);
        out.bytes(w.data());
    }
};

void writeScalar(Writer& w, const Variant& v, std::uint32_t type) {
    switch (type) {
        case cim::kSInt8:
        case cim::kUInt8:
            return w.u8(std::uint8_t(v.intValue()));
        case cim::kSInt16:
        case cim::kUInt16:
            return w.u16(std::uint16_t(v.intValue()));
        case cim::kBoolean:
            return w.u16(v.boolValue() ? 0xFFFF : 0);
        case cim::kChar16:
            return w.u16(v.textValue().isEmpty() ? 0 : v.textValue().front().unicode());
        case cim::kSInt32:
        case cim::kUInt32:
            return w.u32(std::uint32_t(v.intValue()));
        case cim::kSInt64:
            return w.u64(std::uint64_t(v.isText() ? v.textValue().toLongLong() : v.intValue()));
        case cim::kUInt64:
            return w.u64(v.isText() ? v.textValue().toULongLong() : v.uintValue());
        case cim::kReal32: {
            const float f = float(v.doubleValue());
            std::uint32_t bits;
            std::memcpy(&bits, &f, 4);
            return w.u32(bits);
        }
        case cim::kReal64: {
            const double d = v.doubleValue();
            std::uint64_t bits;
            std::memcpy(&bits, &d, 8);
            return w.u64(bits);
        }
    }
}

bool textType(std::uint32_t base) {
    return base == cim::kString || base == cim::kDateTime || base == cim::kReference;
}

// A value into its value table at the writer's place, its text and arrays into the heap. An
// array of strings has its strings written first, then the count and their references.
void writeValue(Writer& table, HeapBuilder& heap, const Variant& v, std::uint32_t type) {
    const std::uint32_t base = type & 0xFFF;
    if (base == cim::kObject) {
        table.u32(std::uint32_t(heap.w.pos()));
        heap.w.u32(0);
    } else if (type & cim::kArray) {
        std::vector<std::uint32_t> refs;
        if (textType(base))
            for (const Variant& e : v.arrayValue()) refs.push_back(heap.string(e.textValue()));
        table.u32(std::uint32_t(heap.w.pos()));
        heap.w.u32(std::uint32_t(v.arrayValue().size()));
        for (std::size_t k = 0; k < v.arrayValue().size(); ++k) {
            if (textType(base))
                heap.w.u32(refs[k]);
            else
                writeScalar(heap.w, v.arrayValue()[k], base);
        }
    } else if (textType(base)) {
        table.u32(heap.string(v.textValue()));
    } else {
        writeScalar(table, v, base);
    }
}

// A property as the encoder declares it.
struct Declared {
    QString name;
    std::uint32_t type;
    const Property* source;
};

std::vector<Declared> declare(const Instance& instance, const schema::Class* cls) {
    std::vector<Declared> out;
    for (const Property& p : instance.properties) {
        const schema::Property* s = cls ? schema::findProperty(*cls, p.name) : nullptr;
        const QString name = s ? QString::fromLatin1(s->name) : p.name;
        const bool again = std::any_of(out.begin(), out.end(), [&](const Declared& d) {
            return d.name.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (!again) out.push_back({name, encodedType(p, s), &p});
    }
    std::sort(out.begin(), out.end(), [](const Declared& a, const Declared& b) {
        const int c = a.name.compare(b.name, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    return out;
}

QByteArray ndBytes(const std::vector<Declared>& props, bool classPart) {
    QByteArray nd((qsizetype(props.size()) * 2 + 7) / 8, '\0');
    for (std::size_t k = 0; k < props.size(); ++k) {
        // A class declares no defaults; an instance's Null is the null bit alone.
        if (classPart || (props[k].source->value.isNull() && props[k].source->readable))
            nd[qsizetype(k / 4)] = char(nd[qsizetype(k / 4)] | (1 << (k % 4 * 2)));
    }
    return nd;
}

// A PropertyInfo: type, declaration order, value table offset, class of origin (the depth of
// the declaring class in the derivation, 0 for the topmost) and a qualifier set holding the
// CIMTYPE qualifier, as Windows gives every property.
std::uint32_t writePropertyInfo(HeapBuilder& heap, const Declared& d, std::uint16_t order,
                                std::uint32_t offset, std::uint32_t origin) {
    QString typeName = cim::typeName(d.type);
    const std::uint32_t typeRef =
        heap.string(typeName.isEmpty() ? QStringLiteral("object") : typeName);
    const auto at = std::uint32_t(heap.w.pos());
    heap.w.u32(d.type);
    heap.w.u16(order);
    heap.w.u32(offset);
    heap.w.u32(origin);
    heap.w.u32(4 + 4 + 1 + 4 + 4);
    heap.w.u32(0x80000000u | 10);  // "CIMTYPE"
    heap.w.u8(0);
    heap.w.u32(cim::kString);
    heap.w.u32(typeRef);
    return at;
}

// A ClassPart declaring `props` in that order, with no defaults and no class qualifiers.
void writeClassPart(Writer& w, const QString& className, const QString& superclass,
                    const std::vector<Declared>& props) {
    HeapBuilder heap;
    const std::uint32_t nameRef = heap.string(className);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lookups;
    std::uint32_t offset = 0;
    for (std::size_t k = 0; k < props.size(); ++k) {
        const std::uint32_t propertyName = heap.string(props[k].name);
        lookups.push_back({propertyName, writePropertyInfo(heap, props[k], std::uint16_t(k), offset,
                                                           superclass.isEmpty() ? 0 : 1)});
        offset += std::uint32_t(cim::valueSize(props[k].type));
    }
    const QByteArray nd = props.empty() ? QByteArray() : ndBytes(props, true);
    const std::size_t start = w.pos();
    w.u32(0);  // EncodingLength, written at the end
    w.u8(0);
    w.u32(nameRef);
    w.u32(std::uint32_t(nd.size()) + offset);
    if (superclass.isEmpty()) {
        w.u32(4);
    } else {
        Writer entry;
        writeEncodedString(entry, superclass);
        w.u32(std::uint32_t(4 + entry.pos() + 4));
        w.bytes(entry.data());
        w.u32(std::uint32_t(entry.pos()));  // the length of the name's encoding alone
    }
    w.u32(4);  // no class qualifiers
    w.u32(std::uint32_t(props.size()));
    for (const auto& [n, info] : lookups) {
        w.u32(n);
        w.u32(info);
    }
    w.bytes(nd);
    w.bytes(QByteArray(qsizetype(offset), '\xFF'));  // NoValue: no defaults
    heap.writeTo(w);
    w.patch32(start, std::uint32_t(w.pos() - start));
}

// A MethodsPart without methods: its length, a count of 0, padding and an empty method heap.
void writeNoMethods(Writer& w) {
    w.u32(12);
    w.u16(0);
    w.u16(0);
    w.u32(0x80000000u);
}

void writeInstancePart(Writer& w, const QString& className, const std::vector<Declared>& props) {
    HeapBuilder heap;
    const std::uint32_t nameRef = heap.string(className);
    Writer table;
    for (const Declared& d : props) {
        const Variant& v = d.source->value;
        if (v.isNull() && d.source->readable)
            table.bytes(QByteArray(qsizetype(cim::valueSize(d.type)), '\0'));
        else
            writeValue(table, heap, v, d.type);
    }
    const std::size_t start = w.pos();
    w.u32(0);  // EncodingLength, written at the end
    w.u8(0);
    w.u32(nameRef);
    w.bytes(ndBytes(props, false));
    w.bytes(table.data());
    w.u32(4);  // no instance qualifiers
    w.u8(1);   // and no property qualifiers
    heap.writeTo(w);
    w.patch32(start, std::uint32_t(w.pos() - start));
}

QByteArray encodingUnit(std::uint8_t flags, const EncodeOptions& options,
                        const std::function<void(Writer&)>& encoding) {
    Writer block;
    block.u8(flags);
    writeEncodedString(block, options.server);
    writeEncodedString(block, options.wmiNamespace);
    encoding(block);
    Writer unit;
    unit.u32(kEncodingSignature);
    unit.u32(std::uint32_t(block.pos()));
    unit.bytes(block.data());
    return unit.take();
}

}  // namespace

QByteArray encodeInstance(const Instance& instance, const QString& className,
                          const schema::Class* cls, const EncodeOptions& options) {
    const std::vector<Declared> props = declare(instance, cls);
    return encodingUnit(0x06, options, [&](Writer& w) {
        writeClassPart(w, className, options.superclass, props);
        writeInstancePart(w, className, props);
    });
}

QByteArray encodeClass(const Instance& shape, const QString& className, const schema::Class* cls,
                       const EncodeOptions& options) {
    const std::vector<Declared> props = declare(shape, cls);
    return encodingUnit(0x05, options, [&](Writer& w) {
        writeClassPart(w, options.superclass, QString(), {});
        writeNoMethods(w);
        writeClassPart(w, className, options.superclass, props);
        writeNoMethods(w);
    });
}

}  // namespace qelto::dcom
