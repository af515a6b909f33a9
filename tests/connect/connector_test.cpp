// Host texts and the choosing policy: which source a host text reaches, with sources that only
// note what they were asked (no traffic leaves the test).

#include "connect/connector.h"
#include "wmi/error.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace qelto::test {
namespace {

using namespace std::chrono_literals;

TEST(HostText, Forms) {
    struct Row {
        const char* text;
        const char* scheme;
        const char* user;
        const char* host;
        int port;
        const char* authority;
    } rows[] = {
        {"db1", "", "", "db1", 0, "db1"},
        {"db1.corp.example:2222", "", "", "db1.corp.example", 2222, "db1.corp.example:2222"},
        {"10.0.0.5", "", "", "10.0.0.5", 0, "10.0.0.5"},
        {"fe80::1%eth0", "", "", "fe80::1%eth0", 0, "[fe80::1%eth0]"},
        {"[::1]:22", "", "", "::1", 22, "[::1]:22"},
        {"ssh://admin@db1.corp.example:2222", "ssh", "admin", "db1.corp.example", 2222,
         "db1.corp.example:2222"},
        {"SSH://root@[2001:db8::7]", "ssh", "root", "2001:db8::7", 0, "[2001:db8::7]"},
        {"ssh://a@b@host", "ssh", "a@b", "host", 0, "host"},
        {"https://win7:5986/wsman", "https", "", "win7", 5986, "win7:5986"},
        {"http://win7", "http", "", "win7", 0, "win7"},
        {"DCOM://win7:1135/", "dcom", "", "win7", 1135, "win7:1135"},
        {"it@db1:2222", "ssh", "it", "db1", 2222, "db1:2222"},
    };
    for (const Row& r : rows) {
        QString why;
        const auto h = wmi::parseHostText(QString::fromUtf8(r.text), &why);
        ASSERT_TRUE(h) << r.text << ": " << why.toStdString();
        EXPECT_EQ(h->scheme.toStdString(), r.scheme) << r.text;
        EXPECT_EQ(h->user.toStdString(), r.user) << r.text;
        EXPECT_EQ(h->host.toStdString(), r.host) << r.text;
        EXPECT_EQ(h->port, r.port) << r.text;
        EXPECT_EQ(h->authority().toStdString(), r.authority) << r.text;
    }
}

TEST(HostText, MalformedTextsSayWhy) {
    for (const char* text :
         {"ssh://", "ssh://@host", "ftp://host", "host:0", "host:65536", "host:22x", "[::1",
          "[::1]x", "two words", "ssh://h/x/y", "dcom://h/x", "a:", "@db1", "it@"}) {
        QString why;
        EXPECT_FALSE(wmi::parseHostText(QString::fromUtf8(text), &why)) << text;
        EXPECT_FALSE(why.isEmpty()) << text;
    }
}

// A port on 127.0.0.2 that accepts connections (listening) or refuses them (closed).
struct Port {
    explicit Port(bool listening) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7f000002);
        socklen_t length = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), length);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        number = ntohs(a.sin_port);
        if (listening)
            ::listen(fd, 8);
        else
            ::close(std::exchange(fd, -1));  // nobody listens there: refused
    }
    ~Port() {
        if (fd >= 0) ::close(fd);
    }
    int fd = -1;
    int number = 0;
};

// What reached the sources.
struct Log {
    QString connectedBy;
    QString connectedHost;
    bool hadSocket = false;
    wmi::Clock::time_point reached;
    int port = 0;  // of the candidate that won
};

enum class Kind { Only };

// How a fake source connects: it notes what reached it.
class FakeDialer : public connect::Dialer {
  public:
    FakeDialer(QString name, Log& log) : name_(std::move(name)), log_(log) {}
    std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest&, const wmi::HostText& h,
                                          connect::Reached* reached) override {
        log_.connectedBy = name_;
        log_.connectedHost = h.host;
        log_.hadSocket = reached && reached->winner.socket.fd() >= 0;
        if (reached) log_.reached = reached->winner.reached;
        if (reached) log_.port = reached->candidate.port;
        return std::make_unique<wmi::StoreService>(std::make_shared<wmi::InstanceStore>());
    }

  private:
    QString name_;
    Log& log_;
};

