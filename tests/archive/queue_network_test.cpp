// Four scanners, each on a machine of its own, share one scan queue on an archive server across a
// network: a /26 of hosts, some answering as Windows hosts do over WS-Management, a few as Linux
// hosts do over SSH, some silent, the rest refusing. Every due host is scanned once a round; a
// scanner killed in the middle of its scans loses none of them; a server restarted in the middle of
// a round loses no scan and keeps none twice. Needs root (network namespaces) and PostgreSQL's
// server programs.

#include "listener.h"
#include "sources/ssh/sshd_fixture.h"
#include "support/nethosts.h"

#include "archive/archive.h"
#include "archive/queue.h"
#include "archive/recordset.h"
#include "archive/session.h"
#include "wmi/snapshot.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

using qelto::test::NetHosts;
namespace q = qelto::archive::queue;

const QString kMachine = QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json");
const QString kUser = QStringLiteral("PC09\\admin"), kPassword = QStringLiteral("s3cret Ω");
// The SSH hosts' throwaway accounts all have this password.
const QString kSshPassword = QStringLiteral("pw-Ä7 x");
// The archive server listens on an address of the hosts' namespace, as another host would.
const QString kServer = QStringLiteral("198.18.12.1");
constexpr int kScanners = 4;
constexpr int kFirst = 65, kLast = 126;  // the hosts of 198.18.12.64/26

// What host 198.18.12.`n` is: every sixth a WS-Management listener, three an OpenSSH server on
// port 22 (two in the lower half of the /26, one in the upper), every sixth one silent (its ports
// dropped), every sixth one refused by the firewall, the rest closed ports.
enum class Host { Served, Ssh, Silent, Refused, Closed };
Host kindOf(int n) {
    if (n == 70 || n == 88 || n == 112) return Host::Ssh;
    switch (n % 6) {
        case 5:
            return Host::Served;
        case 2:
            return Host::Silent;
        case 3:
            return Host::Refused;
        default:
            return Host::Closed;
    }
}
QString address(int n) {
    return QStringLiteral("198.18.12.%1").arg(n);
}
int numberOf(const QString& host) {
    return host.section(u'.', 3).toInt();
}
QString personOf(int n) {
    return QStringLiteral("用户%1").arg(n);
}
QString departmentOf(int n) {
    return kindOf(n) == Host::Ssh ? QStringLiteral("运维部") : QStringLiteral("信息部");
}
// The department and person host `n` is queued for and saved under.
QString ownerOf(int n) {
    return departmentOf(n) + u'/' + personOf(n);
}
// A host that answers, over WS-Management or SSH, and is saved once a round.
bool reachable(int n) {
    return kindOf(n) == Host::Served || kindOf(n) == Host::Ssh;
}
int servedCount() {
    int served = 0;
    for (int n = kFirst; n <= kLast; ++n) served += reachable(n) ? 1 : 0;
    return served;
}

// The bin folder of the newest PostgreSQL installed, or empty.
QString postgresBin() {
    int newest = 0;
    for (const QString& v : QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs))
        if (QFile::exists(QStringLiteral("/usr/lib/postgresql/%1/bin/pg_ctl").arg(v)))
            newest = std::max(newest, v.toInt());
    return newest ? QStringLiteral("/usr/lib/postgresql/%1/bin").arg(newest) : QString();
}

