// The WS-Management source as the choosing point knows it: its host texts and ports. The client
// (libcurl, OpenSSL, GSS-API) is a module, loaded when a Windows host is first connected.

#include "ports.h"
#include "source.h"

#include "wmi/module.h"

void qelto_register_wsman_source(qelto::wmi::SourceRegistry& registry) {
    using namespace qelto::wmi;
    registry.add(moduleSource({QStringLiteral("wsman"), wsman::takesHost, true, 1, wsman::portsOf,
                               "qelto-wsman.so", "qelto_wsman_source"}));
}
