#include "snapshot.h"

#include "common/json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>

namespace qelto::wmi {

namespace json = common::json;

namespace {

const QString kEnumerationError = QStringLiteral("#enumeration-error");

// Takes a JSON value over as a property value. Returns false when the value has no place in a
// property (an object, invalid text, a number beyond double, or an array holding one of these).
bool takeValue(json::Value&& in, Variant& out) {
    switch (in.type) {
        case json::Value::Type::Null:
            out = Variant();
            return true;
        case json::Value::Type::Bool:
            out = Variant(in.boolean);
            return true;
        case json::Value::Type::Int:
            out = Variant(in.integer);
            return true;
        case json::Value::Type::UInt:
            out = Variant(in.unsignedInteger);
            return true;
        case json::Value::Type::Double:
            if (!in.valid) return false;
            out = Variant(in.number);
            return true;
        case json::Value::Type::String:
            if (!in.valid) return false;
            out = Variant(std::move(in.string));
            return true;
        case json::Value::Type::Array: {
            Variant::Array elements;
            elements.reserve(in.array.size());
            for (json::Value& element : in.array) {
                Variant v;
                if (!takeValue(std::move(element), v)) return false;
                elements.push_back(std::move(v));
            }
            out = Variant(std::move(elements));
            return true;
        }
        case json::Value::Type::Object:
            return false;
    }
    return false;
}

// Whether two property names are the same name: compared case-insensitively, and case folding
// keeps the length, so comparing lengths first is safe and cheap.
bool sameName(const QString& a, const QString& b) {
    return a.size() == b.size() && a.compare(b, Qt::CaseInsensitive) == 0;
}

// Instances with more members than this find repeated names through a hash of the folded names;
// smaller ones (nearly all) look through what they have so far.
constexpr std::size_t kHashedFrom = 32;

Instance takeInstance(json::Value&& in) {
    Instance instance;
    instance.properties.reserve(in.object.size());
    // A later property of the same name takes the place of the earlier one. Folded name -> index
    // of the property, for large instances only.
    QHash<QString, std::size_t> byFoldedName;
    const bool hashed = in.object.size() > kHashedFrom;
    if (hashed) byFoldedName.reserve(qsizetype(in.object.size()));
    for (json::Member& member : in.object) {
        Property property;
        property.name = std::move(member.key);
        property.readable = takeValue(std::move(member.value), property.value);
        if (!property.readable) property.value = Variant();
        Property* same = nullptr;
        if (hashed) {
            QString folded = property.name.toCaseFolded();
            const auto at = byFoldedName.constFind(folded);
            if (at == byFoldedName.cend())
                byFoldedName.insert(std::move(folded), instance.properties.size());
            else if (sameName(instance.properties[*at].name, property.name))
                same = &instance.properties[*at];
        } else {
            for (Property& p : instance.properties) {
                if (sameName(p.name, property.name)) {
                    same = &p;
                    break;
                }
            }
        }
        if (same)
            *same = std::move(property);
        else
            instance.properties.push_back(std::move(property));
    }
    return instance;
}

// Whether a value can be written so that it reads back readable: JSON has no text for a
// number that is not finite.
bool writable(const Variant& v) {
    if (v.type() == Variant::Type::Double) return std::isfinite(v.doubleValue());
    if (v.isArray()) {
        for (const Variant& element : v.arrayValue())
            if (!writable(element)) return false;
    }
    return true;
}

template <typename Integer>
void appendInteger(QByteArray& out, Integer value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr - buffer);
}

void appendValue(QByteArray& out, const Variant& v) {
    switch (v.type()) {
        case Variant::Type::Null:
            out.append("null");
            return;
        case Variant::Type::Text:
            json::appendString(out, v.textValue());
            return;
        case Variant::Type::Int:
            appendInteger(out, v.intValue());
            return;
        case Variant::Type::UInt:
            appendInteger(out, v.uintValue());
            return;
        case Variant::Type::Double:
            json::appendDouble(out, v.doubleValue());
            return;
        case Variant::Type::Bool:
            out.append(v.boolValue() ? "true" : "false");
            return;
        case Variant::Type::Array: {
            // Arrays of values stay on one line: "[1, 2, 3]".
            out.append('[');
            bool first = true;
            for (const Variant& element : v.arrayValue()) {
                if (!first) out.append(", ", 2);
                first = false;
                appendValue(out, element);
            }
            out.append(']');
            return;
        }
    }
}

void appendIndent(QByteArray& out, int level) {
    out.append(qsizetype(level) * 2, ' ');
}

void appendInstance(QByteArray& out, const Instance& instance) {
    if (instance.properties.empty()) {
        out.append("{}", 2);
        return;
    }
    out.append("{\n", 2);
    bool first = true;
    for (const Property& p : instance.properties) {
        if (!first) out.append(",\n", 2);
        first = false;
        appendIndent(out, 3);
        json::appendString(out, p.name);
        out.append(": ", 2);
        // An unreadable property is written as an object, which reads back unreadable.
        if (p.readable && writable(p.value))
            appendValue(out, p.value);
        else
            out.append("{}", 2);
    }
    out.append('\n');
    appendIndent(out, 2);
    out.append('}');
}

}  // namespace

