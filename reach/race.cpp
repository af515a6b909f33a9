// The race of candidates: one poll loop over every attempt of every host.

#include "race.h"

#include "common/files.h"

#include <QHash>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qelto::reach {

namespace {

// A port preferred to one that answered is waited for only as long as the same host took to
// accept a connection, twice over, and a little more: a SYN that the host has not answered in
// that time was dropped, not delayed (RFC 8305's connection attempt delay, measured, not fixed).
Clock::duration graceFor(Clock::duration roundTrip) {
    return 2 * roundTrip + Milliseconds(25);
}

enum class State { Queued, Connecting, Listening, Done };

struct Try {
    std::size_t host = 0;
    std::size_t candidate = 0;
    Address address;
    int fd = -1;
    State state = State::Queued;
    Outcome outcome = Outcome::NoAnswer;
    int error = 0;
    Clock::time_point started, connected, done;
};

struct HostState {
    std::vector<std::size_t> tries;
    bool decided = false;
    std::optional<Clock::duration> roundTrip;  // the quickest accepted connection
};

Outcome outcomeOf(int error) {
    switch (error) {
        case ECONNREFUSED:
            return Outcome::Refused;
        case ETIMEDOUT:
            return Outcome::NoAnswer;
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
        case ENETDOWN:
            return Outcome::Unreachable;
        case ECONNRESET:
        case EPIPE:
            return Outcome::Closed;
        default:
            return Outcome::Failed;
    }
}

class Race {
  public:
    Race(std::span<const Target> targets, Deadline deadline, const Options& options)
        : targets_(targets), deadline_(deadline), options_(options) {}

