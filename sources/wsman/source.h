#pragma once

#include "connect/source.h"

#include <memory>

// A Windows host over WS-Management (HTTPS): every class the scan reads enumerated at once into
// an InstanceStore. See docs/wsman-source.md.
namespace qelto::wmi::wsman {

// The source: takes "https://host[:port][/path]" and "http://…", and probes bare hosts on ports
// 5986 and 5985 (register.cpp). `dialer` connects: the module's, or newDialer() linked in.
connect::Source declaration(std::shared_ptr<connect::Dialer> dialer);

// How the source connects: the module's entry makes one, and so may a test.
std::unique_ptr<connect::Dialer> newDialer();

}  // namespace qelto::wmi::wsman

// Called by the build's list of sources.
void qelto_register_wsman_source(qelto::connect::SourceRegistry& registry);
