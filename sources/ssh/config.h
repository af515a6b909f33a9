#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Where ~/.ssh/config sends a host, read without the SSH library: the HostName and the Port, as
// the library takes them (the first value wins, in the Host and Match blocks that apply, through
// Include). Only what reaching the host needs; the rest of the file is the library's, once the
// host has answered.
namespace qelto::wmi::ssh {

struct ConfiguredEndpoint {
    QString hostName;  // the name or address to reach: the HostName, else the host itself
    int port = 0;      // the Port, 0 when the configuration gives none
};

// What reading a configuration needs from outside: its included files and who runs it.
struct ConfigContext {
    QString sshFolder;  // relative Include paths are relative to it
    QString home;       // "~/" in the user's own file ($HOME)
    QString localUser;  // for Match localuser
    // The text of a file, nullopt when there is none.
    std::function<std::optional<QByteArray>(const QString& path)> read;
    // The paths a pattern of Include names, sorted.
    std::function<QStringList(const QString& pattern)> glob;
};

// $HOME, or the home folder of the password database when HOME is not set.
QString homeFolder();
// The name of the user this program runs as.
QString localUserName();

// Reads the configuration `text` for `host`. nullopt when it cannot tell the answer without the
// library: Match exec, an unknown Match criterion, a HostName or Port that the library would
// take in a way of its own.
std::optional<ConfiguredEndpoint> readConfig(QByteArrayView text, const QString& host,
                                             const ConfigContext& context);

// The same for the user's ~/.ssh/config ($HOME), and an endpoint without configuration when
// there is none.
std::optional<ConfiguredEndpoint> configuredEndpoint(const QString& host);

}  // namespace qelto::wmi::ssh
