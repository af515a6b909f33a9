// The scan queue and its workers: targets claimed once across several workers, a save that no
// longer holds its claim refused, and a worker killed in the middle of its scans losing nothing.

#include "archive_target.h"
#include "support/core_application.h"

#include "archive/connection.h"
#include "archive/history.h"
#include "archive/queue.h"
#include "wmi/snapshot.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>

namespace qelto::archive::queue {
namespace {

using Engine = ArchiveTarget::Engine;

class Queue : public ::testing::TestWithParam<Engine> {
  protected:
    void SetUp() override {
        if (GetParam() == Engine::PostgreSQL && ArchiveTarget::serverConnectionString().isEmpty())
            GTEST_SKIP() << ArchiveTarget::skipMessage();
        target_ = std::make_unique<ArchiveTarget>(GetParam());
        initArchive(connstr());
    }
    const QString& connstr() const { return target_->connstr(); }
    std::unique_ptr<QProcess> start(const QStringList& args) const {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QELTO_ARCHIVE"), connstr());
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(QELTO_CLI), args);
        return p;
    }
    int run(const QStringList& args, QString* out = nullptr) const {
        const auto p = start(args);
        if (!p->waitForFinished(60000)) return -1;
        if (out) *out = QString::fromUtf8(p->readAllStandardOutput());
        return p->exitCode();
    }
    int count(const QString& table) const {
        return opensql(connstr(), QStringLiteral("select * from ") + table)->RecordCount();
    }
    std::unique_ptr<ArchiveTarget> target_;
};

TEST_P(Queue, EveryDueTargetIsScannedOnceAcrossTheWorkers) {
    QStringList add{QStringLiteral("queue"),        QStringLiteral("add"),
                    QStringLiteral("--every"),      QStringLiteral("1h"),
                    QStringLiteral("--department"), QStringLiteral("信息部"),
                    QStringLiteral("--person"),     QStringLiteral("张三")};
    for (int i = 1; i <= 24; ++i) add << QStringLiteral("pc-%1").arg(i, 2, 10, QLatin1Char('0'));
    ASSERT_EQ(run(add), 0);
    // SQLite takes one worker at a time; a server several.
    const int workers = GetParam() == Engine::SQLite ? 1 : 3;
    std::vector<std::unique_ptr<QProcess>> running;
    for (int w = 0; w < workers; ++w)
        running.push_back(start({QStringLiteral("worker"), QStringLiteral("--once"),
                                 QStringLiteral("--jobs"), QStringLiteral("4"),
                                 QStringLiteral("--snapshot"), QStringLiteral(QELTO_MACHINE)}));
    for (const auto& p : running) {
        ASSERT_TRUE(p->waitForFinished(60000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    EXPECT_EQ(count(QStringLiteral("info")), 24);
    EXPECT_EQ(count(QStringLiteral("scans")), 24);
    const std::vector<Target> all = listTargets(connstr());
    ASSERT_EQ(all.size(), 24u);
    const qint64 now = archiveNow(connstr());
    for (const Target& t : all) {
        EXPECT_EQ(t.scans, 1) << t.host.toStdString();
        EXPECT_EQ(t.claim, 1) << t.host.toStdString();
        EXPECT_TRUE(t.worker.isEmpty());
        EXPECT_NEAR(double(t.due.value_or(0)), double(now + 3600), 60.0);
    }
    // Nothing is due now: another round scans nothing. (An SQLite archive named as people type
    // it: the file's name alone.)
    QStringList again{QStringLiteral("worker"), QStringLiteral("--once"),
                      QStringLiteral("--snapshot"), QStringLiteral(QELTO_MACHINE)};
    if (GetParam() == Engine::SQLite)
        again << QStringLiteral("--archive") << parseConnectionString(connstr()).file;
    ASSERT_EQ(run(again), 0);
    EXPECT_EQ(count(QStringLiteral("scans")), 24);
    QString out;
    ASSERT_EQ(
        run({QStringLiteral("queue"), QStringLiteral("list"), QStringLiteral("--json")}, &out), 0);
    const QJsonArray listed =
        QJsonDocument::fromJson(out.toUtf8())[QStringLiteral("targets")].toArray();
    ASSERT_EQ(listed.size(), 24);
    for (const QJsonValue& v : listed) {
        EXPECT_EQ(v[QStringLiteral("state")].toString(), QStringLiteral("等待"));
        EXPECT_EQ(v[QStringLiteral("lastResult")].toString(), QStringLiteral("ok"));
        EXPECT_EQ(v[QStringLiteral("person")].toString(), QStringLiteral("张三"));
    }
}

TEST_P(Queue, ASaveWhoseClaimWasTakenOverIsRefused) {
    addTargets(connstr(),
               {{QStringLiteral("pc-1"), QStringLiteral("信息部"), QStringLiteral("张三")}}, 0);
    // A lease of no time ends at once: a second worker takes the target over.
    const std::vector<Target> first = claimTargets(connstr(), QStringLiteral("a"), 5, 0);
    ASSERT_EQ(first.size(), 1u);
    const std::vector<Target> second = claimTargets(connstr(), QStringLiteral("b"), 5, 300);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(claimTargets(connstr(), QStringLiteral("c"), 5, 300).empty());

    const auto answers = wmi::loadSnapshot(QStringLiteral(QELTO_MACHINE));
    const Replay replay = replayScan(answers);
    const bool sqlite = GetParam() == Engine::SQLite;
    const SaveGuard stale = releaseAfterSave(first[0], sqlite);
    try {
        saveScan(connstr(), QStringLiteral("信息部"), QStringLiteral("张三"), replay.record,
                 answers.get(), QDateTime::currentDateTime(), &stale);
        ADD_FAILURE() << "a stale claim saved";
    } catch (const ArchiveError& e) {
        EXPECT_EQ(e.kind(), ArchiveError::Kind::Conflict);
    }
    EXPECT_FALSE(recordFailure(connstr(), first[0], QStringLiteral("x")));
    EXPECT_EQ(count(QStringLiteral("info")), 0);
    EXPECT_EQ(count(QStringLiteral("scans")), 0);
    const SaveGuard current = releaseAfterSave(second[0], sqlite);
    saveScan(connstr(), QStringLiteral("信息部"), QStringLiteral("张三"), replay.record,
             answers.get(), QDateTime::currentDateTime(), &current);
    EXPECT_EQ(count(QStringLiteral("info")), 1);
    // A save whose commit went through unanswered (the server restarting) is no failure.
    EXPECT_FALSE(recordFailure(connstr(), second[0], QStringLiteral("x")));
    const Target done = listTargets(connstr()).at(0);
    EXPECT_EQ(done.scans, 1);
    EXPECT_EQ(done.lastOk, std::optional<bool>(true));
    EXPECT_FALSE(done.due.has_value());  // once, and done
}

TEST_P(Queue, AWorkerKilledInTheMiddleOfItsScansLosesNothing) {
    // Hosts that take the connection and never say a word: each scan lasts its connect time-out.
    std::vector<std::unique_ptr<QTcpServer>> silent;
    QStringList add{QStringLiteral("queue"),        QStringLiteral("add"),
                    QStringLiteral("--department"), QStringLiteral("信息部"),
                    QStringLiteral("--person"),     QStringLiteral("张三")};
    for (int i = 0; i < 4; ++i) {
        silent.push_back(std::make_unique<QTcpServer>());
        ASSERT_TRUE(silent.back()->listen(QHostAddress::LocalHost));
        add << QStringLiteral("ssh://127.0.0.1:%1").arg(silent.back()->serverPort());
    }
    ASSERT_EQ(run(add), 0);
    const QStringList worker{
        QStringLiteral("worker"),  QStringLiteral("--jobs"),    QStringLiteral("4"),
        QStringLiteral("--lease"), QStringLiteral("4s"),        QStringLiteral("--connect-timeout"),
        QStringLiteral("2"),       QStringLiteral("--timeout"), QStringLiteral("1"),
        QStringLiteral("--poll"),  QStringLiteral("1s")};
    const auto killed = start(worker);
    QElapsedTimer clock;
    clock.start();
    int leased = 0;
    while (leased < 4 && clock.elapsed() < 5000) {
        QThread::msleep(100);
        leased = 0;
        for (const Target& t : listTargets(connstr())) leased += t.worker.isEmpty() ? 0 : 1;
    }
    ASSERT_EQ(leased, 4);
    killed->kill();  // SIGKILL, in the middle of its four scans
    killed->waitForFinished(5000);
    // Still leased: another worker leaves them alone until the lease ends...
    ASSERT_EQ(run(worker + QStringList{QStringLiteral("--once")}), 0);
    for (const Target& t : listTargets(connstr())) EXPECT_EQ(t.claim, 1);
    // ...and then scans each of them once.
    QThread::msleep(4500);
    ASSERT_EQ(run(worker + QStringList{QStringLiteral("--once")}), 0);
    for (const Target& t : listTargets(connstr())) {
        EXPECT_EQ(t.claim, 2) << t.host.toStdString();
        EXPECT_EQ(t.failures, 1);
        EXPECT_EQ(t.lastOk, std::optional<bool>(false));
        EXPECT_FALSE(t.lastMessage.isEmpty());
        EXPECT_TRUE(t.worker.isEmpty());
        EXPECT_GE(t.due.value_or(0), *t.lastAt + 30);  // backed off
    }
}

TEST_P(Queue, SigtermFinishesTheScansInFlight) {
    QTcpServer silent;  // takes the connection, never says a word
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    ASSERT_EQ(run({QStringLiteral("queue"), QStringLiteral("add"),
                   QStringLiteral("ssh://127.0.0.1:%1").arg(silent.serverPort()),
                   QStringLiteral("--department"), QStringLiteral("信息部"),
                   QStringLiteral("--person"), QStringLiteral("张三")}),
              0);
    const auto worker =
        start({QStringLiteral("worker"), QStringLiteral("--lease"), QStringLiteral("1h"),
               QStringLiteral("--connect-timeout"), QStringLiteral("2"), QStringLiteral("--poll"),
               QStringLiteral("1s")});
    QElapsedTimer clock;
    clock.start();
    while (listTargets(connstr()).at(0).worker.isEmpty() && clock.elapsed() < 5000)
        QThread::msleep(100);
    worker->terminate();  // SIGTERM while the scan waits for the host
    ASSERT_TRUE(worker->waitForFinished(10000));
    EXPECT_EQ(worker->exitCode(), 0);
    const Target t = listTargets(connstr()).at(0);
    EXPECT_EQ(t.claim, 1);
    EXPECT_EQ(t.failures, 1);  // its result recorded, the target released
    EXPECT_TRUE(t.worker.isEmpty());
}

TEST_P(Queue, WorkersWaitForAnArchiveThatRefusesThemAndKeepEachHostsReason) {
    if (GetParam() == Engine::SQLite) GTEST_SKIP() << "only a server refuses connections";
    // Three hosts that never answer fill the first worker's places; the archive refuses its
    // connections while they are scanned, and a second worker, started meanwhile, finds six
    // hosts added after the first one's round began.
    std::vector<std::unique_ptr<QTcpServer>> silent;
    const QStringList people{QStringLiteral("--department"), QStringLiteral("信息部"),
                             QStringLiteral("--person"), QStringLiteral("张三")};
    QStringList add{QStringLiteral("queue"), QStringLiteral("add")};
    for (int i = 0; i < 3; ++i) {
        silent.push_back(std::make_unique<QTcpServer>());
        ASSERT_TRUE(silent.back()->listen(QHostAddress::LocalHost));
        add << QStringLiteral("ssh://127.0.0.1:%1").arg(silent.back()->serverPort());
    }
    ASSERT_EQ(run(add + people), 0);
    const QStringList worker{
        QStringLiteral("worker"), QStringLiteral("--once"),  QStringLiteral("--jobs"),
        QStringLiteral("3"),      QStringLiteral("--lease"), QStringLiteral("2m"),
        QStringLiteral("--poll"), QStringLiteral("1s"),      QStringLiteral("--connect-timeout"),
        QStringLiteral("2")};
    const auto first = start(worker);
    QElapsedTimer clock;
    clock.start();
    int leased = 0;
    while (leased < 3 && clock.elapsed() < 5000) {
        QThread::msleep(50);
        leased = 0;
        for (const Target& t : listTargets(connstr())) leased += t.worker.isEmpty() ? 0 : 1;
    }
    ASSERT_EQ(leased, 3);
    QThread::msleep(1100);  // the archive's clock counts whole seconds
    add = QStringList{QStringLiteral("queue"), QStringLiteral("add")};
    for (int i = 1; i <= 6; ++i) add << QStringLiteral("pc-%1").arg(i);
    ASSERT_EQ(run(add + people), 0);
    ASSERT_TRUE(target_->refuseConnections(true));
    const auto second =
        start(worker + QStringList{QStringLiteral("--snapshot"), QStringLiteral(QELTO_MACHINE)});
    QThread::msleep(3000);  // the silent hosts' scans end meanwhile
    ASSERT_TRUE(target_->refuseConnections(false));
    for (QProcess* p : {first.get(), second.get()}) {
        ASSERT_TRUE(p->waitForFinished(60000));
        const QString err = QString::fromUtf8(p->readAllStandardError());
        EXPECT_EQ(p->exitCode(), 0) << err.toStdString();
        // Every line is one line of the log, the archive's reasons included.
        for (const QString& line : err.split(u'\n', Qt::SkipEmptyParts))
            EXPECT_TRUE(line.startsWith(u"20")) << line.toStdString();
        EXPECT_TRUE(err.contains(u"档案不可用")) << err.toStdString();  // and waited
    }
    EXPECT_EQ(count(QStringLiteral("scans")), 6);
    for (const Target& t : listTargets(connstr())) {
        SCOPED_TRACE(t.host.toStdString());
        EXPECT_EQ(t.claim, 1);
        const bool saved = t.host.startsWith(u"pc-");
        EXPECT_EQ(t.scans, saved ? 1 : 0);
        EXPECT_EQ(t.lastOk, std::optional<bool>(saved));
        // The host's own reason, never the archive's.
        EXPECT_EQ(t.lastMessage.isEmpty(), saved) << t.lastMessage.toStdString();
        EXPECT_FALSE(t.lastMessage.contains(u"档案")) << t.lastMessage.toStdString();
    }
}

TEST_P(Queue, CredentialsOthersCanReadAreRefused) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("credentials"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("* admin s3cret\n");
    f.close();
    // A worker whose archive file is missing ends at once rather than waiting for it.
    for (const QString& missing : {QStringLiteral("Data Source="), QString()})
        EXPECT_EQ(run({QStringLiteral("worker"), QStringLiteral("--once"),
                       QStringLiteral("--archive"), missing + dir.filePath(u"none.mdb"_qs)}),
                  1);
    for (const auto& [mode, status] : {std::pair{0644, 1}, std::pair{0600, 0}}) {
        ASSERT_EQ(::chmod(path.toLocal8Bit().constData(), mode_t(mode)), 0);
        EXPECT_EQ(run({QStringLiteral("worker"), QStringLiteral("--once"),
                       QStringLiteral("--credentials"), path}),
                  status)
            << mode;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Queue, ::testing::Values(Engine::SQLite, Engine::PostgreSQL),
                         [](const auto& info) {
                             return info.param == Engine::SQLite ? std::string("SQLite")
                                                                 : std::string("PostgreSQL");
                         });

}  // namespace
}  // namespace qelto::archive::queue
