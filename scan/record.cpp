#include "record.h"

namespace qelto::scan {

namespace {
using R = ScanRecord;
constexpr R::Field kFields[] = {
    {"getl", &R::getl, false},
    {"systemdrive", &R::systemdrive, false},
    {"sendmail", &R::sendmail, false},
    {"datecomputername", &R::datecomputername, true},
    {"dateuser", &R::dateuser, true},
    {"dateos", &R::dateos, true},
    {"dateinstalldate", &R::dateinstalldate, true},
    {"datecpu", &R::datecpu, true},
    {"datememory", &R::datememory, true},
    {"datebaseboard", &R::datebaseboard, true},
    {"datediskdrive", &R::datediskdrive, true},
    {"diskdrivesum", &R::diskdrivesum, true},
    {"datevideo", &R::datevideo, true},
    {"datenetworkname", &R::datenetworkname, true},
    {"datenetworkip", &R::datenetworkip, true},
    {"datenetworkmac", &R::datenetworkmac, true},
    {"datesound", &R::datesound, true},
    {"datecdrom", &R::datecdrom, true},
    {"datebios", &R::datebios, true},
};
}  // namespace

ScanRecord::ScanRecord() {
    // A field nobody wrote yet reads as the empty text.
    for (const Field& f : kFields) this->*f.member = V(QString());
    computername = V(QString());
}

void ScanRecord::clearForScan() {
    for (const Field& f : kFields)
        if (f.clearedBeforeScan) this->*f.member = V(QString());
}

std::span<const ScanRecord::Field> ScanRecord::publicFields() {
    return kFields;
}

}  // namespace qelto::scan
