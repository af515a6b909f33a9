#pragma once

#include "wmi/variant.h"

#include <span>

namespace qelto::scan {

// The public fields that a scan fills and the archive reads, plus computername, which names the
// report file. Every field holds a value as the scan wrote it (mostly text; diskdrivesum a
// number; dateuser, datecpu, datesound… may hold Null as read).
struct ScanRecord {
    using V = wmi::Variant;
    V getl, systemdrive, sendmail;
    V datecomputername, dateuser, dateos, dateinstalldate, datecpu, datememory, datebaseboard,
        datediskdrive, diskdrivesum, datevideo, datenetworkname, datenetworkip, datenetworkmac,
        datesound, datecdrom, datebios;
    V computername;  // not public; not cleared before a scan

    ScanRecord();

    // Before each connection: the 16 scan fields become the empty text; getl, systemdrive and
    // sendmail keep their values.
    void clearForScan();

    struct Field {
        const char* name;
        V ScanRecord::*member;
        bool clearedBeforeScan;
    };
    // The 19 public fields in their table order.
    static std::span<const Field> publicFields();
};

}  // namespace qelto::scan
