#include "scanjson.h"

#include "common/charset.h"
#include "common/json.h"

#include <cmath>

namespace qelto::cli {

namespace {

void writeString(QByteArray& out, const QString& s) {
    common::json::appendString(out, s);
}

void writeValue(QByteArray& out, const wmi::Variant& v) {
    using T = wmi::Variant::Type;
    switch (v.type()) {
        case T::Null:
            out += "null";
            return;
        case T::Text:
            writeString(out, v.textValue());
            return;
        case T::Int:
            out += QByteArray::number(v.intValue());
            return;
        case T::UInt:
            out += QByteArray::number(v.uintValue());
            return;
        case T::Bool:
            out += v.boolValue() ? "true" : "false";
            return;
        case T::Double: {
            const double d = v.doubleValue();
            if (!std::isfinite(d)) {
                out += "null";
                return;
            }
            // Whole numbers (disk totals) print as integers; others in the shortest exact form.
            if (d == std::floor(d) && std::fabs(d) < 9007199254740992.0) {
                out += QByteArray::number(static_cast<qint64>(d));
                return;
            }
            common::json::appendDouble(out, d);
            return;
        }
        case T::Array: {
            out += '[';
            bool first = true;
            for (const auto& e : v.arrayValue()) {
                if (!first) out += ", ";
                first = false;
                writeValue(out, e);
            }
            out += ']';
            return;
        }
    }
}

void writeList(QByteArray& out, const char* name, const wmi::schema::Class& cls,
               const std::optional<std::vector<ProgramRow>>& rows) {
    out += ",\n  \"";
    out += name;
    out += "\": ";
    if (!rows) {
        out += "null";
        return;
    }
    std::vector<QByteArray> keys;  // "\"Name\": "
    for (const wmi::schema::Property& p : cls.properties) {
        QByteArray key;
        writeString(key, QString::fromLatin1(p.name));
        keys.push_back(key + ": ");
    }
    out += '[';
    for (std::size_t i = 0; i < rows->size(); ++i) {
        out += i ? ",\n    {" : "\n    {";
        const ProgramRow& row = (*rows)[i];
        for (std::size_t k = 0; k < row.size() && k < keys.size(); ++k) {
            if (k) out += ", ";
            out += keys[k];
            writeValue(out, row[k]);
        }
        out += '}';
    }
    out += rows->empty() ? "]" : "\n  ]";
}

}  // namespace

QByteArray scanToJson(const scan::InventoryTree& tree, const scan::ScanRecord& record,
                      const Programs* programs) {
    QByteArray out = "{\n  \"tree\": [";
    for (int i = 0; i < tree.count(); ++i) {
        const scan::Node& n = tree.node(i);
        out += i ? ",\n    {\"key\": " : "\n    {\"key\": ";
        writeString(out, n.key);
        out += ", \"parent\": ";
        if (n.parent < 0)
            out += "null";
        else
            writeString(out, tree.node(n.parent).key);
        out += ", \"image\": ";
        writeString(out, n.image);
        out += ", \"text\": ";
        writeString(out, n.text);
        out += '}';
    }
    out += tree.count() ? "\n  ],\n  \"record\": {" : "],\n  \"record\": {";
    bool first = true;
    auto field = [&](const char* name, const wmi::Variant& value) {
        out += first ? "\n    \"" : ",\n    \"";
        first = false;
        out += name;
        out += "\": ";
        writeValue(out, value);
    };
    for (const auto& f : scan::ScanRecord::publicFields()) field(f.name, record.*f.member);
    field("computername", record.computername);
    out += "\n  }";
    if (programs) {
        writeList(out, "software", softwareClass(), programs->software);
        writeList(out, "updates", updatesClass(), programs->updates);
    }
    out += "\n}\n";
    return out;
}

QByteArray scanToOutline(const scan::InventoryTree& tree) {
    QByteArray out;
    // Depth first, so that every line stands under its category.
    auto walk = [&](auto&& self, int index, int depth) -> void {
        out += QByteArray(depth * 2, ' ');
        out += common::displayLine(tree.node(index).text).toUtf8();
        out += '\n';
        for (int child : tree.node(index).children) self(self, child, depth + 1);
    };
    for (int top : tree.topLevel()) walk(walk, top, 0);
    return out;
}

}  // namespace qelto::cli
