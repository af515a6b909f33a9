#pragma once

#include "wmi/sources.h"

#include <memory>

// A Linux host over SSH: one connection, one exec that gathers the whole machine, the same
// answers as the local source makes from them. See docs/ssh-source.md.
namespace qelto::wmi::ssh {

// Takes "ssh://[user@]host[:port]" and probes bare hosts for an SSH server.
std::unique_ptr<Source> newSource();

}  // namespace qelto::wmi::ssh

// Called by the build's list of sources.
void qelto_register_ssh_source(qelto::wmi::SourceRegistry& registry);
