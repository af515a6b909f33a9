// Saves that must end, and saves that must not happen: a server that stops answering, a table
// held locked by someone else, and a scan that found no computer.

#include "archive/archive.h"
#include "archive_target.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace qelto::archive;

// A forwarder on 127.0.0.1 in front of the test server that stops forwarding, in both directions
// and for good, once the client sends `trigger`: to the client the server simply stops answering,
// while the connection stays open.
class StallingProxy {
  public:
    StallingProxy(const ArchiveLocation& server, QByteArray trigger)
        : server_(server), trigger_(std::move(trigger)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), size) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size) != 0)
            ADD_FAILURE() << "the proxy cannot listen";
        port_ = ntohs(at.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~StallingProxy() {
        stop_ = true;
        thread_.join();
        for (const Pair& p : pairs_) {
            ::close(p.client);
            ::close(p.server);
        }
        ::close(listener_);
    }
    int port() const { return port_; }
    bool stalled() const { return stalled_; }

  private:
    struct Pair {
        int client, server;
    };

    int connectToServer() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(quint16(server_.port));
        ::inet_pton(AF_INET, server_.host.toLatin1().constData(), &to.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void run() {
        // Bounded: a test that forgot to stop the proxy ends it after two minutes.
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        char buffer[16384];
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const Pair& p : pairs_) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            const std::size_t polled = pairs_.size();
            if (fds[0].revents & POLLIN) {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                const int server = client < 0 ? -1 : connectToServer();
                if (server >= 0)
                    pairs_.push_back({client, server});
                else if (client >= 0)
                    ::close(client);
            }
            for (std::size_t i = 0; i < polled; ++i) {
                for (const bool fromClient : {true, false}) {
                    const pollfd& f = fds[1 + 2 * i + (fromClient ? 0 : 1)];
                    if (!(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
                    const ssize_t n = ::read(f.fd, buffer, sizeof buffer);
                    if (n <= 0) continue;  // a closed side is left alone until the end
                    const QByteArrayView data(buffer, n);
                    if (fromClient && data.contains(trigger_)) stalled_ = true;
                    if (stalled_) continue;  // swallowed
                    const int to = fromClient ? pairs_[i].server : pairs_[i].client;
                    if (::send(to, buffer, size_t(n), MSG_NOSIGNAL) != n) stalled_ = true;
                }
            }
        }
    }

    ArchiveLocation server_;
    QByteArray trigger_;
    int listener_ = -1;
    int port_ = 0;
    std::vector<Pair> pairs_;
    std::atomic<bool> stop_{false}, stalled_{false};
    std::thread thread_;
};

struct SaveRun {
    bool finished = false;
    int status = -1;
    QString err;
    qint64 ms = 0;
};

// One save in a process of its own, so that a save that never ends can still be ended.
SaveRun saveInAnotherProcess(const QString& connstr) {
    QProcess p;
    QElapsedTimer timer;
    timer.start();
    p.start(QStringLiteral(QELTO_SAVE_WORKER),
            {connstr, QStringLiteral("limit"), QStringLiteral("1")});
    SaveRun run;
    run.finished = p.waitForFinished(60000);
    run.ms = timer.elapsed();
    if (!run.finished) {
        p.kill();
        p.waitForFinished(5000);
        return run;
    }
    run.status = p.exitCode();
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "save_limits_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);  // for the SQL driver plugins
    return instance;
}

TEST(ServerSave, TimeOutsComeFromTheConnectionString) {
    const QString base = QStringLiteral("Provider=PostgreSQL;Database=d;");
    const struct {
        const char* extra;
        int connect, command;  // 0, 0: refused
    } cases[] = {
        {"", 10, 30},
        {"Timeout=3;Command Timeout=2", 3, 2},
        {"Connect Timeout=4", 4, 30},
        {"Command Timeout=0", 0, 0},
        {"Timeout=soon", 0, 0},
        {"Command Timeout=86401", 0, 0},
    };
    for (const auto& c : cases) {
        const QString connstr = base + QString::fromLatin1(c.extra);
        if (c.connect == 0) {
            EXPECT_THROW(parseConnectionString(connstr), ArchiveError) << c.extra;
            continue;
        }
        const ArchiveLocation l = parseConnectionString(connstr);
        EXPECT_EQ(l.connectTimeout, c.connect) << c.extra;
        EXPECT_EQ(l.commandTimeout, c.command) << c.extra;
    }
}

TEST(ServerSave, AServerThatStopsAnsweringEndsTheSaveWithItsReason) {
    app();
    if (ArchiveTarget::serverConnectionString().isEmpty())
        GTEST_SKIP() << ArchiveTarget::skipMessage();
    ArchiveTarget target(ArchiveTarget::Engine::PostgreSQL);
    initArchive(target.connstr());
    const ArchiveLocation server = parseConnectionString(target.connstr());

    // Someone else holds the table: the statement time-out (1 s) ends the wait on the server.
    const QString holder = uniqueConnectionName();
    openConnection(server, holder, false);
    {
        QSqlQuery lock(QSqlDatabase::database(holder, false));
        ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN")));
        ASSERT_TRUE(lock.exec(QStringLiteral("LOCK TABLE info IN ACCESS EXCLUSIVE MODE")));
    }
    const SaveRun locked =
        saveInAnotherProcess(target.connstr() + QStringLiteral(";Timeout=5;Command Timeout=1"));
    QSqlDatabase::database(holder, false).close();
    QSqlDatabase::removeDatabase(holder);
    ASSERT_TRUE(locked.finished) << "a save waiting for a lock did not end";
    EXPECT_EQ(locked.status, 1);
    EXPECT_TRUE(locked.err.contains(QStringLiteral("statement timeout")))
        << locked.err.toStdString();
    EXPECT_LT(locked.ms, 5000);

    // The server answers the login and then nothing: the whole save ends after 3 + 2 s.
    StallingProxy proxy(server, QByteArrayLiteral("INSERT INTO"));
    const SaveRun stalled = saveInAnotherProcess(
        target.connstr() +
        QStringLiteral(";Host=127.0.0.1;Port=%1;Timeout=3;Command Timeout=2").arg(proxy.port()));
    EXPECT_TRUE(proxy.stalled());
    ASSERT_TRUE(stalled.finished) << "a save to a server that stopped answering did not end";
    EXPECT_EQ(stalled.status, 1);
    EXPECT_TRUE(stalled.err.contains(QStringLiteral("在 5 秒内没有完成保存")))
        << stalled.err.toStdString();
    EXPECT_GE(stalled.ms, 4500);
    EXPECT_LT(stalled.ms, 15000);

    std::unique_ptr<Recordset> rows =
        opensql(target.connstr(), QStringLiteral("select * from info"));
    EXPECT_EQ(rows->RecordCount(), 0);
}

TEST(CliSave, AScanWithoutTheComputerIsNotSavedAndItsUnreadableValuesAreListed) {
    app();
    QTemporaryDir dir;
    ArchiveTarget target(ArchiveTarget::Engine::SQLite);
    initArchive(target.connstr());
    const QString snapshot = dir.filePath(QStringLiteral("unreadable.json"));
    QFile f(snapshot);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"Win32_ComputerSystem": [{"Caption": {"not": "text"}}],
                "Win32_BIOS": [{"Name": "B", "Version": {}}]})");
    f.close();

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QELTO_CLI),
            {QStringLiteral("scan"), QStringLiteral("--snapshot"), snapshot,
             QStringLiteral("--verbose"), QStringLiteral("--save"), QStringLiteral("--department"),
             QStringLiteral("部"), QStringLiteral("--person"), QStringLiteral("人"),
             QStringLiteral("--archive"), target.connstr()});
    ASSERT_TRUE(p.waitForFinished(30000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(err.contains(QStringLiteral("检测到无数据，无法保存"))) << err.toStdString();
    EXPECT_FALSE(err.contains(QStringLiteral("保存成功"))) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("Win32_ComputerSystem 的第 1 个对象的 Caption")))
        << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("Win32_BIOS 的第 1 个对象的 Version")))
        << err.toStdString();
    std::unique_ptr<Recordset> rows =
        opensql(target.connstr(), QStringLiteral("select * from info"));
    EXPECT_EQ(rows->RecordCount(), 0);
}

}  // namespace
