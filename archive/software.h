#pragma once

#include "wmi/store.h"

#include <QString>

#include <optional>
#include <vector>

// The installed programs a kept full scan holds (the class Qelto_Software of its answers): read
// back, compared between two scans and looked up by name, with versions ordered as the package
// manager that installed them orders them.
namespace qelto::archive {

// One installed program as the source wrote it.
struct Program {
    QString name, version, vendor, installDate, architecture, source;
};

// The programs of a scan's answers, as kept; nullopt where the answers have no Qelto_Software
// (scans kept before programs were read, a source that cannot tell): unknown, not none.
std::optional<std::vector<Program>> programsOf(const wmi::InstanceStore& answers);

// An install date as the other commands show times (yyyy-MM-dd HH:mm:ss, local time of the
// computer); the text as it is where it is no date-time of the form the sources write.
QString installDateText(const QString& wmiDateTime);

// Version orders, each negative, zero or positive as a sorts before, with or after b.
// dpkg: [epoch:]upstream[-revision]; the epoch as a number, then upstream and revision each in
// runs of non-digits (letters before other signs, "~" before everything, even the end) and
// digits (as numbers).
int compareDpkgVersions(const QString& a, const QString& b);
// rpm: [epoch:]version[-release]; version and release in runs of letters and of digits (digits
// after letters, longer numbers larger), other signs only separate; "~" sorts before everything,
// "^" after the end but before anything else. A release is compared only where both have one.
int compareRpmVersions(const QString& a, const QString& b);
// Windows (and any source without its own order): dotted parts, each its leading digits as a
// number then the rest case aside; a missing part is 0, so 10.0 equals 10.0.0.
int compareWindowsVersions(const QString& a, const QString& b);
// The order of the program's source: rpm's for rpm, dpkg's for dpkg, apk, snap and flatpak,
// the Windows order for the rest.
int compareVersions(const QString& source, const QString& a, const QString& b);

// What happened to one program between two scans. A program is the same one where its name
// (case aside), source and architecture are.
struct ProgramChange {
    enum class Kind { Installed, Removed, Upgraded, Downgraded, Changed };
    Kind kind;
    QString name, source, architecture;
    QString before, after;  // the versions (empty where none)
};

// The programs installed, removed, and whose version went up, down or changed in text only,
// from `from` to `to`, in the order of their names (case aside).
std::vector<ProgramChange> diffPrograms(const std::vector<Program>& from,
                                        const std::vector<Program>& to);

}  // namespace qelto::archive