std::shared_ptr<InstanceStore> readSnapshot(const QByteArray& json) {
    json::Value root;
    qsizetype rootOffset = 0;
    try {
        root = json::parse(json, &rootOffset);
    } catch (const json::ParseError& e) {
        throw SnapshotError(QStringLiteral("快照文件第 %1 行第 %2 列：%3")
                                .arg(e.line())
                                .arg(e.column())
                                .arg(e.message()),
                            e.line(), e.column());
    }
    if (!root.isObject()) {
        const json::Position pos = json::positionAt(json, rootOffset);
        throw SnapshotError(QStringLiteral("快照文件的顶层必须是以类名为键的对象"), pos.line,
                            pos.column);
    }

    auto store = std::make_shared<InstanceStore>();
    for (json::Member& member : root.object) {
        // A later key naming the same class replaces the earlier one.
        ClassData& data = store->addClass(member.key);
        data.name = std::move(member.key);
        data.items.clear();
        data.broken = !member.value.isArray();
        if (data.broken) continue;
        data.items.reserve(member.value.array.size());
        for (json::Value& element : member.value.array) {
            // "#enumeration-error", or anything else that is not an instance, stands for an
            // object whose enumeration fails.
            if (element.isObject())
                data.items.emplace_back(takeInstance(std::move(element)));
            else
                data.items.emplace_back(std::nullopt);
        }
        member.value = json::Value();  // give the memory back as we go
    }
    return store;
}

std::shared_ptr<InstanceStore> loadSnapshot(const QString& path) {
    const auto cannotRead = [&path](const QString& reason) {
        return SnapshotError(
            QStringLiteral("无法读取快照文件 %1：%2").arg(QDir::toNativeSeparators(path), reason));
    };
    QString reason;
    const std::optional<QByteArray> bytes =
        common::readInputFile(path, common::kMaxInputFileBytes, reason);
    if (!bytes) throw cannotRead(reason);
    try {
        return readSnapshot(*bytes);
    } catch (const std::bad_alloc&) {
        throw cannotRead(QStringLiteral("内存不足"));
    }
}

QByteArray writeSnapshot(const InstanceStore& store) {
    QByteArray out;
    const std::vector<const ClassData*> classes = store.classes();
    if (classes.empty()) return QByteArrayLiteral("{}\n");
    out.append("{\n", 2);
    bool firstClass = true;
    for (const ClassData* data : classes) {
        if (!firstClass) out.append(",\n", 2);
        firstClass = false;
        appendIndent(out, 1);
        json::appendString(out, data->name);
        out.append(": ", 2);
        if (data->broken) {
            out.append("{}", 2);  // reads back as a class that cannot be queried
            continue;
        }
        if (data->items.empty()) {
            out.append("[]", 2);
            continue;
        }
        out.append("[\n", 2);
        bool firstItem = true;
        for (const std::optional<Instance>& item : data->items) {
            if (!firstItem) out.append(",\n", 2);
            firstItem = false;
            appendIndent(out, 2);
            if (item)
                appendInstance(out, *item);
            else
                json::appendString(out, kEnumerationError);
        }
        out.append('\n');
        appendIndent(out, 1);
        out.append(']');
    }
    out.append("\n}\n", 3);
    return out;
}

std::unique_ptr<Service> SnapshotConnector::connect(const ConnectRequest&) {
    return std::make_unique<StoreService>(store_);
}

}  // namespace qelto::wmi
