// The WS-Management source as the program knows it before it connects: its host texts and
// ports. The dialer (libcurl, OpenSSL, GSS-API) is a module, loaded when a Windows host is first
// connected.

#include "ports.h"
#include "source.h"

#include "connect/module.h"

namespace qelto::wmi::wsman {

connect::Source declaration(std::shared_ptr<connect::Dialer> dialer) {
    return {.name = QStringLiteral("wsman"),
            .takes = takesHost,
            .bareHostPreference = 30,
            .candidates = portsOf,
            .dialer = std::move(dialer)};
}

}  // namespace qelto::wmi::wsman

void qelto_register_wsman_source(qelto::connect::SourceRegistry& registry) {
    using namespace qelto;
    registry.add(wmi::wsman::declaration(
        connect::moduleDialer(QStringLiteral("wsman"), "qelto-wsman.so", "qelto_wsman_dialer")));
}
