#pragma once

#include "connector.h"
#include "store.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <stdexcept>

namespace qelto::wmi {

// A snapshot file that cannot be taken as a whole (unreadable, not JSON, not an object of
// classes). The message is the user's, in Chinese, and names the line and column where it can.
class SnapshotError : public std::runtime_error {
  public:
    SnapshotError(const QString& message, int line = 0, int column = 0)
        : std::runtime_error(message.toStdString()),
          message_(message),
          line_(line),
          column_(column) {}
    const QString& message() const { return message_; }
    int line() const { return line_; }      // 1-based; 0 when not about a place in the text
    int column() const { return column_; }  // 1-based, counted in characters

  private:
    QString message_;
    int line_;
    int column_;
};

// Reads the snapshot format: a JSON object whose keys are class names (case-insensitive) and
// whose values are arrays of instances; an instance is an object of property -> value (null,
// text, integer, other number as a double, boolean, array); the string "#enumeration-error" in
// place of an instance makes advancing to it fail. Values of a wrong type are kept as unreadable
// properties. Throws SnapshotError for text that is not such a file.
std::shared_ptr<InstanceStore> readSnapshot(const QByteArray& json);
// Reads the file through readInputFile (a regular file of at most kMaxInputFileBytes); a file
// that cannot be read, or whose parsing runs out of memory, throws SnapshotError.
std::shared_ptr<InstanceStore> loadSnapshot(const QString& path);

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

// Writes a store back in the snapshot format (used by `qelto-cli dump`).
QByteArray writeSnapshot(const InstanceStore& store);

// Answers every connection from one snapshot, whatever the host and road.
class SnapshotConnector : public Connector {
  public:
    explicit SnapshotConnector(std::shared_ptr<const InstanceStore> store)
        : store_(std::move(store)) {}
    std::unique_ptr<Service> connect(const ConnectRequest& request) override;

  private:
    std::shared_ptr<const InstanceStore> store_;
};

}  // namespace qelto::wmi
