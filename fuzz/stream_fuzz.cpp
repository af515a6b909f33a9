// Decodes arbitrary bytes as a gathered stream (framed with a fixed boundary, as the seeds are).
// Decoding either fails with a StreamError or gives a gathering that builds the answers of every
// class and that encodes to a stream decoding to the same gathering.
#include "sources/linux/source.h"
#include "sources/linux/stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi::lnx;

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "stream_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QByteArray boundary = "0123456789abcdef0123456789abcdef";
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));
    Gathered g;
    try {
        g = decodeGathered(input, boundary);
    } catch (const StreamError& e) {
        check(!e.message().isEmpty(), "an error without a message");
        return 0;
    }
    const auto store = buildStore(g);
    check(store->findClass(u"Win32_ComputerSystem") &&
              store->findClass(u"Win32_NetworkAdapterConfiguration"),
          "a class is missing");
    const QByteArray encoded = encodeGathered(g, boundary);
    check(encodeGathered(decodeGathered(encoded, boundary), boundary) == encoded,
          "the encoded gathering does not decode to itself");
    return 0;
}