class QueueAcrossNetwork : public ::testing::Test {
  protected:
    void SetUp() override {
        net_ = std::make_unique<NetHosts>();
        if (!net_->ok()) GTEST_SKIP() << "skipped: " << net_->error().toStdString();
        bin_ = postgresBin();
        if (bin_.isEmpty()) GTEST_SKIP() << "skipped: needs PostgreSQL's server programs";
        for (int k = 1; k <= kScanners; ++k)
            ASSERT_TRUE(net_->addClient(k)) << net_->error().toStdString();
        ASSERT_TRUE(dir_.isValid());
        const struct passwd* pg = ::getpwnam("postgres");
        if (!pg) GTEST_SKIP() << "skipped: needs PostgreSQL's system user";
        ASSERT_EQ(::chown(QFile::encodeName(dir_.path()).constData(), pg->pw_uid, pg->pw_gid), 0);
        ASSERT_TRUE(
            postgres(QStringLiteral("initdb"),
                     {QStringLiteral("-D"), data(), QStringLiteral("-U"), QStringLiteral("qelto"),
                      QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                      QStringLiteral("--locale=C.UTF-8"), QStringLiteral("--no-sync")}));
        // The scanners come from their own machines' addresses.
        QFile hba(data() + u"/pg_hba.conf");
        ASSERT_TRUE(hba.open(QIODevice::Append));
        hba.write("host all all 198.18.0.0/15 trust\n");
        hba.close();
        ASSERT_TRUE(startServer());
        connstr_ = QStringLiteral(
                       "Provider=PostgreSQL;Host=%1;Port=5432;Database=postgres;User "
                       "ID=qelto;Connect Timeout=3")
                       .arg(kServer);
        {
            NetHosts::Inside inside(*net_, 'h');
            ASSERT_TRUE(inside.ok());
            qelto::archive::initArchive(connstr_);
            const auto machine = qelto::wmi::loadSnapshot(kMachine);
            using Options = qelto::test::WsmanListenerOptions;
            for (int n = kFirst; n <= kLast; ++n)
                if (kindOf(n) == Host::Served)
                    listeners_.push_back(std::make_unique<qelto::test::WsmanListener>(
                        machine, Options().at(address(n), 5986).withBasic(kUser, kPassword)));
        }
        // An SSH host: a throwaway server of its own in the hosts' namespace with an account of
        // its own, on port 22 of its address through a relay there. The scanners know its key and
        // log in with the account's password from their credentials file.
        ASSERT_TRUE(QDir().mkpath(file(QStringLiteral("home/.ssh"))));
        QFile known(file(QStringLiteral("home/.ssh/known_hosts")));
        ASSERT_TRUE(known.open(QIODevice::WriteOnly));
        QByteArray logins;
        for (int n = kFirst; n <= kLast; ++n) {
            if (kindOf(n) != Host::Ssh) continue;
            sshds_.push_back(std::make_unique<TestSshd>(
                TestSshdOptions().withPassword(kSshPassword).through(net_->exec('h', {}))));
            QELTO_SKIP_UNLESS_UP(*sshds_.back());
            const TestSshd& sshd = *sshds_.back();
            ASSERT_TRUE(net_->relay(address(n), 22, sshd.port, 0, sshd.address));
            known.write((address(n) + u' ' + sshd.hostKeyLine + u'\n').toUtf8());
            logins += QStringLiteral("%1 %2 %3\n")
                          .arg(address(n), sshd.passwordUser, kSshPassword)
                          .toUtf8();
        }
        known.close();
        QFile ca(file(QStringLiteral("ca.pem"))), people(file(QStringLiteral("people.csv")));
        ASSERT_TRUE(ca.open(QIODevice::WriteOnly) && people.open(QIODevice::WriteOnly));
        for (const auto& l : listeners_) {
            ASSERT_TRUE(l->ok()) << l->error().toStdString();
            QFile one(l->caFile());
            ASSERT_TRUE(one.open(QIODevice::ReadOnly));
            ca.write(one.readAll());
        }
        for (int n = kFirst; n <= kLast; ++n) {
            people.write(QStringLiteral("%1,%2,%3\n")
                             .arg(address(n), departmentOf(n), personOf(n))
                             .toUtf8());
            for (int port : {22, 5985, 5986}) {
                if (kindOf(n) == Host::Silent) {
                    ASSERT_TRUE(net_->drop(address(n), port));
                } else if (kindOf(n) == Host::Refused) {
                    ASSERT_TRUE(net_->reject(address(n), port));
                }
            }
        }
        ca.close();
        people.close();
        QFile credentials(file(QStringLiteral("credentials")));
        ASSERT_TRUE(credentials.open(QIODevice::WriteOnly));
        // The first line that matches counts: the SSH hosts' own, then every other host's.
        credentials.write(logins +
                          QStringLiteral("198.18.12.* %1 %2\n").arg(kUser, kPassword).toUtf8());
        credentials.close();
        ASSERT_TRUE(credentials.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        QString out;
        ASSERT_EQ(
            cli({QStringLiteral("queue"), QStringLiteral("add"), QStringLiteral("198.18.12.64/26"),
                 QStringLiteral("--every"), QStringLiteral("1h"), QStringLiteral("--people"),
                 file(QStringLiteral("people.csv"))},
                &out),
            0)
            << out.toStdString();
    }

    void TearDown() override {
        for (auto& w : scanners_) {
            w->kill();
            w->waitForFinished(5000);
        }
        if (started_)
            postgres(QStringLiteral("pg_ctl"),
                     {QStringLiteral("-D"), data(), QStringLiteral("-m"),
                      QStringLiteral("immediate"), QStringLiteral("stop")});
    }

    QString file(const QString& name) const { return dir_.filePath(name); }
    QString data() const { return file(QStringLiteral("data")); }

    // One of PostgreSQL's programs, as its system user, in the hosts' namespace.
    bool postgres(const QString& program, const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir_.path());
        const QStringList command =
            net_->exec('h', QStringList{QStringLiteral("runuser"), QStringLiteral("-u"),
                                        QStringLiteral("postgres"), QStringLiteral("--"),
                                        bin_ + u'/' + program} +
                                args);
        p.start(command.first(), command.mid(1));
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished(2000);
        }
        if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            ADD_FAILURE() << program.toStdString() << ": "
                          << p.readAllStandardError().toStdString();
            return false;
        }
        return true;
    }
    bool startServer() {
        started_ = postgres(
            QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), data(), QStringLiteral("-l"), file(QStringLiteral("server.log")),
             QStringLiteral("-w"), QStringLiteral("-o"),
             QStringLiteral("-c listen_addresses=%1 -p 5432 -k %2 -c fsync=off "
                            "-c max_connections=100")
                 .arg(kServer, dir_.path()),
             QStringLiteral("start")});
        return started_;
    }

    // qelto-cli `args` on the archive server's machine; its exit status.
    int cli(const QStringList& args, QString* out = nullptr) {
        const auto p = start(net_->exec('h', QStringList{QStringLiteral(QELTO_CLI)} + args));
        if (!p->waitForFinished(60000)) return -1;
        if (out) *out = QString::fromUtf8(p->readAllStandardOutput() + p->readAllStandardError());
        return p->exitCode();
    }
    std::unique_ptr<QProcess> start(const QStringList& command) const {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QELTO_ARCHIVE"), connstr_);
        env.remove(QStringLiteral("QELTO_ARCHIVE_PASSWORD"));
        env.remove(QStringLiteral("QELTO_CA_FILE"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("HOME"), file(QStringLiteral("home")));  // the known SSH keys
        p->setProcessEnvironment(env);
        p->setStandardInputFile(QProcess::nullDevice());
        p->start(command.first(), command.mid(1));
        return p;
    }
    // Scanner `k` on machine `k`: two scans at a time, a lease a little longer than a scan may
    // take, looking at the queue every second.
    void startScanners() {
        for (int k = 1; k <= kScanners; ++k)
            scanners_.push_back(start(net_->execInClient(
                k, {QStringLiteral(QELTO_CLI), QStringLiteral("worker"), QStringLiteral("--name"),
                    QStringLiteral("w%1").arg(k), QStringLiteral("--jobs"), QStringLiteral("2"),
                    QStringLiteral("--lease"), QStringLiteral("11s"),
                    QStringLiteral("--connect-timeout"), QStringLiteral("2"),
                    QStringLiteral("--timeout"), QStringLiteral("8"), QStringLiteral("--poll"),
                    QStringLiteral("1s"), QStringLiteral("--credentials"),
                    file(QStringLiteral("credentials")), QStringLiteral("--ca-file"),
                    file(QStringLiteral("ca.pem"))})));
    }
    // SIGTERM to the scanners still running: each ends at once (nothing is in flight) and well.
    // Their stderr, together.
    QString stopScanners() {
        QString err;
        for (auto& w : scanners_) {
            if (w->state() == QProcess::NotRunning) continue;
            w->terminate();
            EXPECT_TRUE(w->waitForFinished(15000));
            const QString text = QString::fromUtf8(w->readAllStandardError());
            EXPECT_EQ(w->exitCode(), 0) << text.toStdString();
            err += text;
        }
        return err;
    }

    // The queue, read from the hosts' namespace; empty while the server is away.
    std::vector<q::Target> targets() const {
        NetHosts::Inside inside(*net_, 'h');
        try {
            return q::listTargets(connstr_);
        } catch (const qelto::archive::ArchiveError&) {
            return {};
        }
    }
    // Looks at the queue every 100 ms until `done` holds of it, at most `ms`; the queue then.
    std::vector<q::Target> waitFor(const std::function<bool(const std::vector<q::Target>&)>& done,
                                   int ms) const {
        QElapsedTimer clock;
        clock.start();
        std::vector<q::Target> all = targets();
        while (!done(all) && clock.elapsed() < ms) {
            QThread::msleep(100);
            all = targets();
        }
        return all;
    }
    // The round is over: every host tried and released, every served one saved.
    static bool roundOver(const std::vector<q::Target>& all) {
        if (all.size() != size_t(kLast - kFirst + 1)) return false;
        for (const q::Target& t : all)
            if (!t.worker.isEmpty() || t.lastOk != reachable(numberOf(t.host))) return false;
        return true;
    }
    static qint64 saved(const std::vector<q::Target>& all) {
        qint64 n = 0;
        for (const q::Target& t : all) n += t.scans;
        return n;
    }

    // How many rows of `table` each department/person has.
    QHash<QString, int> rowsByOwner(const QString& table) const {
        NetHosts::Inside inside(*net_, 'h');
        const auto rs =
            qelto::archive::opensql(connstr_, QStringLiteral("select 部门, 使用人 from ") + table);
        QHash<QString, int> rows;
        for (; !rs->atEnd(); rs->MoveNext())
            ++rows[rs->Fields(QStringLiteral("部门")).Value().toString() + u'/' +
                   rs->Fields(QStringLiteral("使用人")).Value().toString()];
        return rows;
    }
    // Each reachable host saved once, in info and in scans under the department and person it
    // was queued for, as many rows in all as the queue counted; every other host failed and saved
    // nothing.
    void expectSavedOnce(const std::vector<q::Target>& all) const {
        ASSERT_EQ(all.size(), size_t(kLast - kFirst + 1));
        const QHash<QString, int> info = rowsByOwner(QStringLiteral("info"));
        const QHash<QString, int> scans = rowsByOwner(QStringLiteral("scans"));
        for (const q::Target& t : all) {
            SCOPED_TRACE(t.host.toStdString());
            const bool served = reachable(numberOf(t.host));
            EXPECT_EQ(t.scans, served ? 1 : 0);
            EXPECT_EQ(info.value(ownerOf(numberOf(t.host))), served ? 1 : 0);
            EXPECT_EQ(scans.value(ownerOf(numberOf(t.host))), served ? 1 : 0);
            EXPECT_EQ(t.lastOk, std::optional<bool>(served));
            EXPECT_EQ(t.failures > 0, !served);
        }
        int infoRows = 0, scanRows = 0;
        for (int n : info) infoRows += n;
        for (int n : scans) scanRows += n;
        EXPECT_EQ(saved(all), servedCount());
        EXPECT_EQ(infoRows, saved(all));
        EXPECT_EQ(scanRows, saved(all));
    }

    std::unique_ptr<NetHosts> net_;
    QTemporaryDir dir_;
    QString bin_, connstr_;
    bool started_ = false;
    std::vector<std::unique_ptr<qelto::test::WsmanListener>> listeners_;
    std::vector<std::unique_ptr<TestSshd>> sshds_;
    std::vector<std::unique_ptr<QProcess>> scanners_;
};

