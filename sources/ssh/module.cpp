// The entry of the SSH module (see connect/module.h).

#include "source.h"

extern "C" __attribute__((visibility("default"))) qelto::connect::Dialer* qelto_ssh_dialer() {
    return qelto::wmi::ssh::newDialer().release();
}
