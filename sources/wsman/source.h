#pragma once

#include "wmi/sources.h"

#include <memory>

// A Windows host over WS-Management (HTTPS): every class the scan reads enumerated at once into
// an InstanceStore. See docs/wsman-source.md.
namespace qelto::wmi::wsman {

// Takes "https://host[:port][/path]" (and "http://…", refused with a message), and probes bare
// hosts on ports 5986 and 5985.
std::unique_ptr<Source> newSource();

}  // namespace qelto::wmi::wsman

// Called by the build's list of sources.
void qelto_register_wsman_source(qelto::wmi::SourceRegistry& registry);
