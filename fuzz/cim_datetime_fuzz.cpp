// Feeds arbitrary text to the datetime conversions. What cimDateTime accepts is WMI's CIM text,
// which it gives back unchanged; what xsDateTime writes, cimDateTime reads back to the same CIM
// text.
#include "sources/wsman/decode.h"
#include "sources/wsman/encode.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi::wsman;

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "cim_datetime_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const std::optional<QString> cim = cimDateTime(text)) {
        check(cim->size() == 25, "CIM text of another length");
        check(cimDateTime(*cim) == *cim, "CIM text not kept as it is");
        if (const std::optional<QString> xs = xsDateTime(*cim))
            check(cimDateTime(*xs) == *cim, "a datetime changes on its way through xs:dateTime");
    }
    if (const std::optional<QString> xs = xsDateTime(text))
        check(cimDateTime(*xs) == text, "xs:dateTime written from CIM text reads back otherwise");
    return 0;
}
