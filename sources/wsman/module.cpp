// The entry of the WS-Management module (see wmi/module.h).

#include "source.h"

extern "C" __attribute__((visibility("default"))) qelto::wmi::Source* qelto_wsman_source() {
    return qelto::wmi::wsman::newSource().release();
}
