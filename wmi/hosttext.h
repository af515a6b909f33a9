#pragma once

#include <QString>

#include <optional>

namespace qelto::wmi {

// A host as the user typed it, taken apart:
//   "", ".", "localhost", "127.0.0.1", "::1", this machine's name   -> this machine
//   ssh://[user@]host[:port], user@host[:port]                      -> a Linux host over SSH
//   https://host[:port][/path], http://host[:port][/path]            -> WS-Management
//   host, host:port, [v6addr]:port, v6addr                           -> probed
struct HostText {
    QString scheme;  // "ssh", "https", "http", "dcom", or empty for a bare host
    QString user;    // from "user@", empty when not given
    QString host;    // name or address, without the brackets of an IPv6 address
    int port = 0;    // 0 when not given
    QString path;    // what follows the authority of an http(s) text, empty when none

    bool isBare() const { return scheme.isEmpty(); }
    // host, or [host] for an IPv6 address, with ":port" when a port was given.
    QString authority() const;
};

// Takes a host text apart; nullopt (with a Chinese reason in `why`) when it is malformed.
std::optional<HostText> parseHostText(const QString& text, QString* why = nullptr);

}  // namespace qelto::wmi
