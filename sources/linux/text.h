#pragma once

#include "wmi/variant.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

// Small helpers shared by the parsers: text cleaning, key=value files and WMI value forms.
namespace qelto::wmi::lnx {

// The first line of a sysfs/procfs value, without surrounding blanks; invalid UTF-8 is replaced.
QString firstLine(const QByteArray& bytes);

// A text value without surrounding blanks, or Null when nothing is left.
Variant textOrNull(const QString& text);

// An unsigned decimal or 0x-prefixed hex number at the start of the text (blanks skipped).
std::optional<quint64> toUnsigned(QStringView text, int base = 10);
std::optional<quint64> toUnsigned(const QByteArray& text, int base = 10);

// A 64-bit size written as WMI hands such values out: decimal text.
inline Variant uint64Text(quint64 v) {
    return Variant(QString::number(v));
}

// seconds since 1970 as a local WMI date-time "yyyymmddHHMMSS.ffffff+UUU", the offset from UTC
// given in seconds.
QString wmiDateTime(qint64 seconds, int microseconds, int offsetSeconds);

// Lines "KEY=value" of shell-style files (os-release, locale, udev "E:" lines with the prefix
// given): the value without its quotes, with \" \\ \$ \` escapes undone. Later keys win.
QHash<QString, QString> keyValues(const QByteArray& text, QStringView prefix = {});

// A MAC address as WMI shows it (upper case, colons); Null for empty or all-zero addresses and
// for anything that is not 6 (or 20, InfiniBand) colon-separated hex bytes.
Variant macAddress(const QString& text);

}  // namespace qelto::wmi::lnx