    std::vector<Report> run() {
        // Every name once, all at once.
        const auto nameOf = [](const Target& t, const Candidate& c) {
            return c.name.isEmpty() ? t.host : c.name;
        };
        std::vector<QString> names;
        QHash<QString, std::size_t> index;
        for (const Target& t : targets_)
            for (const Candidate& c : t.candidates)
                if (!index.contains(nameOf(t, c))) {
                    index.insert(nameOf(t, c), names.size());
                    names.push_back(nameOf(t, c));
                }
        const std::vector<Resolution> resolved = resolve(names, deadline_);
        hosts_.resize(targets_.size());
        reports_.resize(targets_.size());
        for (std::size_t h = 0; h < targets_.size(); ++h) {
            reports_[h].host = targets_[h].host;
            reports_[h].candidates = targets_[h].candidates;
            // Found when any name of the host was; else what the names said, the least hopeless.
            Resolution::Status status = Resolution::Status::NoSuchName;
            for (const Candidate& c : targets_[h].candidates) {
                const Resolution::Status s = resolved[index.value(nameOf(targets_[h], c))].status;
                if (s == Resolution::Status::Found || status == Resolution::Status::NoSuchName)
                    status = s;
            }
            reports_[h].resolution = status;
            if (status != Resolution::Status::Found) {
                hosts_[h].decided = true;
                continue;
            }
            // Most preferred candidates first, each on every address.
            std::vector<std::size_t> order(targets_[h].candidates.size());
            for (std::size_t c = 0; c < order.size(); ++c) order[c] = c;
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return targets_[h].candidates[a].rank < targets_[h].candidates[b].rank;
            });
            for (std::size_t c : order)
                for (const Address& a :
                     resolved[index.value(nameOf(targets_[h], targets_[h].candidates[c]))]
                         .addresses) {
                    Try t;
                    t.host = h;
                    t.candidate = c;
                    t.address = a;
                    t.address.setPort(targets_[h].candidates[c].port);
                    hosts_[h].tries.push_back(tries_.size());
                    tries_.push_back(t);
                }
        }
        loop();
        for (std::size_t h = 0; h < hosts_.size(); ++h)
            for (std::size_t i : hosts_[h].tries) {
                const Try& t = tries_[i];
                if (t.started == Clock::time_point{}) {
                    // Never started: out of descriptors until the deadline, or not needed.
                    if (t.outcome != Outcome::Abandoned) reports_[h].untried = true;
                    continue;
                }
                Attempt a;
                a.candidate = t.candidate;
                a.address = t.address;
                a.outcome = t.outcome;
                a.error = t.error;
                a.took = std::chrono::duration_cast<Milliseconds>(
                    (t.done == Clock::time_point{} ? Clock::now() : t.done) - t.started);
                reports_[h].attempts.push_back(a);
            }
        return std::move(reports_);
    }

    ~Race() {
        for (Try& t : tries_)
            if (t.fd >= 0) ::close(t.fd);
    }

  private:
    const Candidate& candidateOf(const Try& t) const {
        return targets_[t.host].candidates[t.candidate];
    }

    void finish(Try& t, Outcome outcome, int error = 0) {
        if (t.fd >= 0) {
            ::close(t.fd);
            --open_;
        }
        t.fd = -1;
        t.state = State::Done;
        t.outcome = outcome;
        t.error = error;
        t.done = Clock::now();
    }

    void connected(Try& t) {
        t.connected = Clock::now();
        auto& rtt = hosts_[t.host].roundTrip;
        const auto took = t.connected - t.started;
        if (!rtt || took < *rtt) rtt = took;
        if (candidateOf(t).speaksFirst && options_.pickWinner) {
            t.state = State::Listening;
            return;
        }
        answered(t);
    }

    void answered(Try& t) {
        t.state = State::Done;
        t.outcome = Outcome::Answered;
        t.done = Clock::now();
    }

    // Opens the socket of a queued try. False when no descriptor is left (it stays queued).
    bool start(Try& t) {
        const int fd = ::socket(t.address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) return false;
            t.started = Clock::now();
            finish(t, Outcome::Failed, errno);
            return true;
        }
        t.fd = fd;
        t.started = Clock::now();
        ++open_;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&t.address.storage),
                      t.address.length) == 0) {
            connected(t);
        } else if (errno == EINPROGRESS) {
            t.state = State::Connecting;
        } else {
            const int e = errno;
            finish(t, outcomeOf(e), e);
        }
        return true;
    }

    // Decides a host when its answer is certain; returns when it should be looked at again.
    Clock::time_point decide(std::size_t h) {
        HostState& host = hosts_[h];
        const Clock::time_point never = Clock::time_point::max();
        if (host.decided) return never;
        const auto now = Clock::now();
        const Try* best = nullptr;
        bool underWay = false;
        for (std::size_t i : host.tries) {
            const Try& t = tries_[i];
            if (t.state != State::Done) underWay = true;
            if (!options_.pickWinner && t.state == State::Done &&
                (t.outcome == Outcome::Answered || t.outcome == Outcome::Refused)) {
                settle(h, nullptr);
                return never;
            }
            if (t.state == State::Done && t.outcome == Outcome::Answered &&
                (!best || candidateOf(t).rank < candidateOf(*best).rank))
                best = &t;
        }
        if (!best) {
            if (!underWay) settle(h, nullptr);
            return never;
        }
        // Candidates preferred to the best answer still under way: waited for within the grace.
        Clock::time_point wake = never;
        const Clock::duration grace = graceFor(host.roundTrip.value_or(Clock::duration::zero()));
        for (std::size_t i : host.tries) {
            Try& t = tries_[i];
            if (t.state == State::Done || candidateOf(t).rank >= candidateOf(*best).rank) continue;
            const Clock::time_point giveUp =
                t.state == State::Listening ? t.connected + 2 * grace : t.started + grace;
            if (t.state == State::Queued || now < giveUp) {
                wake = std::min(wake, t.state == State::Queued ? now + grace : giveUp);
                continue;
            }
            finish(t, t.state == State::Listening ? Outcome::Silent : Outcome::NoAnswer);
        }
        if (wake != never) return wake;
        settle(h, best);
        return never;
    }

    // Ends the race of host `h`: `best` wins (if any), every other attempt is closed.
    void settle(std::size_t h, const Try* best) {
        HostState& host = hosts_[h];
        host.decided = true;
        for (std::size_t i : host.tries) {
            Try& t = tries_[i];
            if (&t == best) continue;
            if (t.state == State::Done) {
                if (t.fd >= 0) finish(t, t.outcome, t.error);  // an answer that lost
                continue;
            }
            if (t.state == State::Queued) {
                t.outcome = Outcome::Abandoned;
                continue;
            }
            finish(t, Outcome::Abandoned);
        }
        if (!best) return;
        Try& won = tries_[std::size_t(best - tries_.data())];
        Winner w;
        w.socket = Socket(won.fd);
        won.fd = -1;
        --open_;
        w.candidate = won.candidate;
        w.address = won.address;
        w.reached = Clock::now();
        reports_[h].winner = std::move(w);
    }

    void timeUp() {
        for (Try& t : tries_) {
            if (hosts_[t.host].decided) continue;
            if (t.state == State::Connecting) finish(t, Outcome::NoAnswer, ETIMEDOUT);
            if (t.state == State::Listening) finish(t, Outcome::Silent);
            if (t.state == State::Queued) t.outcome = Outcome::NoAnswer, t.state = State::Done;
        }
        for (std::size_t h = 0; h < hosts_.size(); ++h) decide(h);
    }

    void loop() {
        std::size_t nextQueued = 0;
        std::size_t mostOpen = std::max<std::size_t>(options_.mostOpen, 1);
        for (;;) {
            // Start what the descriptors allow, in order.
            for (; nextQueued < tries_.size() && open_ < mostOpen; ++nextQueued) {
                Try& t = tries_[nextQueued];
                if (hosts_[t.host].decided || t.state != State::Queued) continue;
                if (!start(t)) {
                    mostOpen = std::max<std::size_t>(open_, 1);
                    break;
                }
            }
            Clock::time_point wake = deadline_.at();
            bool open = false;
            for (std::size_t h = 0; h < hosts_.size(); ++h) {
                wake = std::min(wake, decide(h));
                open = open || !hosts_[h].decided;
            }
            if (!open) return;
            if (deadline_.passed()) {
                timeUp();
                return;
            }
            std::vector<pollfd> fds;
            std::vector<std::size_t> which;
            for (std::size_t i = 0; i < tries_.size(); ++i) {
                const Try& t = tries_[i];
                if (t.fd < 0 || hosts_[t.host].decided) continue;
                if (t.state == State::Connecting)
                    fds.push_back({t.fd, POLLOUT, 0});
                else if (t.state == State::Listening)
                    fds.push_back({t.fd, POLLIN, 0});
                else
                    continue;
                which.push_back(i);
            }
            const int timeout = Deadline(wake).pollTimeout(1000);
            const int n = ::poll(fds.data(), fds.size(), timeout);
            if (n < 0 && errno != EINTR) {
                timeUp();
                return;
            }
            for (std::size_t k = 0; n > 0 && k < fds.size(); ++k) {
                if (!fds[k].revents) continue;
                Try& t = tries_[which[k]];
                if (t.state == State::Connecting) {
                    int error = 0;
                    socklen_t size = sizeof error;
                    ::getsockopt(t.fd, SOL_SOCKET, SO_ERROR, &error, &size);
                    if (error == 0 && (fds[k].revents & (POLLERR | POLLHUP)) == 0)
                        connected(t);
                    else
                        finish(t, outcomeOf(error ? error : ECONNRESET), error);
                } else {
                    // The server's first words are looked at, not taken: its source reads them.
                    char c = 0;
                    const ssize_t got = ::recv(t.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
                    if (got > 0)
                        answered(t);
                    else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                        finish(t, Outcome::Closed, got == 0 ? 0 : errno);
                }
            }
        }
    }

    std::span<const Target> targets_;
    Deadline deadline_;
    Options options_;
    std::vector<HostState> hosts_;
    std::vector<Try> tries_;
    std::vector<Report> reports_;
    std::size_t open_ = 0;
};

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Socket::~Socket() {
    if (fd_ >= 0) ::close(fd_);
}

