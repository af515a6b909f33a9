// Feeds arbitrary bytes to the multipart/encrypted parser of the HTTP listener's replies, under
// the content type Windows sends (or one taken from the input's first line). It either refuses
// the body with a DecodeError or takes it; under Windows's content type every part it takes,
// written again, must parse back to the same part.
#include "sources/wsman/decode.h"
#include "sources/wsman/encrypted.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi::wsman;

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "wsman_encrypted_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));
    QByteArray type = encryptedContentType(kSpnegoEncrypted);
    if (input.startsWith("Content-Type: ")) {
        const qsizetype eol = input.indexOf('\n');
        if (eol > 0) {
            type = input.sliced(14, eol - 14).toByteArray();
            input = input.sliced(eol + 1);
        }
    }
    std::vector<EncryptedPart> parts;
    try {
        parts = parseEncryptedBody(type, input);
    } catch (const DecodeError&) {
        return 0;
    }
    check(!parts.empty(), "a body with no part is taken");
    if (type != encryptedContentType(kSpnegoEncrypted)) return 0;  // another boundary
    for (const EncryptedPart& part : parts) {
        check(part.sealed.size() >= part.plainLength, "sealed data shorter than its plain text");
        EncryptedPart same = part;
        same.protocol = kSpnegoEncrypted;
        const std::vector<EncryptedPart> again =
            parseEncryptedBody(encryptedContentType(kSpnegoEncrypted), encryptedBody(same));
        check(again.size() == 1, "a part written again does not read back as one part");
        check(again[0].header == part.header, "the header changes when written again");
        check(again[0].plainLength == part.plainLength, "the length changes when written again");
        check(again[0].sealed == part.sealed, "the sealed data changes when written again");
    }
    return 0;
}
