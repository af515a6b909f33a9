#pragma once

#include "wmi/connector.h"

#include <QString>

namespace qelto::wmi::lnx {

// True for the names of this machine: "", ".", "localhost", "127.0.0.1", "::1" and its own host
// name (with or without its domain), compared without regard to case.
bool isThisMachine(const QString& host);

// Answers a connection to this machine from a fresh gathering of it (or of a recorded machine's
// folder given as `root`). The credentials road fails as it does for a local connection on
// Windows: credentials cannot be used for a local connection.
class LocalConnector : public Connector {
  public:
    explicit LocalConnector(QString root = QStringLiteral("/")) : root_(std::move(root)) {}
    std::unique_ptr<Service> connect(const ConnectRequest& request) override;

  private:
    QString root_;
};

}  // namespace qelto::wmi::lnx