// A source served on one port (none: a source that needs no network, taking "here").
connect::Source fakeSource(const QString& name, const QString& scheme, int port, int preference,
                           Log& log) {
    connect::Source s;
    s.name = name;
    s.takes = [scheme](const wmi::HostText& h) {
        return !scheme.isEmpty() ? h.scheme == scheme : h.isBare() && h.host == u"here";
    };
    s.bareHostPreference = port ? preference : 0;
    if (port)
        s.candidates = [name, port](const wmi::HostText&) {
            return std::vector{connect::Candidate(Kind::Only, name, port)};
        };
    s.dialer = std::make_shared<FakeDialer>(name, log);
    return s;
}

// A local source (takes "here"), an ssh source (preference 10) and a wsman source (30).
connect::SourceConnector connector(Log& log, int sshPort, int wsmanPort) {
    std::vector<connect::Source> s;
    s.push_back(fakeSource(QStringLiteral("local"), QString(), 0, 0, log));
    s.push_back(fakeSource(QStringLiteral("ssh"), QStringLiteral("ssh"), sshPort, 10, log));
    s.push_back(fakeSource(QStringLiteral("wsman"), QStringLiteral("https"), wsmanPort, 30, log));
    return connect::SourceConnector(std::move(s));
}

TEST(Choosing, EachHostTextReachesItsSourceAndThePreferredAnswerWins) {
    Port open1(true), open2(true), closed1(false), closed2(false);
    struct Row {
        const char* text;
        int ssh, wsman;
        const char* winner;  // nullptr: the connection fails with `number`
        std::uint32_t number;
    } rows[] = {
        {"here", open1.number, open2.number, "local", 0},
        {"ssh://u@127.0.0.2", open1.number, open2.number, "ssh", 0},
        {"u@127.0.0.2", open1.number, open2.number, "ssh", 0},
        {"https://127.0.0.2", open1.number, open2.number, "wsman", 0},
        {"127.0.0.2", open1.number, open2.number, "wsman", 0},
        {"127.0.0.2", open1.number, closed2.number, "ssh", 0},
        {"127.0.0.2", closed1.number, open2.number, "wsman", 0},
        {"127.0.0.2", closed1.number, closed2.number, nullptr, wmi::code::RpcUnavailable},
        {"ssh://127.0.0.2", closed1.number, open2.number, nullptr, wmi::code::RpcUnavailable},
        {"no-such-host.invalid", open1.number, open2.number, nullptr, wmi::code::HostNotFound},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Log log;
        auto c = connector(log, row.ssh, row.wsman);
        wmi::ConnectRequest request(QString::fromUtf8(row.text), wmi::Road::CurrentLogin);
        request.connectTimeout = 3000ms;
        const auto start = wmi::Clock::now();
        try {
            c.connect(request);
            ASSERT_TRUE(row.winner) << "connected through " << log.connectedBy.toStdString();
            EXPECT_EQ(log.connectedBy.toStdString(), row.winner);
            // A source on the network gets the connected socket and the moment it was reached,
            // from which its own time limits count.
            EXPECT_EQ(log.hadSocket, log.connectedBy != u"local");
            if (log.hadSocket) {
                EXPECT_GE(log.reached, start);
                // The candidate it offered comes back to the source that won, not another's.
                EXPECT_EQ(log.port, log.connectedBy == u"ssh" ? row.ssh : row.wsman);
            }
        } catch (const wmi::Error& e) {
            ASSERT_FALSE(row.winner) << e.description().toStdString();
            EXPECT_EQ(e.number(), row.number) << e.description().toStdString();
        }
        // Refusals are known at once: nothing here waits for the connect time.
        EXPECT_LT(wmi::Clock::now() - start, 1500ms);
    }
}

TEST(Choosing, ASnapshotAnswersEveryHostAndMalformedTextsFailWithTheirReason) {
    Log log;
    auto c = connector(log, 0, 0);
    try {
        c.connect({QStringLiteral("ssh://"), wmi::Road::CurrentLogin});
        FAIL();
    } catch (const wmi::Error& e) {
        EXPECT_TRUE(e.description().contains(u"没有主机名"));
    }
    connect::SourceConnector snapshot(std::make_shared<wmi::InstanceStore>());
    EXPECT_NE(dynamic_cast<wmi::StoreService*>(
                  snapshot.connect({QStringLiteral("ssh://x"), wmi::Road::CurrentLogin}).get()),
              nullptr);
    EXPECT_TRUE(log.connectedBy.isEmpty());
}

}  // namespace
}  // namespace qelto::test
