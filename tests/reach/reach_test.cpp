// Reaching hosts across a veth into a namespace whose firewall drops or refuses ports, as a real
// network does (loopback refuses or accepts everything at once).

#include "support/nethosts.h"

#include "cli/batch.h"
#include "connect/connector.h"
#include "reach/race.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

namespace qelto::test {
namespace {

using namespace std::chrono_literals;

// A TCP server on address:port of the namespace it is made in: one that never accepts (the
// kernel completes the handshake, nobody speaks), or one that greets every client as an SSH
// server does.
class Server {
  public:
    Server(const QString& address, int port, bool greets, int backlog = 64) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        ::inet_pton(AF_INET, address.toLatin1().constData(), &a.sin_addr);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::listen(fd_, backlog) == 0;
        if (ok_ && greets) thread_ = std::thread([this] { greet(); });
    }
    ~Server() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int c : clients_) ::close(c);
        ::close(fd_);
    }
    bool ok() const { return ok_; }

  private:
    void greet() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            static const char banner[] = "SSH-2.0-OpenSSH_9.2 test\r\n";
            (void)!::write(c, banner, sizeof banner - 1);
            clients_.push_back(c);
        }
    }
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> clients_;
};

TEST(Reach, TheServedPortWinsWithoutWaitingForDroppedOnes) {
    NetHosts net;
    QELTO_SKIP_UNLESS_UP(net);
    // Each row is a host of its own; ports not listed are refused by the host (nothing listens).
    const struct {
        const char* name;
        const char* address;
        std::vector<int> listen, greet, dropped;
        int relayed;         // port 22 reached through a 20 ms relay, 0: none
        const char* winner;  // label, nullptr: nobody
        reach::Outcome ssh;  // what became of port 22
        bool takesTheLimit;  // the answer is only certain at the connect limit
    } rows[] = {
        {"HTTPS only",
         "198.18.8.10",
         {5986},
         {},
         {22, 5985},
         0,
         "HTTPS",
         reach::Outcome::Abandoned,
         false},
        {"HTTP only, SSH refused",
         "198.18.8.11",
         {5985},
         {},
         {},
         0,
         "HTTP",
         reach::Outcome::Refused,
         false},
        {"Windows with SSH too",
         "198.18.8.12",
         {5985, 5986},
         {22},
         {},
         0,
         "HTTPS",
         reach::Outcome::Abandoned,
         false},
        {"Linux, WS-Management dropped",
         "198.18.8.13",
         {},
         {22},
         {5985, 5986},
         0,
         "SSH",
         reach::Outcome::Answered,
         false},
        {"Linux at 20 ms",
         "198.18.8.16",
         {},
         {},
         {5985, 5986},
         22,
         "SSH",
         reach::Outcome::Answered,
         false},
        {"everything dropped",
         "198.18.8.14",
         {},
         {},
         {22, 135, 5985, 5986},
         0,
         nullptr,
         reach::Outcome::NoAnswer,
         true},
        {"accepts and never speaks",
         "198.18.8.15",
         {22},
         {},
         {5985, 5986},
         0,
         nullptr,
         reach::Outcome::Silent,
         true},
    };
    std::vector<std::unique_ptr<Server>> servers;
    {
        NetHosts::Inside inside(net, 'h');
        ASSERT_TRUE(inside.ok());
        for (const auto& row : rows) {
            const QString address = QString::fromLatin1(row.address);
            for (int port : row.listen)
                servers.push_back(std::make_unique<Server>(address, port, false));
            for (int port : row.greet)
                servers.push_back(std::make_unique<Server>(address, port, true));
        }
        servers.push_back(std::make_unique<Server>(QStringLiteral("127.0.0.1"), 2222, true));
        for (const auto& s : servers) ASSERT_TRUE(s->ok());
    }
    for (const auto& row : rows) {
        const QString address = QString::fromLatin1(row.address);
        for (int port : row.dropped) ASSERT_TRUE(net.drop(address, port));
        if (row.relayed) {
            ASSERT_TRUE(net.relay(address, row.relayed, 2222, 20));
        }
    }

    connect::SourceConnector connector;
    NetHosts::Inside inside(net, 'c');
    ASSERT_TRUE(inside.ok());
    constexpr auto limit = 1500ms;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString text = QString::fromLatin1(row.address);
        const auto host = wmi::parseHostText(text);
        QElapsedTimer clock;
        clock.start();
        const reach::Report r = reach::reachHost(host->host, connector.candidates(*host, text),
                                                 reach::Deadline::in(limit));
        const qint64 took = clock.elapsed();
        ASSERT_EQ(r.winner.has_value(), row.winner != nullptr);
        if (row.winner) {
            EXPECT_EQ(r.candidates[r.winner->candidate].label.toStdString(), row.winner);
        }
        for (const reach::Attempt& a : r.attempts) {
            if (r.candidates[a.candidate].port == 22) {
                EXPECT_EQ(a.outcome, row.ssh);
            }
        }
        if (row.takesTheLimit) {
            EXPECT_GE(took, 1400);
            EXPECT_LT(took, 2000);  // the limit, not later
        } else {
            EXPECT_LT(took, 500);  // the round trips it needs, not the limit
        }
    }

    // The batch's look at a /28 of them: only the hosts where nothing answered are silent.
    QStringList batch;
    for (int i = 1; i <= 14; ++i) batch << QStringLiteral("198.18.8.%1").arg(i + 2);
    ASSERT_TRUE(net.drop(QStringLiteral("198.18.8.3/32"), 22));  // dropped only in part
    for (int port : {22, 135, 5985, 5986})
        ASSERT_TRUE(net.drop(QStringLiteral("198.18.8.9"), port));
    QElapsedTimer clock;
    clock.start();
    const QSet<QString> silent = cli::batch::silentHosts(batch, connector, 1000ms);
    EXPECT_LT(clock.elapsed(), 1600);
    EXPECT_EQ(silent, (QSet<QString>{QStringLiteral("198.18.8.9"), QStringLiteral("198.18.8.14")}));
    // With fewer sockets than attempts, hosts whose ports never got one are not called silent.
    const QSet<QString> few = cli::batch::silentHosts(batch, connector, 500ms, 4);
    EXPECT_FALSE(few.contains(QStringLiteral("198.18.8.13")));
}

