#pragma once

#include "connect/source.h"

#include <memory>

// A Windows host over classic remote WMI (DCOM): activation of the WMI login object on port 135,
// then NTLMLogin, ExecQuery and Next on the object's port at packet privacy, every class of the
// scan gathered into an InstanceStore. See docs/dcom-source.md.
namespace qelto::dcom {

// The source: takes "dcom://host[:port]", and probes bare hosts on port 135 (register.cpp).
connect::Source declaration(std::shared_ptr<connect::Dialer> dialer);

// How the source connects: the module's entry makes one, and so may a test.
std::unique_ptr<connect::Dialer> newDialer();

}  // namespace qelto::dcom

// Called by the build's list of sources.
void qelto_register_dcom_source(qelto::connect::SourceRegistry& registry);
