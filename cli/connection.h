#pragma once

#include "common/options.h"
#include "scan/host.h"
#include "wmi/connector.h"

#include <QString>
#include <QStringList>

#include <optional>

// How qelto-cli's scan and dump reach a host: the host text, the user and where the password
// comes from, host keys and time limits. Both commands take the same options.
namespace qelto::cli {

struct ConnectionOptions {
    QString host;
    QString user;
    std::optional<wmi::SharedSecret> password;  // --password (warned about) or --password-file
    bool acceptNewHostKey = false;
    QString caFile;     // --ca-file, else QELTO_CA_FILE
    QString pinSha256;  // --pin-sha256
    int timeoutSeconds = 60;
    int connectTimeoutSeconds = 5;
};

// These options, after the line "主机可以是…" in the help text (or read but not described).
common::Section connectionSection(bool inHelp = true);

// Takes these options from what was read, in the order given: the password file is read here.
// false, with `problem`, when it cannot be.
bool takeConnectionOptions(const common::ParsedLine& parsed, ConnectionOptions& options,
                           QString& problem);

// The request: the credentials road when a user is given; the password from --password or
// --password-file, else the environment variable QELTO_PASSWORD (taken out of the environment),
// else asked without echo when standard input is a terminal. nullopt (with `problem`) when no
// password can be had.
std::optional<wmi::ConnectRequest> makeRequest(const ConnectionOptions& options, QString& problem);
// What every request of these options shares, whoever logs in: the limits, the extra CA (or
// QELTO_CA_FILE) and the pinned certificate. No host, no login, no host-key policy.
wmi::ConnectRequest requestBase(const ConnectionOptions& options);

// Connects, telling on stderr why it failed (nothing on stdout); nullptr then.
std::unique_ptr<wmi::Service> connectOrReport(wmi::Connector& connector,
                                              const wmi::ConnectRequest& request);
// The failure line for a connection that failed; with `verbose`, also the failure's own
// description and a hint at the usual causes.
void reportConnectFailure(const wmi::Error& error, const QString& host, bool verbose = false);
// A hint at what usually causes such a failure and what to do, for the road and port that the
// host text names (every road for a bare host), or an empty text.
QString failureHint(const wmi::Error& error, const QString& hostText);
// Prints each line the connection traces (how each candidate port fared) on stderr.
void traceOnStderr(wmi::ConnectRequest& request);

}  // namespace qelto::cli
