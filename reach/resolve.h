#pragma once

#include "deadline.h"

#include <QString>

#include <sys/socket.h>

#include <vector>

namespace qelto::reach {

// One address of a host, with the port to reach.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = 0;

    int port() const;
    void setPort(int port);
    // "192.0.2.1" or "2001:db8::1", without the port.
    QString text() const;
};

struct Resolution {
    enum class Status {
        Found,       // `addresses` holds at least one
        NoSuchName,  // the name service says the name does not exist
        Failed,      // the name service could not answer (temporary failure, no server)
        TimedOut,    // no answer before the deadline
    };
    Status status = Status::Failed;
    std::vector<Address> addresses;  // both families, in the resolver's order
};

// Looks `names` up at once, both address families, within `deadline` (an address literal at once,
// without asking anybody). The lookups run in the C library's own bounded pool; one still running
// at the deadline is left to it and reaped by a later call, never a thread of ours.
std::vector<Resolution> resolve(const std::vector<QString>& names, Deadline deadline);
Resolution resolve(const QString& name, Deadline deadline);

// The address literal `text` ("192.0.2.1", "::1"), or nothing.
bool parseLiteral(const QString& text, Address* address);

}  // namespace qelto::reach
