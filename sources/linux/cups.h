#pragma once

#include <QByteArray>

namespace qelto::wmi::lnx {

// The answer of the "printers" probe on this machine: the print queues the scheduler knows at
// this moment, asked as any user may ask it (the scheduler writes its own files late, and only
// root may read them). One line per queue, "device for <queue>: <device URI>", as `lpstat -v`
// prints it under the C locale, which the remote gatherer runs. Asked only on the scheduler's
// local socket (CUPS_SERVER or the ServerName of client.conf when they name one, else
// /run/cups/cups.sock), never over the network. Empty without that socket, or when the scheduler
// does not answer within a few seconds.
QByteArray schedulerQueues();

}  // namespace qelto::wmi::lnx