TEST_F(QueueAcrossNetwork, EachDueHostIsScannedOnceAndAKilledScannerLosesNothing) {
    QElapsedTimer clock;
    clock.start();
    startScanners();
    // Scanner 1 is killed while it holds targets; what it holds then was in flight. It is
    // stopped before the queue is read, so that it cannot finish them between the look and the
    // kill; stopped holding nothing, it goes on and is looked at again.
    QProcess& first = *scanners_.front();
    const auto heldByFirst = [this] {
        QSet<QString> held;
        for (const q::Target& t : targets())
            if (t.worker == u"w1") held.insert(t.host);
        return held;
    };
    QSet<QString> lost;
    for (int tries = 0; lost.isEmpty() && tries < 100 && clock.elapsed() < 20000; ++tries) {
        ASSERT_EQ(::kill(pid_t(first.processId()), SIGSTOP), 0);
        lost = heldByFirst();
        if (lost.isEmpty()) {
            ASSERT_EQ(::kill(pid_t(first.processId()), SIGCONT), 0);
            QThread::msleep(50);
        }
    }
    ASSERT_FALSE(lost.isEmpty()) << "scanner 1 never held a target";
    first.kill();
    ASSERT_TRUE(first.waitForFinished(5000));

    // The others take them over when their lease ends.
    ASSERT_TRUE(roundOver(waitFor(roundOver, 45000)));
    stopScanners();
    const std::vector<q::Target> all = targets();
    expectSavedOnce(all);
    // Every claim ended in one save or one recorded failure, but the killed scanner's.
    for (const q::Target& t : all) {
        SCOPED_TRACE(t.host.toStdString());
        const bool served = reachable(numberOf(t.host));
        EXPECT_EQ(t.claim - (lost.contains(t.host) ? 1 : 0), served ? 1 : t.failures);
    }

    QString out;
    ASSERT_EQ(
        cli({QStringLiteral("queue"), QStringLiteral("list"), QStringLiteral("--json")}, &out), 0);
    const QJsonArray listed =
        QJsonDocument::fromJson(out.toUtf8())[QStringLiteral("targets")].toArray();
    ASSERT_EQ(listed.size(), qsizetype(all.size())) << out.toStdString();
    for (qsizetype i = 0; i < listed.size(); ++i) {
        const QJsonObject o = listed[i].toObject();
        const int n = numberOf(o[u"host"].toString());
        SCOPED_TRACE(o[u"host"].toString().toStdString());
        EXPECT_EQ(o[u"host"].toString(), all[size_t(i)].host);
        EXPECT_EQ(o[u"department"].toString() + u'/' + o[u"person"].toString(), ownerOf(n));
        EXPECT_EQ(o[u"claims"].toInteger(), all[size_t(i)].claim);
        EXPECT_FALSE(o.contains(u"worker"));
        if (reachable(n)) {
            EXPECT_EQ(o[u"state"].toString(), QStringLiteral("等待"));
            EXPECT_EQ(o[u"lastResult"].toString(), QStringLiteral("ok"));
        } else {
            EXPECT_NE(o[u"state"].toString(), QStringLiteral("检测中"));
            EXPECT_EQ(o[u"lastResult"].toString(), QStringLiteral("failed"));
            EXPECT_TRUE(o[u"lastMessage"].toString().contains(u"不存在或没有开机"));
        }
    }
    for (const auto& l : listeners_) EXPECT_TRUE(l->violations().isEmpty());
    EXPECT_LT(clock.elapsed(), 45000);
}

