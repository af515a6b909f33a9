// qelto-cli scan over many hosts: the host list, the pool and the table; then whole batches
// against OpenSSH servers on loopback addresses, a closed port, and hosts that never answer
// inside network namespaces the test makes itself.

#include "cli/batch.h"
#include "archive/recordset.h"
#include "sources/ssh/sshd_fixture.h"
#include "support/nethosts.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <thread>

namespace batch = qelto::cli::batch;
using qelto::test::NetHosts;
using namespace std::chrono_literals;

namespace {

TEST(BatchHosts, RangesAndListsExpandInOrderEachHostOnce) {
    struct Case {
        QStringList items;
        qsizetype count;  // -1: refused
        const char* first;
        const char* last;  // or a part of the problem
    } cases[] = {
        {{QStringLiteral("10.1.2.9/24")}, 254, "10.1.2.1", "10.1.2.254"},
        {{QStringLiteral("10.1.2.0/30")}, 2, "10.1.2.1", "10.1.2.2"},
        {{QStringLiteral("10.1.2.5/31")}, 2, "10.1.2.4", "10.1.2.5"},
        {{QStringLiteral("10.1.2.7/32")}, 1, "10.1.2.7", "10.1.2.7"},
        {{QStringLiteral("10.1.2.250-255")}, 6, "10.1.2.250", "10.1.2.255"},
        {{QStringLiteral("ssh://root@10.0.0.1-3:2222")},
         3,
         "ssh://root@10.0.0.1:2222",
         "ssh://root@10.0.0.3:2222"},
        {{QStringLiteral("https://10.0.0.8/30/wsman")},
         2,
         "https://10.0.0.9/wsman",
         "https://10.0.0.10/wsman"},
        {{QStringLiteral("10.0.0.2"), QStringLiteral("10.0.0.0/29"), QStringLiteral("10.0.0.2")},
         6,
         "10.0.0.2",
         "10.0.0.6"},
        {{QStringLiteral("host-1"), QStringLiteral(" [::1]:22 "), QStringLiteral(""),
          QStringLiteral("10.0.0.1-9.lan")},
         4,
         "host-1",
         "10.0.0.1-9.lan"},
        {{QStringLiteral("10.0.0.0/16")}, 65534, "10.0.0.1", "10.0.255.254"},
        {{QStringLiteral("10.0.0.0/15")}, -1, "", "65536"},
        {{QStringLiteral("10.0.0.0/16"), QStringLiteral("10.9.0.0/16")}, -1, "", "65536"},
        {{QStringLiteral("10.0.0.0/33")}, -1, "", "前缀"},
        {{QStringLiteral("10.0.0.9-4")}, -1, "", "小于"},
        {{QStringLiteral("10.0.0.1-256")}, -1, "", "末尾"},
        {{QStringLiteral("10.0.300.1/24")}, -1, "", "0 到 255"},
    };
    for (const Case& c : cases) {
        const QString what = c.items.join(u' ');
        batch::HostList list;
        QString problem;
        bool ok = true;
        for (const QString& item : c.items) ok = ok && list.add(item, problem);
        if (c.count < 0) {
            EXPECT_FALSE(ok) << what.toStdString();
            EXPECT_TRUE(problem.contains(QString::fromUtf8(c.last))) << problem.toStdString();
            continue;
        }
        ASSERT_TRUE(ok) << what.toStdString() << ": " << problem.toStdString();
        ASSERT_EQ(list.hosts().size(), c.count) << what.toStdString();
        EXPECT_EQ(list.hosts().first(), QString::fromUtf8(c.first)) << what.toStdString();
        EXPECT_EQ(list.hosts().last(), QString::fromUtf8(c.last)) << what.toStdString();
        EXPECT_EQ(QSet<QString>(list.hosts().begin(), list.hosts().end()).size(), c.count);
    }
}

TEST(BatchHosts, FilesAndPeople) {
    EXPECT_EQ(batch::itemsOfFile(QStringLiteral("# the lab\n10.0.0.1  # printer room\r\n\n  "
                                                "ssh://a@b:22\n#10.0.0.2\n")),
              (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("ssh://a@b:22")}));

