// The entry of the WS-Management module (see connect/module.h).

#include "source.h"

extern "C" __attribute__((visibility("default"))) qelto::connect::Dialer* qelto_wsman_dialer() {
    return qelto::wmi::wsman::newDialer().release();
}
