// Host texts and the choosing policy: which source a host text reaches, with sources that only
// note what they were asked (no traffic leaves the test).

#include "wmi/sources.h"
#include "wmi/error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
    for (const char* text : {"ssh://", "ssh://@host", "ftp://host", "host:0", "host:65536",
                             "host:22x", "[::1", "[::1]x", "two words", "ssh://h/x/y", "a:"}) {
        QString why;
        EXPECT_FALSE(wmi::parseHostText(QString::fromUtf8(text), &why)) << text;
        EXPECT_FALSE(why.isEmpty()) << text;
    }
}

// A source that answers its probe as told, after a delay, and records what reached it.
struct Log {
    std::atomic<int> probes{0};
    QString connectedBy;
    QString connectedHost;
    std::chrono::milliseconds connectTimeout{0};
};

class FakeSource : public wmi::Source {
  public:
    FakeSource(QString name, QString scheme, bool probes, int preference, wmi::ProbeResult answer,
               std::chrono::milliseconds delay, Log& log)
        : name_(std::move(name)),
          scheme_(std::move(scheme)),
          probes_(probes),
          preference_(preference),
          answer_(answer),
          delay_(delay),
          log_(log) {}
    QString name() const override { return name_; }
    bool takes(const wmi::HostText& h) const override {
        return !scheme_.isEmpty() ? h.scheme == scheme_ : h.isBare() && h.host == u"here";
    }
    bool probesBareHosts() const override { return probes_; }
    int preference() const override { return preference_; }
    wmi::ProbeResult probe(const wmi::HostText&, wmi::Clock::time_point deadline) override {
        ++log_.probes;
        std::this_thread::sleep_until(std::min(wmi::Clock::now() + delay_, deadline));
        return wmi::Clock::now() >= deadline ? wmi::ProbeResult::Silent : answer_;
    }
    std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& r,
                                          const wmi::HostText& h) override {
        log_.connectedBy = name_;
        log_.connectedHost = h.host;
        log_.connectTimeout = r.connectTimeout;
        return std::make_unique<wmi::StoreService>(std::make_shared<wmi::InstanceStore>());
    }

  private:
    QString name_, scheme_;
    bool probes_;
    int preference_;
    wmi::ProbeResult answer_;
    std::chrono::milliseconds delay_;
    Log& log_;
};

struct Probe {
    wmi::ProbeResult answer;
    std::chrono::milliseconds delay;
};

// A local source (takes "here"), an ssh source (preference 0) and a wsman source (preference 1).
wmi::SourceConnector connector(Log& log, Probe ssh, Probe wsman) {
    std::vector<std::unique_ptr<wmi::Source>> s;
    s.push_back(std::make_unique<FakeSource>(QStringLiteral("local"), QString(), false, 0,
                                             wmi::ProbeResult::Silent, 0ms, log));
    s.push_back(std::make_unique<FakeSource>(QStringLiteral("ssh"), QStringLiteral("ssh"), true, 0,
                                             ssh.answer, ssh.delay, log));
    s.push_back(std::make_unique<FakeSource>(QStringLiteral("wsman"), QStringLiteral("https"), true,
                                             1, wsman.answer, wsman.delay, log));
    return wmi::SourceConnector(std::move(s));
}

TEST(Choosing, TextsWithASchemeOrALocalNameGoStraightToTheirSource) {
    using R = wmi::ProbeResult;
    for (auto [text, source] : {std::pair{"here", "local"}, std::pair{"ssh://u@db1", "ssh"},
                                std::pair{"https://win7", "wsman"}}) {
        Log log;
        auto c = connector(log, {R::Answers, 0ms}, {R::Answers, 0ms});
        c.connect({QString::fromUtf8(text), wmi::Road::CurrentLogin});
        EXPECT_EQ(log.connectedBy.toStdString(), source) << text;
        EXPECT_EQ(log.probes, 0) << text;
    }
}

TEST(Choosing, BareHostsAreProbedAtOnceAndThePreferredAnswerWins) {
    using R = wmi::ProbeResult;
    struct Row {
        Probe ssh, wsman;
        const char* winner;  // nullptr: the connection fails with `number`
        std::uint32_t number;
    } rows[] = {
        {{R::Answers, 0ms}, {R::Answers, 300ms}, "wsman", 0},
        {{R::Answers, 700ms}, {R::Answers, 700ms}, "wsman", 0},
        {{R::Answers, 300ms}, {R::Silent, 0ms}, "ssh", 0},
        {{R::Silent, 0ms}, {R::Answers, 0ms}, "wsman", 0},
        {{R::Answers, 0ms}, {R::Answers, 10s}, "ssh", 0},  // wsman misses the connect time
        {{R::Silent, 0ms}, {R::Silent, 0ms}, nullptr, wmi::code::RpcUnavailable},
        {{R::NoSuchName, 0ms}, {R::NoSuchName, 0ms}, nullptr, wmi::code::HostNotFound},
    };
    for (const Row& row : rows) {
        Log log;
        auto c = connector(log, row.ssh, row.wsman);
        wmi::ConnectRequest request(QStringLiteral("db1:2222"), wmi::Road::CurrentLogin);
        request.connectTimeout = 1000ms;
        const auto start = wmi::Clock::now();
        try {
            c.connect(request);
            ASSERT_TRUE(row.winner) << "connected through " << log.connectedBy.toStdString();
            EXPECT_EQ(log.connectedBy.toStdString(), row.winner);
            EXPECT_EQ(log.connectedHost, u"db1");
            // The time the probes took counts against the connect time.
            const auto probing = std::min({std::max(row.ssh.delay, row.wsman.delay), 1000ms});
            EXPECT_LE(log.connectTimeout, request.connectTimeout - probing + 1ms);
        } catch (const wmi::Error& e) {
            ASSERT_FALSE(row.winner) << e.description().toStdString();
            EXPECT_EQ(e.number(), row.number);
        }
        EXPECT_EQ(log.probes, 2);
        // At once: never the sum of the two delays (1.4 s for the row of two 0.7 s probes), and
        // never much past the connect time.
        EXPECT_LT(wmi::Clock::now() - start, 1350ms);
    }
}

TEST(Choosing, ASnapshotAnswersEveryHostAndMalformedTextsFailWithTheirReason) {
    Log log;
    auto c = connector(log, {wmi::ProbeResult::Answers, 0ms}, {wmi::ProbeResult::Answers, 0ms});
    try {
        c.connect({QStringLiteral("ssh://"), wmi::Road::CurrentLogin});
        FAIL();
    } catch (const wmi::Error& e) {
        EXPECT_TRUE(e.description().contains(u"没有主机名"));
    }
    wmi::SourceConnector snapshot(std::make_shared<wmi::InstanceStore>());
    EXPECT_NE(dynamic_cast<wmi::StoreService*>(
                  snapshot.connect({QStringLiteral("ssh://x"), wmi::Road::CurrentLogin}).get()),
              nullptr);
    EXPECT_EQ(log.probes, 0);
}

}  // namespace
}  // namespace qelto::test
