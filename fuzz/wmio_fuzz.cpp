// Feeds arbitrary bytes to the WMI object decoder as an EncodingUnit. It either refuses the
// object with a FormatError or takes it; an instance it takes, encoded again as the tests' WMI
// server encodes it, must read back the same.
#include "sources/dcom/wmio.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi;
namespace dcom = qelto::dcom;

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "wmio_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView unit(reinterpret_cast<const char*>(data), qsizetype(size));
    dcom::ClassCache cache;
    dcom::DecodedObject decoded;
    try {
        decoded = dcom::decodeEncodingUnit(unit, &cache);
        (void)dcom::decodeEncodingUnit(unit, &cache);  // the second time through the cache
    } catch (const dcom::FormatError& e) {
        check(!e.message().isEmpty(), "a refusal without a reason");
        return 0;
    }
    if (decoded.isClass) return 0;
    const schema::Class* cls = schema::findClass(decoded.cls->name);
    const dcom::DecodedObject again =
        dcom::decodeEncodingUnit(dcom::encodeInstance(decoded.instance, decoded.cls->name, cls));
    check(again.instance.properties.size() == decoded.instance.properties.size(),
          "properties lost or gained when written again");
    for (const Property& p : decoded.instance.properties) {
        const Property* q = again.instance.find(p.name);
        check(q != nullptr, "a property is lost when written again");
        check(q->readable == p.readable, "a property changes readability when written again");
        const bool same =
            !p.readable || q->value == p.value || p.value.type() == Variant::Type::Double;
        if (!same)
            std::fprintf(stderr, "%s: %s (%s) became %s (%s)\n", qPrintable(p.name),
                         qPrintable(p.value.textValue()), typeName(p.value.type()),
                         qPrintable(q->value.textValue()), typeName(q->value.type()));
        check(same, "a value changes when written again");
    }
    return 0;
}