bool Report::anythingAnswered() const {
    return winner || std::ranges::any_of(attempts, [](const Attempt& a) {
               return a.outcome == Outcome::Answered || a.outcome == Outcome::Refused ||
                      a.outcome == Outcome::Silent || a.outcome == Outcome::Closed;
           });
}

std::vector<Report> reachHosts(std::span<const Target> targets, Deadline deadline,
                               const Options& options) {
    return Race(targets, deadline, options).run();
}

Report reachHost(const QString& host, std::span<const Candidate> candidates, Deadline deadline,
                 const Options& options) {
    const Target target{host, std::vector<Candidate>(candidates.begin(), candidates.end())};
    return std::move(reachHosts(std::span<const Target>(&target, 1), deadline, options).front());
}

QString describe(Outcome outcome, int error) {
    switch (outcome) {
        case Outcome::Answered:
            return QStringLiteral("有应答");
        case Outcome::Refused:
            return QStringLiteral("连接被拒绝（这个端口上没有服务）");
        case Outcome::NoAnswer:
            return QStringLiteral("在时限内没有应答（可能被防火墙丢弃）");
        case Outcome::Silent:
            return QStringLiteral("接受了连接，但在时限内没有说话");
        case Outcome::Closed:
            return QStringLiteral("接受了连接，随即关闭或重置");
        case Outcome::Unreachable:
            return QStringLiteral("网络或主机不可达");
        case Outcome::Failed:
            return QStringLiteral("网络错误：%1").arg(common::systemErrorText(error));
        case Outcome::Abandoned:
            return QStringLiteral("没有等到结果（已选用更优先的端口）");
    }
    return {};
}

QString describe(const Attempt& attempt, const Candidate& candidate) {
    const QString where = attempt.address.family == AF_INET6 ? u'[' + attempt.address.text() + u']'
                                                             : attempt.address.text();
    return QStringLiteral("%1:%2（%3）：%4，%5 毫秒")
        .arg(where)
        .arg(candidate.port)
        .arg(candidate.label, describe(attempt.outcome, attempt.error))
        .arg(attempt.took.count());
}

}  // namespace qelto::reach