    struct Case {
        QByteArray bytes;
        const char16_t* problem;  // empty: read
    } cases[] = {
        {"\xEF\xBB\xBFhost,department,person\r\n10.0.0.1,\xE8\xB4\xA2\xE5\x8A\xA1,\"Li, Lei\"\n",
         u""},
        {"10.0.0.1,\xB2\xC6\xCE\xF1,\"Li, Lei\"\n", u""},  // GBK
        {"10.0.0.1,\xE8\xB4\xA2\xE5\x8A\xA1\n", u"第 1 行"},
        {"host,department,person\n\n10.0.0.1,x,\n", u"第 3 行"},
    };
    for (const Case& c : cases) {
        QString problem;
        const auto people = batch::parsePeople(c.bytes, "UTF-8", problem);
        const QString expected = QString::fromUtf16(c.problem);
        if (!expected.isEmpty()) {
            EXPECT_FALSE(people) << c.bytes.toStdString();
            EXPECT_TRUE(problem.contains(expected)) << problem.toStdString();
            continue;
        }
        ASSERT_TRUE(people) << problem.toStdString();
        ASSERT_EQ(people->size(), 1);
        EXPECT_EQ(people->value(QStringLiteral("10.0.0.1")).department, u"财务");
        EXPECT_EQ(people->value(QStringLiteral("10.0.0.1")).person, u"Li, Lei");
    }
}

// The pool with a scan that only waits: at most --jobs at once, every host once, and the wall
// time of the slowest round, not of the sum.
TEST(BatchPool, RunsJobsHostsAtATime) {
    QStringList hosts;
    for (int i = 0; i < 8; ++i) hosts << QStringLiteral("h%1").arg(i);
    for (const int jobs : {1, 3, 8, 32}) {
        std::atomic<int> running{0}, most{0};
        auto scanOne = [&](const QString& host) {
            const int now = ++running;
            for (int m = most; now > m && !most.compare_exchange_weak(m, now);) {
            }
            std::this_thread::sleep_for(100ms);
            --running;
            batch::Outcome o;
            if (host.endsWith(u'3')) o.scan.error = qelto::wmi::Error(0x800706BA, QString());
            // What a scan throws is its host's failure, never the end of the program.
            if (host.endsWith(u'5')) throw 5;
            if (host.endsWith(u'6')) throw std::runtime_error("boom");
            return o;
        };
        QStringList ended;
        int failedSeen = 0;
        batch::Progress last;
        QElapsedTimer timer;
        timer.start();
        batch::run(
            hosts, jobs, scanOne,
            [&](batch::Outcome&& o) {
                EXPECT_EQ(hosts[o.index], o.host);
                EXPECT_GE(o.elapsed, 90ms);
                failedSeen += !o.scan.connected();
                ended << o.host;
                if (o.host == u"h5" || o.host == u"h6") {
                    EXPECT_EQ(o.scan.error->description(),
                              o.host == u"h5" ? QStringLiteral("意外的错误（不明的异常）")
                                              : QStringLiteral("意外的错误：boom"));
                }
            },
            [&](const batch::Progress& p) {
                EXPECT_LE(p.inFlight.size(), jobs);
                last = p;
            },
            20ms);
        const qint64 rounds = (hosts.size() + std::min<qsizetype>(jobs, 8) - 1) / std::min(jobs, 8);
        EXPECT_GE(timer.elapsed(), rounds * 100 - 10) << jobs;
        EXPECT_LT(timer.elapsed(), rounds * 100 + 400) << jobs;
        EXPECT_EQ(most.load(), std::min(jobs, 8));
        ended.sort();
        EXPECT_EQ(ended, hosts);
        EXPECT_EQ(failedSeen, 3);
        EXPECT_EQ(last.done, 8);
        EXPECT_EQ(last.failed, 3);
        EXPECT_EQ(last.remaining, 0);
        EXPECT_TRUE(last.inFlight.isEmpty());
    }
}

