// The DCOM source as the program knows it before it connects: its host texts and port. The
// dialer (RPC, NTLM, GSS-API, the object decoder) is a module, loaded when a Windows host is
// first reached this way.

#include "ports.h"
#include "source.h"

#include "connect/module.h"

namespace qelto::dcom {

connect::Source declaration(std::shared_ptr<connect::Dialer> dialer) {
    return {.name = QStringLiteral("dcom"),
            .takes = takesHost,
            .bareHostPreference = 20,
            .candidates = portsOf,
            .dialer = std::move(dialer)};
}

}  // namespace qelto::dcom

void qelto_register_dcom_source(qelto::connect::SourceRegistry& registry) {
    using namespace qelto;
    registry.add(dcom::declaration(
        connect::moduleDialer(QStringLiteral("dcom"), "qelto-dcom.so", "qelto_dcom_dialer")));
}