TEST_F(QueueAcrossNetwork, AServerRestartedInTheMiddleOfARoundLosesNoScanAndKeepsNoneTwice) {
    // The upper half of the hosts falls due a few seconds later: the restart finds them waiting.
    {
        NetHosts::Inside inside(*net_, 'h');
        qelto::archive::Session s(connstr_, false);
        ASSERT_GT(s.exec(QStringLiteral("UPDATE scan_queue SET due = due + 4 WHERE host >= ?"),
                         {address(96)}),
                  0);
    }
    QElapsedTimer clock;
    clock.start();
    startScanners();
    const std::vector<q::Target> before =
        waitFor([](const std::vector<q::Target>& all) { return saved(all) > 0; }, 15000);
    ASSERT_GT(saved(before), 0);
    ASSERT_LT(saved(before), servedCount());  // in the middle of the round
    ASSERT_TRUE(
        postgres(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data(), QStringLiteral("-m"),
                                            QStringLiteral("immediate"), QStringLiteral("stop")}));
    started_ = false;
    QThread::msleep(3000);  // away for longer than a scanner waits between looks at the queue
    ASSERT_TRUE(startServer());
    const std::vector<q::Target> after = waitFor(roundOver, 45000);
    ASSERT_TRUE(roundOver(after));
    const QString err = stopScanners();
    // The scanners noticed, and carried on with the server back.
    EXPECT_TRUE(err.contains(u"无法领取目标") || err.contains(u"无法连接档案数据库"))
        << err.toStdString();
    expectSavedOnce(targets());
    for (const auto& l : listeners_) EXPECT_TRUE(l->violations().isEmpty());
    EXPECT_LT(clock.elapsed(), 45000);
}

}  // namespace
