#pragma once

#include "ndr.h"
#include "wmi/schema.h"
#include "wmi/store.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// WMI's binary object encoding, as IEnumWbemClassObject::Next hands each result over: an
// EncodingUnit holding a class (its class part and methods part) or an instance (its class in
// front, then the values, their null/default bits, qualifiers and heap). Decoded into the
// schema's Variants as the other sources give them; encoded again for the tests' WMI server.
// Pure functions over bytes, bounded in every offset, length and count; reached by the fuzzers.
namespace qelto::dcom {

// The query layer's values and schema, as the objects are decoded into them.
using wmi::Instance;
using wmi::Property;
using wmi::Variant;
namespace schema = wmi::schema;

// CIM types as the encoding numbers them; kCimArray marks an array of the type.
namespace cim {
inline constexpr std::uint32_t kSInt16 = 2, kSInt32 = 3, kReal32 = 4, kReal64 = 5, kString = 8,
                               kBoolean = 11, kObject = 13, kSInt8 = 16, kUInt8 = 17, kUInt16 = 18,
                               kUInt32 = 19, kSInt64 = 20, kUInt64 = 21, kDateTime = 101,
                               kReference = 102, kChar16 = 103;
inline constexpr std::uint32_t kArray = 0x2000, kInherited = 0x4000;
// The octets a value of that type takes in a value table (fixed types inline, strings, objects
// and arrays as a heap reference); 0 for a type the encoding does not have.
std::size_t valueSize(std::uint32_t type);
// The name WMI gives a type in the CIMTYPE qualifier ("uint32", "string"…); empty when unknown.
QString typeName(std::uint32_t type);
}  // namespace cim

inline constexpr std::uint32_t kEncodingSignature = 0x12345678;

// Caps that keep a hostile object from costing more than a real one ever does.
inline constexpr std::size_t kMaxObjectBytes = 16u << 20;
inline constexpr std::size_t kMaxProperties = 4096;
inline constexpr std::size_t kMaxDerivation = 64;
inline constexpr std::size_t kMaxQualifiers = 1024;

// One property of a class as its class part declares it.
struct PropertyDef {
    QString name;
    std::uint32_t type = cim::kString;    // with kCimArray; without kInherited
    std::uint16_t order = 0;              // declaration order, the index into the NdTable
    std::uint32_t valueOffset = 0;        // in the value table
    std::optional<Variant> defaultValue;  // the class's own or inherited default; nullopt: Null
    bool readableDefault = true;
};

// A class part decoded: its name, superclasses (nearest first) and properties in declaration
// order. NdTable and value table sizes are what an instance of it must have.
struct ClassDef {
    QString name;
    std::vector<QString> derivation;
    std::vector<PropertyDef> properties;
    std::size_t ndTableLength = 0;
    std::size_t valueTableLength = 0;
    std::uint32_t methodCount = 0;
};

// A decoded object: a class, or an instance with the class it was read against.
struct DecodedObject {
    bool isClass = false;
    QString server;  // from the decoration; empty when none
    QString wmiNamespace;
    std::shared_ptr<const ClassDef> cls;
    Instance instance;  // values typed as the schema has them (empty for a class)
};

// The classes met so far in one enumeration. Objects of plain Next each carry their class: the
// bytes of a class part already decoded are recognised and not decoded again, and the classes
// stay at hand for instances sent with their class elided. At most kMaxCachedClasses are kept.
inline constexpr std::size_t kMaxCachedClasses = 256;
class ClassCache {
  public:
    std::shared_ptr<const ClassDef> find(QByteArrayView classPartBytes) const;
    void add(QByteArrayView classPartBytes, std::shared_ptr<const ClassDef> cls);
    std::size_t size() const { return std::size_t(byBytes_.size()); }

  private:
    QHash<QByteArray, std::shared_ptr<const ClassDef>> byBytes_;
};

// Decodes an EncodingUnit (signature, length, object block). Values are typed by the schema's
// class of that name where it has one (see toSchemaValue); properties it does not know keep the
// Variant of their CIM type. Throws FormatError.
DecodedObject decodeEncodingUnit(QByteArrayView unit, ClassCache* cache = nullptr);
// Decodes an ObjectBlock (flags, decoration, encoding) without the EncodingUnit's frame. With
// `elided`, the block is an instance whose class was left out (EncodingUnitInstanceNoClass: no
// CurrentClass) and is read against that class.
DecodedObject decodeObjectBlock(QByteArrayView block, ClassCache* cache = nullptr,
                                std::shared_ptr<const ClassDef> elided = nullptr);

// A value as the store keeps it, from a value decoded under its CIM type: integers up to 32 bits
// (or 64 where the schema declares a smaller type or none) as Int, 64-bit integers of a 64-bit
// property as decimal text (and above 2^63-1 where the schema has no such property),
// reals as Double, booleans, strings, datetimes and references as text; arrays element-wise.
// nullopt when the value cannot stand in that property (an embedded object, a type the schema
// cannot hold).
std::optional<Variant> toSchemaValue(const Variant& raw, std::uint32_t cimType,
                                     const schema::Property* p);

// What the encoder writes besides the values.
struct EncodeOptions {
    QString server = QStringLiteral("WS-TEST");
    QString wmiNamespace = QStringLiteral("ROOT\\cimv2");
    QString superclass;  // "" for none
};

// The CIM type an encoder declares for a property: the schema's type where the value fits it,
// else one that holds the value (a 32-bit property with a larger number is declared sint64).
std::uint32_t encodedType(const Property& p, const schema::Property* s);
// One instance as IEnumWbemClassObject::Next sends it: an EncodingUnit whose class part declares
// exactly the instance's properties (names spelled as the schema spells them), in name order.
QByteArray encodeInstance(const Instance& instance, const QString& className,
                          const schema::Class* cls, const EncodeOptions& options = {});
// The class of that instance alone (ObjectFlags 0x05: an empty parent class part, then the class).
QByteArray encodeClass(const Instance& shape, const QString& className, const schema::Class* cls,
                       const EncodeOptions& options = {});

}  // namespace qelto::dcom
