// The queues of the print scheduler, asked over its own protocol on the socket its clients use
// (the same request as `lpstat -v`).

#include "cups.h"

#include <cups/cups.h>

#include <cstring>
#include <iterator>

namespace qelto::wmi::lnx {

namespace {

// How long the scheduler may take to accept the connection and to answer (milliseconds).
constexpr int kConnectMs = 3000;
constexpr double kAnswerSeconds = 5.0;

}  // namespace

QByteArray schedulerQueues() {
    // The server of the client configuration (CUPS_SERVER, client.conf, else the local socket).
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                kConnectMs, nullptr);
    if (!http) return {};
    httpSetTimeout(http, kAnswerSeconds, nullptr, nullptr);
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char* const wanted[] = {"printer-name", "printer-uri-supported", "device-uri"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(std::size(wanted)), nullptr, wanted);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ipp_t* response = cupsDoRequest(http, request, "/");  // frees the request
    QByteArray out;
    if (response && ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING) {
        // One group of attributes per queue, in the scheduler's order (by name).
        const char *name = nullptr, *uri = nullptr, *device = nullptr;
        const auto flush = [&] {
            if (name && !std::strchr(name, '\n') && !(device && std::strchr(device, '\n')) &&
                !(uri && std::strchr(uri, '\n'))) {
                // The scheduler leaves out the user and password of the device; "file:" is
                // dropped as lpstat drops it.
                const char* shown = device ? device : uri ? uri : "";
                if (std::strncmp(shown, "file:", 5) == 0) shown += 5;
                out.append("device for ").append(name).append(": ").append(shown).append('\n');
            }
            name = uri = device = nullptr;
        };
        for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
            if (ippGetGroupTag(a) != IPP_TAG_PRINTER) {
                flush();
                continue;
            }
            const char* n = ippGetName(a);
            if (!n) {  // a separator between two groups of the same tag
                flush();
                continue;
            }
            const ipp_tag_t tag = ippGetValueTag(a);
            if (std::strcmp(n, "printer-name") == 0 && tag == IPP_TAG_NAME)
                name = ippGetString(a, 0, nullptr);
            else if (std::strcmp(n, "printer-uri-supported") == 0 && tag == IPP_TAG_URI)
                uri = ippGetString(a, 0, nullptr);
            else if (std::strcmp(n, "device-uri") == 0 && tag == IPP_TAG_URI)
                device = ippGetString(a, 0, nullptr);
        }
        flush();
    }
    ippDelete(response);
    httpClose(http);
    return out;
}

}  // namespace qelto::wmi::lnx
