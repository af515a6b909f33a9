// Feeds arbitrary bytes to the decoders of the DCOM and WMI stubs: the first byte chooses which
// (the client's reply decoders, then the tests' server's request readers). Each either refuses
// the stub with a FormatError or takes it; the objects a Next reply carries go on to the object
// decoder, and what a decoder takes is written again and must read back the same.
#include "sources/dcom/calls.h"
#include "sources/dcom/wmio.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::dcom;

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "dcom_calls_fuzz: %s\n", what);
    std::abort();
}

void nextReplyAgain(const NextReply& reply) {
    for (const QByteArray& unit : reply.objects) {
        try {
            (void)decodeEncodingUnit(unit);
        } catch (const FormatError&) {
        }
    }
    const NextReply again = readNextReply(nextReply(reply.objects, 100, reply.result), 100);
    check(again.objects == reply.objects && again.result == reply.result,
          "a Next reply changes when written again");
}

void decode(std::uint8_t which, QByteArrayView stub) {
    switch (which % 9) {
        case 0:
            return nextReplyAgain(readNextReply(stub, 100));
        case 1: {
            const ActivationReply a = readRemoteCreateInstanceReply(stub);
            if (!a.object) return;
            const ActivationReply b =
                readRemoteCreateInstanceReply(remoteCreateInstanceReply(a, a.object->iid));
            check(b.oxid == a.oxid && b.object && b.object->std.ipid == a.object->std.ipid,
                  "an activation reply changes when written again");
            return;
        }
        case 2:
            (void)readInterfaceReply(stub);
            return;
        case 3:
            (void)readResultReply(stub);
            return;
        case 4:
            (void)readObjRef(stub);
            return;
        case 5:
            (void)readRemoteCreateInstanceRequest(stub);
            return;
        case 6:
            (void)readExecQueryRequest(stub);
            return;
        case 7:
            (void)readNtlmLoginRequest(stub);
            return;
        default:
            (void)readRemReleaseRequest(stub);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    try {
        decode(data[0],
               QByteArrayView(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)));
    } catch (const FormatError& e) {
        check(!e.message().isEmpty(), "a refusal without a reason");
    }
    return 0;
}
