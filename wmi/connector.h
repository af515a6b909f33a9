#pragma once

#include "secret.h"
#include "service.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace qelto::wmi {

inline const QString kNamespace = QStringLiteral("root\\cimv2");

// How the window connects: with the credentials of the current login (the moniker
// "winmgmts:\\host\root\cimv2"), or through a locator's ConnectServer with a user name and
// a password.
enum class Road { CurrentLogin, Credentials };

using Clock = std::chrono::steady_clock;

// A host key that no known-hosts file knows yet, shown to the user before it is trusted.
struct HostKeyQuestion {
    QString host;         // as the user typed it
    QString address;      // host[:port] as the source's messages name it
    QString keyType;      // "ssh-ed25519", "ecdsa-sha2-nistp256", …
    QString fingerprint;  // "SHA256:…"
};

struct ConnectRequest {
    ConnectRequest() = default;
    ConnectRequest(QString host_, Road road_, QString user_ = {}, SharedSecret password_ = {})
        : host(std::move(host_)),
          road(road_),
          user(std::move(user_)),
          password(std::move(password_)) {}

    QString host;  // already trimmed; "." and "" name the local machine
    Road road = Road::CurrentLogin;
    QString user;           // only on the credentials road, passed as typed
    SharedSecret password;  // idem; never logged, stored or printed

    // Reaching the host (resolving its name, connecting, the server's first word) must be over
    // within `connectTimeout` from the moment connect() is called; logging in and the scan,
    // including gathering the machine's answers where a source does that up front, within
    // `timeout` from the moment the host was reached.
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds timeout{60000};

    // HTTPS: certificates to trust besides the system's (a PEM file), and the SHA-256 fingerprint
    // a host's certificate must have (hex, colons allowed), both optional.
    QString caFile;
    QString pinSha256;

    // Asked (possibly from a worker thread) when a host presents a key that no known-hosts file
    // knows: true trusts it and records it. Empty: unknown keys are refused.
    std::function<bool(const HostKeyQuestion&)> confirmNewHostKey;

    // Reach the host and log in, but gather nothing: the service then answers no class
    // (qelto-cli probe).
    bool loginOnly = false;

    // Told, a line at a time, how each candidate port of the host fared and what the server
    // offered (qelto-cli --verbose and probe). Never given anything secret.
    std::function<void(const QString&)> trace;
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
