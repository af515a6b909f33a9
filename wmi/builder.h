#pragma once

#include "schema_table.h"
#include "store.h"

#include <QString>

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

// Instances built through the class schema: a builder is bound to one class of it, and a property
// is set by its name as the schema spells it.
//
//     InstanceBuilder<"Win32_Processor"> p(store);
//     p.set("NumberOfCores", qint64(4));
//
// The class and the property are looked up while compiling, and so is the value where its C++
// type says what it holds: a name the schema lacks, a bool for a number, a number for a text or a
// list for a single value does not compile. A Variant is known only at run time; its type is
// checked when QELTO_SCHEMA_CHECKS is on (debug builds and builds with the tests), a mismatch
// ending the program with a message naming the property.
namespace qelto::wmi {

// On where Q_ASSERT is (debug builds), and where CMake asks for it (builds with the tests).
#if !defined(QT_NO_DEBUG) && !defined(QELTO_SCHEMA_CHECKS)
#define QELTO_SCHEMA_CHECKS 1
#endif

namespace schema {

// Whether a value has the form a property of that type takes in the store: Null, or text for
// strings, date-times and 64-bit integers, a non-negative integer for the unsigned types up to 32
// bits, an integer for the signed ones, a double, a boolean; an array of such for an array.
bool holds(const Property& p, const Variant& v);
// Ends the program: a builder was handed a value of the wrong type.
[[noreturn]] void refuse(const Class& c, const Property& p, const Variant& v);

// A class name given as a template argument.
template <std::size_t N>
struct ClassName {
    char text[N]{};
    consteval ClassName(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

// Called only where a lookup fails while compiling: its name is what the compiler reports.
void class_not_in_schema();
void property_not_in_schema();
void value_type_not_that_of_the_property();

constexpr const Class& classNamed(std::string_view name) {
    for (const Class& c : table::kClasses)
        if (name == c.name) return c;
    for (const Class& c : table::kSoftwareClasses)
        if (name == c.name) return c;
    class_not_in_schema();
    return table::kClasses[0];
}

// What the C++ type of a value says of it.
enum class ValueKind { Any, Text, Integer, Unsigned, Real, Boolean, List, Unfit };

template <class T>
constexpr ValueKind kindOf() {
    if constexpr (std::is_same_v<T, Variant>)
        return ValueKind::Any;
    else if constexpr (std::is_same_v<T, Variant::Array>)
        return ValueKind::List;
    else if constexpr (std::is_same_v<T, bool>)
        return ValueKind::Boolean;
    else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>)
        return ValueKind::Integer;
    else if constexpr (std::is_integral_v<T>)
        return ValueKind::Unsigned;  // held as an unsigned Variant, which no property takes
    else if constexpr (std::is_floating_point_v<T>)
        return ValueKind::Real;
    else if constexpr (std::is_convertible_v<T, QString> ||
                       std::is_convertible_v<std::decay_t<T>, const char16_t*>)
        return ValueKind::Text;
    else
        return ValueKind::Unfit;
}

constexpr bool fits(ValueKind k, const Property& p) {
    if (k == ValueKind::Any) return true;
    if (p.array) return k == ValueKind::List;
    switch (p.type) {
        case CimType::String:
        case CimType::DateTime:
            return k == ValueKind::Text;
        case CimType::UInt8:
        case CimType::UInt16:
        case CimType::UInt32:
        case CimType::SInt8:
        case CimType::SInt16:
        case CimType::SInt32:
            return k == ValueKind::Integer;
        case CimType::UInt64:
        case CimType::SInt64:
            return false;  // decimal text: hand over the Variant of uint64Text()
        case CimType::Real32:
        case CimType::Real64:
            return k == ValueKind::Real;
        case CimType::Boolean:
            return k == ValueKind::Boolean;
    }
    return false;
}

}  // namespace schema

template <schema::ClassName Name>
class InstanceBuilder {
    static constexpr const schema::Class& kClass = schema::classNamed(Name.text);

  public:
    // A property of this class, named by a string literal, that takes a value of type T.
    template <class T>
    struct Key {
        std::size_t index = 0;
        consteval Key(const char* name) {
            const std::string_view n(name);
            for (; index < kClass.properties.size(); ++index)
                if (n == kClass.properties[index].name) {
                    if (!schema::fits(schema::kindOf<T>(), kClass.properties[index]))
                        schema::value_type_not_that_of_the_property();
                    return;
                }
            schema::property_not_in_schema();
        }
    };

    // Adds the class to the store, when it is not there yet, without an instance: an empty
    // answer rather than an unknown class.
    static ClassData& declare(InstanceStore& store) { return store.addClass(className()); }

    // Adds a new instance of the class.
    explicit InstanceBuilder(InstanceStore& store) : InstanceBuilder(declare(store)) {}
    // Adds a new instance to the class as declare() gave it (a builder of many instances looks
    // the class up once).
    explicit InstanceBuilder(ClassData& data) {
        data.items.emplace_back(Instance{});
        instance_ = &*data.items.back();
    }

    template <class T>
    InstanceBuilder& set(Key<std::remove_cvref_t<T>> key, T&& value) {
        Variant v = toVariant(std::forward<T>(value));
#ifdef QELTO_SCHEMA_CHECKS
        constexpr schema::ValueKind kind = schema::kindOf<std::remove_cvref_t<T>>();
        if constexpr (kind == schema::ValueKind::Any || kind == schema::ValueKind::List) {
            const schema::Property& p = kClass.properties[key.index];
            if (!schema::holds(p, v)) schema::refuse(kClass, p, v);
        }
#endif
        instance_->set(propertyName(key.index), std::move(v));
        return *this;
    }

    Instance& instance() {
        return *instance_;
    }

  private:
    template <class T>
    static Variant toVariant(T&& value) {
        if constexpr (schema::kindOf<std::remove_cvref_t<T>>() == schema::ValueKind::Integer)
            return Variant(qint64(value));
        else
            return Variant(std::forward<T>(value));
    }

    static const QString& className() {
        static const QString name = QString::fromLatin1(kClass.name);
        return name;
    }
    static const QString& propertyName(std::size_t i) {
        static const auto names = [] {
            std::array<QString, kClass.properties.size()> out;
            for (std::size_t k = 0; k < out.size(); ++k)
                out[k] = QString::fromLatin1(kClass.properties[k].name);
            return out;
        }();
        return names[i];
    }

    Instance* instance_ = nullptr;
};

}  // namespace qelto::wmi
