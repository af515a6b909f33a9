#pragma once

#include "record.h"
#include "rules.h"
#include "tree.h"

#include "wmi/connector.h"
#include "wmi/error.h"

#include <QLocale>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace qelto::scan {

// Everything one connection and one scan of a host leave behind.
struct HostScan {
    std::unique_ptr<wmi::Service> service;  // null when the connection failed
    std::optional<wmi::Error> error;        // the connection's failure; then nothing was scanned
    InventoryTree tree;
    ScanRecord record;
    std::vector<Problem> problems;  // queries and values that failed, and a full tree
    std::chrono::milliseconds connectTime{0}, scanTime{0};

    bool connected() const { return !error; }
};

// Connects to the host of the request. On the road with a user name and a password the new
// service is set to authentication level 6 (packet privacy). Throws wmi::Error.
std::unique_ptr<wmi::Service> connectHost(wmi::Connector& connector,
                                          const wmi::ConnectRequest& request);

// Connects and, when that succeeds, runs one scan into a tree and a record of its own, starting
// from `record` (whose 16 scanned fields the caller has already emptied). Never throws: a failed
// connection is in `error`, a failing query in `problems`. The window, qelto-cli and batch scans
// all go through here.
HostScan scanHost(wmi::Connector& connector, const wmi::ConnectRequest& request, ScanRecord record,
                  const QLocale& locale = QLocale::system());

// What the user is told about a failed connection: the two known numbers have their fixed
// messages, every other failure its own description.
QString connectionFailureText(const wmi::Error& error, const QString& host);

}  // namespace qelto::scan
