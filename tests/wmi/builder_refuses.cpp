// What a builder must refuse while compiling: each REFUSE_* case below is compiled on its own by a
// test that expects the compiler to name the reason (tests/wmi/CMakeLists.txt). Without a case
// this compiles, which is checked too.

#include "wmi/builder.h"

namespace qelto::wmi {

void build(InstanceStore& store) {
    InstanceBuilder<"Win32_NetworkAdapterConfiguration"> cfg(store);
    cfg.set("IPAddress", Variant::Array{Variant(QStringLiteral("192.0.2.1"))});
    cfg.set("IPEnabled", true).set("InterfaceIndex", 2).set("Description", u"eth0");
    InstanceBuilder<"Win32_PhysicalMemory"> m(store);
    m.set("Capacity", Variant(QStringLiteral("1024")));
#if defined(REFUSE_UNKNOWN_CLASS)
    InstanceBuilder<"Win32_NoSuchClass"> x(store);
#elif defined(REFUSE_UNKNOWN_PROPERTY)
    m.set("NoSuchProperty", Variant());
#elif defined(REFUSE_NAME_IN_OTHER_CASE)
    m.set("capacity", Variant());
#elif defined(REFUSE_NUMBER_FOR_TEXT)
    m.set("BankLabel", 3);
#elif defined(REFUSE_TEXT_FOR_NUMBER)
    m.set("Speed", QStringLiteral("3200"));
#elif defined(REFUSE_UNSIGNED_NUMBER)
    m.set("Speed", quint64(3200));
#elif defined(REFUSE_NUMBER_FOR_64_BITS)
    m.set("Capacity", qint64(1024));
#elif defined(REFUSE_NUMBER_FOR_BOOL)
    cfg.set("IPEnabled", 1);
#elif defined(REFUSE_SINGLE_FOR_ARRAY)
    cfg.set("IPAddress", QStringLiteral("192.0.2.1"));
#endif
}

}  // namespace qelto::wmi
