#pragma once

#include "scan/scan.h"
#include "wmi/snapshot.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

namespace qelto::test {

// One scan of a snapshot given as JSON text, with what the tests look at.
struct ScanResult {
    scan::InventoryTree tree;
    scan::ScanRecord record;
    std::vector<scan::Problem> problems;

    // The text of the line with that key, or "<missing>".
    std::string text(const char* key) const {
        const int i = tree.indexOf(QString::fromUtf8(key));
        return i < 0 ? std::string("<missing>") : tree.node(i).text.toStdString();
    }
    std::string image(const char* key) const {
        const int i = tree.indexOf(QString::fromUtf8(key));
        return i < 0 ? std::string("<missing>") : tree.node(i).image.toStdString();
    }
    // The keys of the children of a node, in order, joined by blanks.
    std::string childKeys(const char* key) const {
        const int i = tree.indexOf(QString::fromUtf8(key));
        if (i < 0) return "<missing>";
        QStringList keys;
        for (int c : tree.node(i).children) keys << tree.node(c).key;
        return keys.join(u' ').toStdString();
    }
};

// A field value written as type:value, so that Null, numbers and texts are told apart.
inline std::string repr(const wmi::Variant& v) {
    using T = wmi::Variant::Type;
    switch (v.type()) {
        case T::Null:
            return "null";
        case T::Text:
            return "text:" + v.textValue().toStdString();
        case T::Int:
            return "number:" + std::to_string(v.intValue());
        case T::UInt:
            return "number:" + std::to_string(v.uintValue());
        case T::Double:
            return "number:" + QString::number(v.doubleValue(), 'f', 0).toStdString();
        case T::Bool:
            return v.boolValue() ? "bool:true" : "bool:false";
        case T::Array:
            return "array";
    }
    return "?";
}

// Scans a snapshot made of a computer named PC01 and the given class members (JSON object members
// without the braces). A class member of the same name replaces the computer.
inline std::unique_ptr<ScanResult> scanClasses(
    const std::string& members,
    const QLocale& locale = QLocale(QLocale::English, QLocale::UnitedStates),
    scan::ScanRecord record = {}) {
    std::string json = R"({"Win32_ComputerSystem": [{"Caption": "PC01"}])";
    if (!members.empty()) json += ", " + members;
    json += "}";
    auto store = wmi::readSnapshot(QByteArray::fromStdString(json));
    wmi::StoreService service(store);
    auto r = std::make_unique<ScanResult>();
    r->record = std::move(record);
    r->record.clearForScan();
    scan::infoscan(service, r->tree, r->record, locale, &r->problems);
    return r;
}

}  // namespace qelto::test