TEST(BatchOutput, TableColumnsLineUpAndTheProgressLineFits) {
    const std::vector<batch::Row> rows{
        {QStringLiteral("10.0.0.1"), QStringLiteral("财务室-PC"), QString(), true, 1234ms},
        {QStringLiteral("ssh://root@10.0.0.22:2222"), QString(),
         QStringLiteral("连接失败（0x800706ba）：远程主机：x 不存在或没有开机。"), false, 5000ms},
    };
    const QStringList lines = batch::table(rows, 6200ms).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    // "结果" and each row's result start in the same column.
    auto column = [](const QString& line, const QString& word) {
        return batch::displayWidth(line.left(line.indexOf(word)));
    };
    EXPECT_EQ(column(lines[0], QStringLiteral("结果")), column(lines[1], QStringLiteral("成功")));
    EXPECT_EQ(column(lines[0], QStringLiteral("结果")), column(lines[2], QStringLiteral("失败")));
    EXPECT_EQ(column(lines[0], QStringLiteral("错误")), column(lines[2], QStringLiteral("连接")));
    EXPECT_TRUE(lines[1].contains(u"1.2") && lines[2].contains(u"5.0")) << lines[1].toStdString();
    EXPECT_TRUE(lines[3].contains(u"2 台") && lines[3].contains(u"6.2")) << lines[3].toStdString();

    batch::Progress p{5, 2, 7, {}, 75s};
    for (int i = 0; i < 40; ++i) p.inFlight << QStringLiteral("192.168.100.%1").arg(i);
    for (const int width : {60, 79, 200}) {
        const QString line = batch::progressLine(p, width);
        EXPECT_LE(batch::displayWidth(line), width);
        EXPECT_TRUE(line.startsWith(QStringLiteral("已完成 5（失败 2），剩余 7，用时 1:15")))
            << line.toStdString();
    }
    EXPECT_TRUE(batch::progressLine(p, 1000).contains(u"192.168.100.39"));
}

// ---- whole batches through qelto-cli ----

struct CliRun {
    int status = -1;
    QByteArray out;
    QString err;
    qint64 ms = 0;
};

// qelto-cli with HOME and arguments; `prefix` runs it through another program (a namespace).
CliRun cli(const QString& home, const QStringList& args, const QStringList& prefix = {}) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("HOME"), home);
    e.remove(QStringLiteral("SSH_AUTH_SOCK"));
    e.remove(QStringLiteral("QELTO_PASSWORD"));
    e.remove(QStringLiteral("QELTO_ARCHIVE"));
    p.setProcessEnvironment(e);
    p.setStandardInputFile(QProcess::nullDevice());
    QStringList all = prefix;
    all << QStringLiteral(QELTO_CLI) << QStringLiteral("scan") << args;
    QElapsedTimer t;
    t.start();
    p.start(all.takeFirst(), all);
    EXPECT_TRUE(p.waitForFinished(90000));
    CliRun r{p.exitCode(), p.readAllStandardOutput(), QString::fromUtf8(p.readAllStandardError()),
             t.elapsed()};
    EXPECT_FALSE(r.err.contains(u"Sanitizer") || r.err.contains(u"runtime error"))
        << r.err.toStdString();
    return r;
}

// The JSON lines of a batch by host.
QHash<QString, QJsonObject> jsonByHost(const QByteArray& out) {
    QHash<QString, QJsonObject> hosts;
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty()) continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        EXPECT_FALSE(o.isEmpty()) << line.toStdString();
        hosts.insert(o.value(u"host").toString(), o);
    }
    return hosts;
}

// Lets every server take the first server's client key, so that one HOME reaches them all.
void shareClientKey(const std::vector<std::unique_ptr<TestSshd>>& servers) {
    QFile pub(servers[0]->clientKey + u".pub");
    ASSERT_TRUE(pub.open(QIODevice::ReadOnly));
    const QByteArray key = pub.readAll();
    for (size_t i = 1; i < servers.size(); ++i) {
        QFile keys(servers[i]->dir + u"/authorized_keys." + servers[i]->user);
        ASSERT_TRUE(keys.open(QIODevice::Append));
        keys.write(key);
    }
}

// A port on a loopback address where the kernel completes every connection and nobody ever
// reads or writes.
struct MuteListener {
    explicit MuteListener(const char* address) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        socklen_t size = sizeof a;
        if (fd < 0 || ::inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&a), size) != 0 || ::listen(fd, 16) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~MuteListener() {
        if (fd >= 0) ::close(fd);
    }
    MuteListener(const MuteListener&) = delete;
    MuteListener& operator=(const MuteListener&) = delete;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    quint16 port = 0;
};

QString sshUrl(const TestSshd& s) {
    return QStringLiteral("ssh://%1@%2:%3").arg(s.user, s.address).arg(s.port);
}

