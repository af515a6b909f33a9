#pragma once

#include "service.h"

#include <QString>

#include <memory>

namespace qelto::wmi {

inline const QString kNamespace = QStringLiteral("root\\cimv2");

// How the window connects: with the credentials of the current login (the moniker
// "winmgmts:\\host\root\cimv2"), or through a locator's ConnectServer with a user name and
// a password.
enum class Road { CurrentLogin, Credentials };

struct ConnectRequest {
    QString host;  // already trimmed; "." and "" name the local machine
    Road road = Road::CurrentLogin;
    QString user;      // only on the credentials road, passed as typed
    QString password;  // idem
};

// Turns a connection request into a connected service. Every source of the program (a recorded
// snapshot, this machine, a Linux host over SSH, a Windows host over WS-Management) is reached
// through one of these; the window and qelto-cli only ever see this interface.
class Connector {
  public:
    virtual ~Connector() = default;
    // Throws Error with the number and description that the failed connection left.
    virtual std::unique_ptr<Service> connect(const ConnectRequest& request) = 0;
};

}  // namespace qelto::wmi
