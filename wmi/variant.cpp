#include "variant.h"

namespace qelto::wmi {

bool operator==(const Variant& a, const Variant& b) {
    if (a.type_ != b.type_) return false;
    switch (a.type_) {
        case Variant::Type::Null:
            return true;
        case Variant::Type::Text:
            return a.text_ == b.text_;
        case Variant::Type::Int:
            return a.i_ == b.i_;
        case Variant::Type::UInt:
            return a.u_ == b.u_;
        case Variant::Type::Double:
            return a.d_ == b.d_;
        case Variant::Type::Bool:
            return a.b_ == b.b_;
        case Variant::Type::Array:
            return a.array_ == b.array_;
    }
    return false;
}

const char* typeName(Variant::Type t) {
    switch (t) {
        case Variant::Type::Null:
            return "null";
        case Variant::Type::Text:
            return "text";
        case Variant::Type::Int:
            return "int";
        case Variant::Type::UInt:
            return "uint";
        case Variant::Type::Double:
            return "double";
        case Variant::Type::Bool:
            return "bool";
        case Variant::Type::Array:
            return "array";
    }
    return "?";
}

}  // namespace qelto::wmi