TEST(CliBatch, SeveralServersAndAClosedPortEachReportedWithReportsAndArchiveRows) {
    std::vector<std::unique_ptr<TestSshd>> servers;
    for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        servers.push_back(
            std::make_unique<TestSshd>(TestSshdOptions().at(QString::fromLatin1(address))));
        QELTO_SKIP_UNLESS_UP(*servers.back());
    }
    shareClientKey(servers);
    const QString home = servers[0]->home, work = servers[0]->dir;
    QFile::remove(home + u"/.ssh/known_hosts");
    // Three forms of host text, and a port where nothing listens.
    const QString closed = QStringLiteral("127.0.0.5:1");
    const QStringList hosts{sshUrl(*servers[0]), sshUrl(*servers[1]),
                            QStringLiteral("%1:%2").arg(servers[2]->address).arg(servers[2]->port),
                            closed};

    // Unknown keys, not accepted: every SSH host fails with the usual message, nothing is asked.
    CliRun r = cli(home, QStringList{QStringLiteral("--json")} + hosts);
    EXPECT_EQ(r.status, 1);
    QHash<QString, QJsonObject> json = jsonByHost(r.out);
    ASSERT_EQ(json.size(), 4) << r.err.toStdString();
    for (const QString& h : hosts) {
        EXPECT_EQ(json[h].value(u"status").toString(), u"failed") << h.toStdString();
        EXPECT_TRUE(json[h].value(u"record").isNull());
    }
    EXPECT_TRUE(json[hosts[0]].value(u"error").toString().contains(u"SHA256:"));
    EXPECT_TRUE(r.err.contains(u"--accept-new-host-key")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(home + u"/.ssh/known_hosts"));

    // Accepted for all; reports, archive rows with a people file and defaults for the rest.
    const QString archive =
        QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=%1/a.db").arg(work);
    QProcess init;
    init.start(QStringLiteral(QELTO_CLI), {QStringLiteral("archive"), QStringLiteral("init"),
                                           QStringLiteral("--archive"), archive});
    ASSERT_TRUE(init.waitForFinished(30000) && init.exitCode() == 0);
    QFile people(work + u"/people.csv");
    ASSERT_TRUE(people.open(QIODevice::WriteOnly));
    people.write("host,department,person\n" + hosts[0].toUtf8() + ",财务,张三\n" +
                 hosts[1].toUtf8() + ",人事,李四\n");
    people.close();
    const QString reports = work + u"/reports";
    // A server that takes the connection and never says a word holds its host only.
    const MuteListener mute("127.0.0.6");
    ASSERT_NE(mute.port, 0);
    const QString muteHost = QStringLiteral("ssh://127.0.0.6:%1").arg(mute.port);
    ASSERT_TRUE(QDir().mkpath(reports));
    r = cli(home, QStringList{QStringLiteral("--json"),
                              QStringLiteral("--accept-new-host-key"),
                              QStringLiteral("--report-dir"),
                              reports,
                              QStringLiteral("--save"),
                              QStringLiteral("--archive"),
                              archive,
                              QStringLiteral("--people"),
                              people.fileName(),
                              QStringLiteral("--department"),
                              QStringLiteral("其他"),
                              QStringLiteral("--person"),
                              QStringLiteral("王五"),
                              QStringLiteral("--jobs"),
                              QStringLiteral("2"),
                              QStringLiteral("--connect-timeout"),
                              QStringLiteral("2"),
                              QStringLiteral("--timeout"),
                              QStringLiteral("10"),
                              muteHost} +
                      hosts);
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    json = jsonByHost(r.out);
    ASSERT_EQ(json.size(), 5) << r.err.toStdString();
    EXPECT_EQ(json[muteHost].value(u"status").toString(), u"failed");
    EXPECT_LT(r.ms, 10000);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject o = json[hosts[i]];
        EXPECT_EQ(o.value(u"status").toString(), u"ok") << hosts[i].toStdString();
        EXPECT_TRUE(o.value(u"error").isNull());
        EXPECT_GT(o.value(u"tree").toArray().size(), 19);
        EXPECT_FALSE(o.value(u"record").toObject().value(u"computername").toString().isEmpty());
    }
    EXPECT_EQ(
        json[closed].value(u"error").toString(),
        QStringLiteral("连接失败（0x800706ba）：远程主机：%1 不存在或没有开机。").arg(closed));
    // The table goes to stderr beside the JSON lines: every host with its result.
    for (const QString& h : hosts)
        EXPECT_TRUE(r.err.contains(QRegularExpression(u"\\n" + QRegularExpression::escape(h) +
                                                      (h == closed ? u" .*失败" : u" .*成功"))))
            << h.toStdString() << "\n"
            << r.err.toStdString();
    // One machine behind three hosts: three reports all the same.
    EXPECT_EQ(QDir(reports).entryList(QDir::Files).size(), 3) << r.err.toStdString();
    auto rs = qelto::archive::opensql(
        archive, QStringLiteral("SELECT 部门, 使用人 FROM info ORDER BY 部门"));
    QStringList rows;
    for (; !rs->atEnd(); rs->MoveNext())
        rows << rs->Fields(QStringLiteral("部门")).Value().toString() + u'/' +
                    rs->Fields(QStringLiteral("使用人")).Value().toString();
    EXPECT_EQ(rows, (QStringList{QStringLiteral("人事/李四"), QStringLiteral("其他/王五"),
                                 QStringLiteral("财务/张三")}));
}

