#include "schema.h"
#include "schema_table.h"

#include <QString>

namespace qelto::wmi::schema {

namespace {

using table::kClasses;
using table::kSoftwareClasses;

bool sameName(QStringView a, const char* ascii) {
    return a.compare(QLatin1StringView(ascii), Qt::CaseInsensitive) == 0;
}

}  // namespace

std::span<const Class> classes() {
    return kClasses;
}

std::span<const Class> softwareClasses() {
    return kSoftwareClasses;
}

const Class* findClass(QStringView name) {
    for (const Class& c : kClasses)
        if (sameName(name, c.name)) return &c;
    for (const Class& c : kSoftwareClasses)
        if (sameName(name, c.name)) return &c;
    return nullptr;
}

const Property* findProperty(const Class& cls, QStringView name) {
    for (const Property& p : cls.properties)
        if (sameName(name, p.name)) return &p;
    return nullptr;
}

}  // namespace qelto::wmi::schema
