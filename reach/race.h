#pragma once

#include "deadline.h"
#include "resolve.h"

#include <QString>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

// Reaching a host: every candidate port of every source that may serve it, on every address of
// its name, opened at once in one poll loop; the most preferred candidate that answers wins, the
// others are closed, and the winner's connected socket goes to its source. A refused port is
// known at once; only a dropped one costs time, and only while it is preferred to one that
// answered. See docs/reach.md.
namespace qelto::reach {

// One port a source may be served on.
struct Candidate {
    QString source;  // the source that serves it ("wsman", "ssh")
    QString name;    // the name or address to reach when it is not the host's own (SSH's HostName)
    QString label;   // what listens there, for messages ("HTTPS", "HTTP", "SSH")
    int port = 0;
    int rank = 0;  // lower is preferred
    // The server speaks first (SSH's version line): it has answered only when it has said
    // something, which is looked at without being taken from the socket.
    bool speaksFirst = false;
};

// What became of one attempt (a candidate on one address).
enum class Outcome {
    Answered,     // connected (and spoke, where the server speaks first)
    Refused,      // the port is closed: refused at once
    NoAnswer,     // nothing came back within the limit (dropped)
    Silent,       // connected, but said nothing within the limit
    Closed,       // connected, then closed or reset before it said anything
    Unreachable,  // no route to the host or its network
    Failed,       // another error of the socket (see `error`)
    Abandoned,    // another candidate won while this one was still under way
};

struct Attempt {
    std::size_t candidate = 0;  // index into the candidates raced
    Address address;            // with the candidate's port
    Outcome outcome = Outcome::NoAnswer;
    int error = 0;  // errno of a failed attempt
    Milliseconds took{0};
};

// A connected socket, closed when dropped unless released.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();
    int fd() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// The candidate that won, its socket (blocking again), and when the host was reached.
struct Winner {
    Socket socket;
    std::size_t candidate = 0;
    Address address;
    Clock::time_point reached;
};

// What reaching one host found out: the name's resolution, every attempt, and the winner if any.
struct Report {
    QString host;
    Resolution::Status resolution = Resolution::Status::Failed;
    std::vector<Candidate> candidates;
    std::vector<Attempt> attempts;
    std::optional<Winner> winner;
    // Some attempts never started: the descriptors allowed for the race were all in use until the
    // deadline. Then silence proves nothing.
    bool untried = false;

    // Whether anything at all answered on the network (a refusal included): the host is there.
    bool anythingAnswered() const;
};

struct Options {
    // Wait for the winner only as long as the candidates need; false: stop at the first sign of
    // life (an accepted or refused connection), for the batch's look at which hosts are there.
    bool pickWinner = true;
    // The most sockets open at once across all hosts (the rest wait their turn).
    std::size_t mostOpen = 512;
};

// Reaches `host` (a name or an address literal) on `candidates` within `deadline`.
Report reachHost(const QString& host, std::span<const Candidate> candidates, Deadline deadline,
                 const Options& options = {});

// The same for many hosts at once, one report per host in their order.
struct Target {
    QString host;
    std::vector<Candidate> candidates;
};
std::vector<Report> reachHosts(std::span<const Target> targets, Deadline deadline,
                               const Options& options = {});

// A line per attempt for --verbose and `probe`, in Chinese: "5986（HTTPS）192.0.2.1：连接被拒绝".
QString describe(const Attempt& attempt, const Candidate& candidate);
QString describe(Outcome outcome, int error);

}  // namespace qelto::reach
