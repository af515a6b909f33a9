// Feeds arbitrary bytes to the WS-Management reply decoder, typed by one of the 25 classes (the
// first byte chooses, or none). It either refuses the reply with a DecodeError or takes it; what
// it takes, written again as a listener writes it, must read back the same.
#include "sources/wsman/decode.h"
#include "sources/wsman/encode.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi;

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "wsman_reply_fuzz: %s\n", what);
    std::abort();
}

void checkSame(const Instance& a, const Instance& b) {
    for (const Property& p : a.properties) {
        const Property* q = b.find(p.name);
        check(q != nullptr, "a property is lost when written again");
        check(q->readable == p.readable, "a property changes readability when written again");
        check(!p.readable || q->value == p.value, "a value changes when written again");
    }
    check(a.properties.size() == b.properties.size(), "a property appears when written again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto classes = schema::classes();
    const schema::Class* cls = data[0] < classes.size() ? &classes[data[0]] : nullptr;
    const QByteArrayView body(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    wsman::Decoded decoded;
    try {
        decoded = wsman::decodeEnumerationReply(body, cls);
    } catch (const wsman::DecodeError& e) {
        check(!e.message().isEmpty(), "a refusal without a reason");
        return 0;
    }
    if (decoded.fault) return 0;
    check(decoded.reply.endOfSequence || !decoded.reply.context.isEmpty(),
          "a reply that neither ends nor goes on");
    const schema::Class none{"Unknown", {}};
    std::vector<QByteArray> items;
    for (const Instance& i : decoded.reply.items)
        items.push_back(wsman::encodeInstance(i, cls ? *cls : none,
                                              wsman::resourceUri(u"root\\cimv2", u"Unknown")));
    const wsman::Decoded again = wsman::decodeEnumerationReply(
        wsman::pullResponse({}, {items, decoded.reply.context, decoded.reply.endOfSequence}), cls);
    check(again.reply.items.size() == decoded.reply.items.size(), "items lost when written again");
    for (std::size_t k = 0; k < items.size(); ++k)
        checkSame(decoded.reply.items[k], again.reply.items[k]);
    return 0;
}
