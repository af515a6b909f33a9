#pragma once

#include <QByteArray>
#include <QString>
#include <QTimeZone>

#include <optional>

namespace qelto::wmi::lnx {

// This machine's zone database.
inline constexpr char kZoneFolder[] = "/usr/share/zoneinfo";

// True when `name` names a zone file of the zone database in `folder`: characters of zone names
// only (letters, digits, '_', '+', '-', '/' between non-empty parts), no leading '/', no '.' or
// '..' part, and a regular file beneath the folder (links followed only while they stay inside
// it) that starts like a zone file and is at most 1 MiB. The file is opened without waiting and
// never read when it is a device or a pipe.
bool isZoneFile(const QString& name, const QByteArray& folder = kZoneFolder);

// True for a POSIX TZ rule such as "CST-8" or "CET-1CEST,M3.5.0,M10.5.0/3", by its grammar.
bool isPosixZoneRule(const QString& rule);

// The zone a gathered machine names, from this machine's zone database: a zone name that
// isZoneFile() accepts, or a POSIX rule that names no file there. Anything else, a name sent by
// another machine included, is an unknown zone and opens nothing outside the zone folder.
std::optional<QTimeZone> zoneNamed(const QString& name);

}  // namespace qelto::wmi::lnx
