#pragma once

// The pieces of the SSH source, one file each: where to connect (session.cpp), the TCP
// connection (socket.cpp), the host key (hostkey.cpp), logging in (auth.cpp) and the one exec
// that gathers the machine (exec.cpp). All of them throw wmi::Error with a Chinese description.

#include "config.h"

#include "wmi/connector.h"
#include "wmi/hosttext.h"
#include "wmi/service.h"

#include <QByteArray>
#include <QString>

#include <libssh/libssh.h>

#include <chrono>
#include <memory>

namespace qelto::wmi::ssh {

using Milliseconds = std::chrono::milliseconds;

// What is left of a time limit, at least 1 ms so that libssh never takes it for "no limit".
Milliseconds remaining(Clock::time_point deadline);
bool passed(Clock::time_point deadline);
// Whether a libssh call that failed ran into `deadline`. libssh counts its limits in whole
// milliseconds of its own clock readings and may give up a moment early.
bool ranOut(Clock::time_point deadline);

struct SessionFree {
    void operator()(ssh_session s) const;
};
using Session = std::unique_ptr<ssh_session_struct, SessionFree>;

// A socket handed to libssh, which never closes one it did not open itself. Declared before the
// session that uses it, so that it is closed after the session is gone.
class OwnedSocket {
  public:
    OwnedSocket() = default;
    ~OwnedSocket();
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    int fd = -1;
};

// Where a connection goes and as whom, once ~/.ssh/config has had its say.
struct Target {
    QString shown;     // the host as messages name it: host[:port] as typed
    QString hostName;  // the name or address to reach (HostName of the configuration)
    int port = 22;
    QString user;
    // How known_hosts records the host: "name", or "[name]:port" on another port than 22.
    QString knownHostsAddress() const;
};

// A session for `host` with every file of the user taken from $HOME: ~/.ssh/config (HostName,
// Port, User, IdentityFile…), the default identities and known_hosts. A port or user in the host
// text and an explicit `user` win over the configuration. Nothing is connected yet.
Session newSession(const HostText& host, const QString& user, Target* target);

// Bounds libssh's blocking calls on the session by `deadline`.
void limitTo(ssh_session session, Clock::time_point deadline);

// Checks the server's key against the known-hosts files; an unknown key is trusted (and
// recorded in ~/.ssh/known_hosts) only when the request's callback says so. Throws Error.
// Returns the time the question to the user took, which the time limits do not count.
Clock::duration checkHostKey(ssh_session session, const Target& target,
                             const ConnectRequest& request);

// Logs in on the road of the request. Throws Error (AccessDenied when every method is refused).
void authenticate(ssh_session session, const Target& target, const ConnectRequest& request,
                  Clock::time_point deadline);

// The largest answer accepted from a host.
inline constexpr qsizetype kOutputCap = 64 * 1024 * 1024;

// What one exec brought back.
struct ExecResult {
    QByteArray out;
    QByteArray errTail;  // the last few KB of the standard error
};

// Runs `command`, feeds it `input`, and reads its standard output to the end. Throws Error when
// the output grows past `cap`, or past what `share` can take of its budget, or the deadline
// passes (`limit` is the time limit for messages).
ExecResult runCommand(ssh_session session, const Target& target, const char* command,
                      const QByteArray& input, Clock::time_point deadline, Milliseconds limit,
                      qsizetype cap = kOutputCap, BudgetShare* share = nullptr);

// The machine's answers from one gathering over the session; the answer is taken out of
// `budget` (when given) until the machine's answers are made from it.
std::unique_ptr<Service> gatherMachine(ssh_session session, const Target& target,
                                       Clock::time_point deadline, Milliseconds limit,
                                       std::shared_ptr<AnswerBudget> budget = nullptr);

}  // namespace qelto::wmi::ssh
