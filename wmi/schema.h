#pragma once

#include <QStringView>

#include <span>

// The types of the properties the scan reads, for each of the 25 classes, and of the installed
// programs and updates read beside the scan: the one place that knows them. Sources that receive
// values as text (WS-Management) decode by it; the tests check every other source's answers against
// it.
namespace qelto::wmi::schema {

enum class CimType {
    String,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    SInt8,
    SInt16,
    SInt32,
    SInt64,
    Real32,
    Real64,
    Boolean,
    DateTime
};

struct Property {
    const char* name;
    CimType type;
    bool array = false;
};

struct Class {
    const char* name;
    std::span<const Property> properties;
};

// The 25 classes, in the order the scan first queries them.
std::span<const Class> classes();
// The installed programs (Qelto_Software, which every source fills alike) and the system's
// updates (Win32_QuickFixEngineering): never queried by the scan, read on demand.
std::span<const Class> softwareClasses();
// By name among both, without regard to case; nullptr when unknown.
const Class* findClass(QStringView name);
const Property* findProperty(const Class& cls, QStringView name);

}  // namespace qelto::wmi::schema