// A batch of 1,022 hosts at --jobs 256 with a soft limit of 1,024 open files: every host's three
// ports are raced at once, the scans hold their sockets for the whole connect limit, and nothing
// runs out of descriptors. Port 22 of every host accepts and never speaks; 5985 and 5986 drop.
TEST(Reach, AThousandHostsAtOnceFitTheDescriptors) {
    NetHosts net;
    QELTO_SKIP_UNLESS_UP(net);
    std::unique_ptr<Server> mute;
    {
        NetHosts::Inside inside(net, 'h');
        ASSERT_TRUE(inside.ok());
        mute = std::make_unique<Server>(QStringLiteral("0.0.0.0"), 22, false, 4096);
        ASSERT_TRUE(mute->ok());
    }
    for (int port : {5985, 5986}) ASSERT_TRUE(net.drop(QStringLiteral("198.18.12.0/22"), port));
    const QStringList args = net.exec(
        'c', {QStringLiteral("bash"), QStringLiteral("-c"),
              QStringLiteral("ulimit -Sn 1024 && ulimit -Hn 8192 && exec \"$0\" \"$@\""),
              QStringLiteral(QELTO_CLI), QStringLiteral("scan"), QStringLiteral("198.18.12.0/22"),
              QStringLiteral("--jobs"), QStringLiteral("256"), QStringLiteral("--connect-timeout"),
              QStringLiteral("1"), QStringLiteral("--json")});
    QProcess p;
    p.start(args.first(), args.mid(1));
    ASSERT_TRUE(p.waitForFinished(120000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 1) << err.toStdString();
    EXPECT_EQ(out.count(QStringLiteral("不存在或没有开机")), 1022) << err.left(2000).toStdString();
    EXPECT_FALSE(err.contains(QStringLiteral("Too many open files")));
    EXPECT_FALSE(out.contains(QStringLiteral("Too many open files")));
}

}  // namespace
}  // namespace qelto::test
