#pragma once

#include "source.h"

#include <memory>

// A dialer whose libraries are loaded only when a host needs them: the source's declaration
// (name, host texts, preference, candidates) is linked into the program, its connection lives in
// a module, a shared object loaded with dlopen on first use and kept until the program ends.
namespace qelto::connect {

// The dialer of module `file` (in moduleFolder()), whose extern "C" Dialer* `entry`() makes a
// new dialer owned by the caller. `source` names it in messages.
std::shared_ptr<Dialer> moduleDialer(QString source, const char* file, const char* entry);

// Where modules are loaded from: the build's folder of modules when this program runs from the
// build tree, else the folder they are installed in.
QString moduleFolder();

}  // namespace qelto::connect
