#pragma once

#include "connect/source.h"

#include <memory>

// A Linux host over SSH: one connection, one exec that gathers the whole machine, the same
// answers as the local source makes from them. See docs/ssh-source.md.
namespace qelto::wmi::ssh {

// The one kind of this source's candidates: an SSH server.
enum class Server { Ssh };

// The source: takes "ssh://[user@]host[:port]" and probes bare hosts for an SSH server
// (register.cpp). `dialer` connects: the module's, or newDialer() linked in.
connect::Source declaration(std::shared_ptr<connect::Dialer> dialer);

// How the source connects: the module's entry makes one, and so may a test. Its candidates are
// the SSH library's reading of the client configuration.
std::unique_ptr<connect::Dialer> newDialer();

}  // namespace qelto::wmi::ssh

// Called by the build's list of sources.
void qelto_register_ssh_source(qelto::connect::SourceRegistry& registry);
