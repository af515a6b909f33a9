// The entry of the DCOM module (see connect/module.h).

#include "source.h"

extern "C" __attribute__((visibility("default"))) qelto::connect::Dialer* qelto_dcom_dialer() {
    return qelto::dcom::newDialer().release();
}
