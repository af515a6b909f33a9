#include "builder.h"

#include <QtGlobal>

namespace qelto::wmi::schema {

namespace {

bool holdsOne(CimType type, const Variant& v) {
    switch (type) {
        case CimType::String:
        case CimType::DateTime:
        case CimType::UInt64:
        case CimType::SInt64:
            return v.isText();
        case CimType::UInt8:
        case CimType::UInt16:
        case CimType::UInt32:
            return v.type() == Variant::Type::Int && v.intValue() >= 0;
        case CimType::SInt8:
        case CimType::SInt16:
        case CimType::SInt32:
            return v.type() == Variant::Type::Int;
        case CimType::Real32:
        case CimType::Real64:
            return v.type() == Variant::Type::Double;
        case CimType::Boolean:
            return v.type() == Variant::Type::Bool;
    }
    return false;
}

}  // namespace

bool holds(const Property& p, const Variant& v) {
    if (v.isNull()) return true;
    if (!p.array) return holdsOne(p.type, v);
    if (!v.isArray()) return false;
    for (const Variant& e : v.arrayValue())
        if (!holdsOne(p.type, e)) return false;
    return true;
}

void refuse(const Class& c, const Property& p, const Variant& v) {
    qFatal("%s.%s 不接受 %s 类型的值", c.name, p.name, typeName(v.type()));
}

}  // namespace qelto::wmi::schema
