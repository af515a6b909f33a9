#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace qelto::wmi {

// A property value as the query layer hands it out: Null, text, a 64-bit integer (signed or
// unsigned), a double, a boolean or an array of values.
class Variant {
  public:
    enum class Type { Null, Text, Int, UInt, Double, Bool, Array };
    using Array = std::vector<Variant>;

    Variant() = default;
    Variant(const QString& text) : type_(Type::Text), text_(text) {}
    Variant(QString&& text) : type_(Type::Text), text_(std::move(text)) {}
    Variant(const char16_t* text) : type_(Type::Text), text_(QString::fromUtf16(text)) {}
    Variant(int v) : type_(Type::Int), i_(v) {}
    Variant(qint64 v) : type_(Type::Int), i_(v) {}
    Variant(quint64 v) : type_(Type::UInt), u_(v) {}
    Variant(double v) : type_(Type::Double), d_(v) {}
    Variant(bool v) : type_(Type::Bool), b_(v) {}
    Variant(Array a) : type_(Type::Array), array_(std::move(a)) {}
    Variant(const char*) = delete;  // say QStringLiteral or u"…" so the encoding is never in doubt

    static Variant text(const char* utf8) { return Variant(QString::fromUtf8(utf8)); }

    Type type() const { return type_; }
    bool isNull() const { return type_ == Type::Null; }
    bool isText() const { return type_ == Type::Text; }
    bool isArray() const { return type_ == Type::Array; }
    bool isNumber() const {
        return type_ == Type::Int || type_ == Type::UInt || type_ == Type::Double;
    }

    // Accessors for the held alternative; calling the wrong one returns a zero value.
    const QString& textValue() const { return text_; }
    qint64 intValue() const { return type_ == Type::Int ? i_ : 0; }
    quint64 uintValue() const { return type_ == Type::UInt ? u_ : 0; }
    double doubleValue() const { return type_ == Type::Double ? d_ : 0.0; }
    bool boolValue() const { return type_ == Type::Bool && b_; }
    const Array& arrayValue() const { return array_; }

    friend bool operator==(const Variant& a, const Variant& b);

  private:
    Type type_ = Type::Null;
    union {
        qint64 i_ = 0;
        quint64 u_;
        double d_;
        bool b_;
    };
    QString text_;
    Array array_;
};

const char* typeName(Variant::Type t);

}  // namespace qelto::wmi