TEST(CliBatch, HostsThatNeverAnswerCostOneConnectTimeOutTogether) {
    NetHosts ns(NetHosts::Kind::Silent, QStringLiteral("qbt"));
    QELTO_SKIP_UNLESS_UP(ns);
    const QStringList inside = ns.exec('c', {});
    TestSshd a(TestSshdOptions().at(QStringLiteral("127.0.0.2")).through(inside));
    TestSshd b(TestSshdOptions().at(QStringLiteral("127.0.0.3")).through(inside));
    ASSERT_TRUE(a.ok() && b.ok()) << a.error().toStdString() << b.error().toStdString();
    QFile keys(b.dir + u"/authorized_keys." + b.user);
    QFile pub(a.clientKey + u".pub");
    ASSERT_TRUE(keys.open(QIODevice::Append) && pub.open(QIODevice::ReadOnly));
    keys.write(pub.readAll());
    keys.close();

    // 14 silent hosts (a /28 behind the gateway that swallows everything), a closed port, and
    // two servers; with a connect time-out of 1 s, one after the other would take 15 s.
    const QString closed = QStringLiteral("127.0.0.4:1");
    const CliRun r = cli(a.dir + u"/home",
                         {QStringLiteral("--connect-timeout"), QStringLiteral("1"),
                          QStringLiteral("--accept-new-host-key"), QStringLiteral("--json"),
                          a.url(), QStringLiteral("198.51.100.16/28"), closed, b.url()},
                         ns.exec('c', {}));
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    QHash<QString, QJsonObject> json = jsonByHost(r.out);
    ASSERT_EQ(json.size(), 17) << r.err.toStdString();
    EXPECT_EQ(json[a.url()].value(u"status").toString(), u"ok") << r.err.toStdString();
    EXPECT_EQ(json[b.url()].value(u"status").toString(), u"ok") << r.err.toStdString();
    QStringList failed{closed};
    for (int i = 17; i <= 30; ++i) failed << QStringLiteral("198.51.100.%1").arg(i);
    for (const QString& host : failed)
        EXPECT_EQ(
            json[host].value(u"error").toString(),
            QStringLiteral("连接失败（0x800706ba）：远程主机：%1 不存在或没有开机。").arg(host));
    // Each silent host waited out its second (it was swallowed, not refused), all at once.
    const QRegularExpression silentRow(
        QStringLiteral("\\n198\\.51\\.100\\.\\d+ +失败 +(\\d+\\.\\d)"));
    int silent = 0;
    for (auto m = silentRow.globalMatch(r.err); m.hasNext(); ++silent) {
        const double s = m.next().captured(1).toDouble();
        EXPECT_GE(s, 0.9);
        EXPECT_LT(s, 3.0);
    }
    EXPECT_EQ(silent, 14) << r.err.toStdString();
    EXPECT_LT(r.ms, 8000) << r.err.toStdString();

    // Two places for 17 hosts: the silent ones are found together before the pool starts,
    // instead of seven rounds of time-outs.
    const CliRun few = cli(a.dir + u"/home",
                           {QStringLiteral("--connect-timeout"), QStringLiteral("1"),
                            QStringLiteral("--jobs"), QStringLiteral("2"), QStringLiteral("--json"),
                            a.url(), QStringLiteral("198.51.100.16/28"), closed, b.url()},
                           ns.exec('c', {}));
    json = jsonByHost(few.out);
    ASSERT_EQ(json.size(), 17) << few.err.toStdString();
    EXPECT_EQ(json[a.url()].value(u"status").toString(), u"ok") << few.err.toStdString();
    for (const QString& host : failed)
        EXPECT_EQ(
            json[host].value(u"error").toString(),
            QStringLiteral("连接失败（0x800706ba）：远程主机：%1 不存在或没有开机。").arg(host));
    EXPECT_LT(few.ms, 5000) << few.err.toStdString();
}

}  // namespace
