// Feeds arbitrary bytes to the snapshot reader. Whatever it accepts must be queryable, every
// property must read the way the store says, and writing it out must read back the same.
#include "wmi/error.h"
#include "wmi/snapshot.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi;

namespace {

[[noreturn]] void failure(const char* what) {
    std::fprintf(stderr, "snapshot_fuzz: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) failure(what);
}

bool sameValue(const Variant& a, const Variant& b) {
    if (!(a == b)) return false;
    if (a.type() == Variant::Type::Double)
        return std::signbit(a.doubleValue()) == std::signbit(b.doubleValue());
    return true;
}

void checkSameStores(const InstanceStore& a, const InstanceStore& b) {
    const auto ca = a.classes();
    const auto cb = b.classes();
    check(ca.size() == cb.size(), "round trip changed the number of classes");
    for (std::size_t i = 0; i < ca.size(); ++i) {
        check(ca[i]->name == cb[i]->name, "round trip changed a class name");
        check(ca[i]->broken == cb[i]->broken, "round trip changed whether a class is broken");
        check(ca[i]->items.size() == cb[i]->items.size(), "round trip changed the item count");
        for (std::size_t j = 0; j < ca[i]->items.size(); ++j) {
            const auto& ia = ca[i]->items[j];
            const auto& ib = cb[i]->items[j];
            check(ia.has_value() == ib.has_value(), "round trip changed an enumeration error");
            if (!ia) continue;
            check(ia->properties.size() == ib->properties.size(),
                  "round trip changed the property count");
            for (std::size_t k = 0; k < ia->properties.size(); ++k) {
                const Property& pa = ia->properties[k];
                const Property& pb = ib->properties[k];
                check(pa.name == pb.name, "round trip changed a property name");
                check(pa.readable == pb.readable, "round trip changed readability");
                if (pa.readable) check(sameValue(pa.value, pb.value), "round trip changed a value");
            }
        }
    }
}

// Runs "Select * From <class>" and reads every property of every object the walk returns.
void walkClass(const std::shared_ptr<InstanceStore>& store, const ClassData& data) {
    StoreService service(store);
    std::unique_ptr<Collection> collection;
    try {
        collection = service.execQuery(QStringLiteral("Select * From ") + data.name);
    } catch (const Error&) {
        // A broken class cannot be queried, nor a name that is no WQL identifier.
        return;
    }
    // Only a plain name is sure to have queried this very class (think of "A where …").
    for (QChar c : data.name)
        if (!(c.isLetterOrNumber() || c == u'_') || c.unicode() > 0x7F) return;
    check(!data.broken, "a broken class was queried");
    std::size_t index = 0;
    try {
        while (auto object = collection->next()) {
            // Without a WHERE the walk returns the instances in order, one for one.
            check(index < data.items.size() && data.items[index].has_value(),
                  "the walk returned an object for an enumeration error");
            const Instance& instance = *data.items[index++];
            for (const Property& p : instance.properties) {
                try {
                    const Variant v = object->get(p.name);
                    check(p.readable, "an unreadable property was read");
                    check(sameValue(v, p.value), "a property read a different value");
                } catch (const Error& e) {
                    check(!p.readable, "a readable property failed");
                    check(e.number() == code::TypeMismatch, "unexpected error number");
                }
            }
        }
        check(index == data.items.size(), "the walk ended early without an error");
    } catch (const Error&) {
        check(index < data.items.size() && !data.items[index].has_value(),
              "the walk failed where there is an instance");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    std::shared_ptr<InstanceStore> store;
    try {
        store = readSnapshot(bytes);
    } catch (const SnapshotError& e) {
        check(!e.message().isEmpty(), "an error without a message");
        check(e.line() >= 1 && e.column() >= 1, "an error without a place");
        return 0;
    }
    for (const ClassData* data : store->classes()) walkClass(store, *data);

    const QByteArray written = writeSnapshot(*store);
    std::shared_ptr<InstanceStore> back;
    try {
        back = readSnapshot(written);
    } catch (const SnapshotError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        failure("what was written cannot be read");
    }
    checkSameStores(*store, *back);
    check(writeSnapshot(*back) == written, "writing again gave a different text");
    return 0;
}
