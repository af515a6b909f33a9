#pragma once

#include "sources.h"

#include <memory>
#include <vector>

// A source whose libraries are loaded only when a host needs it. What the choosing point asks
// of a source without connecting (its name, the host texts it takes, its preference and, where
// no library is needed for them, its candidates) is answered here; the rest lives in a module,
// a shared object loaded with dlopen on first use and kept until the program ends.
namespace qelto::wmi {

struct ModuleDescription {
    QString name;  // "ssh", "wsman"
    bool (*takes)(const HostText& host) = nullptr;
    bool servesBareHosts = false;
    int preference = 0;
    // The candidates, when the module is not needed for them; nullptr: the module's own.
    std::vector<reach::Candidate> (*candidates)(const HostText& host) = nullptr;
    const char* file = nullptr;   // "qelto-ssh.so", in moduleFolder()
    const char* entry = nullptr;  // extern "C" Source* entry(): a new source, owned by the caller
};

std::unique_ptr<Source> moduleSource(ModuleDescription module);

// Where modules are loaded from: the build's folder of modules when this program runs from the
// build tree, else the folder they are installed in.
QString moduleFolder();

}  // namespace qelto::wmi
