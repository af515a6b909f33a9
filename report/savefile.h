#pragma once

#include <QByteArray>
#include <QString>

// Writing a file whole or not at all, for the report and for qelto-cli's output files.
namespace qelto::report {

// Writes `bytes` to `path`: into a new file in the same folder (created exclusively, never through
// a link), flushed to the disk, then renamed over `path`. A failure anywhere — a full disk, a
// size limit, a folder that cannot be written — removes the new file and leaves `path` as it was.
//
// `path` itself is refused when it is a symbolic link (its target is never written, and the link
// is not replaced either: someone else may have planted it) or anything but a regular file (a
// folder, a device, a pipe). A file that is replaced keeps its permission bits; a new one gets
// 0666 less the umask.
//
// Returns the reason in Chinese when it failed, and an empty text when the file was written.
QString replaceFile(const QString& path, const QByteArray& bytes);

}  // namespace qelto::report
