#pragma once

// Files and their errors, as every layer reads and names them.

#include <QByteArray>
#include <QString>

#include <optional>

namespace qelto::common {

// Files that the user names on a command line (snapshots, lists of people) are read whole, so
// only regular files are taken (a pipe or a device could block or never end) and only up to
// this size, checked before reading. A recorded machine takes well under 1 MiB.
inline constexpr qint64 kMaxInputFileBytes = qint64(64) * 1024 * 1024;

// What a failed system call's error number means, for a message: in Chinese for the errors that
// a user can do something about (a missing folder or file, no permission, a full disk, a
// read-only file system, a file that exists already), the system's own text for the rest.
QString systemErrorText(int error);

// Reads the whole of the regular file `path`, of at most `limit` bytes. nullopt, with the reason
// in Chinese in `reason`, when it is missing, not a regular file, too large or unreadable, or
// when memory runs out.
std::optional<QByteArray> readInputFile(const QString& path, qint64 limit, QString& reason);

// File names as Linux keeps them: bytes, usually but not always UTF-8. fileNameFromNative takes
// every byte that is not part of a valid UTF-8 sequence as the lone surrogate U+DC00 + byte, and
// nativeFileName turns those back, so a name from the command line reaches the file system
// exactly as it was typed (Qt's own conversion would replace such bytes with U+FFFD).
QString fileNameFromNative(const QByteArray& name);
QByteArray nativeFileName(const QString& name);

}  // namespace qelto::common
