// The entry of the SSH module (see wmi/module.h).

#include "source.h"

extern "C" __attribute__((visibility("default"))) qelto::wmi::Source* qelto_ssh_source() {
    return qelto::wmi::ssh::newSource().release();
}
