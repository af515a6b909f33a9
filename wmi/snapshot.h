#pragma once

#include "common/files.h"
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
// Reads the file through common::readInputFile (a regular file of at most kMaxInputFileBytes); a
// file that cannot be read, or whose parsing runs out of memory, throws SnapshotError.
std::shared_ptr<InstanceStore> loadSnapshot(const QString& path);

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
