// What the Linux source takes from places it cannot trust: a folder that any user can fill, a
// routing table of any length, and a recorded machine whose links point out of it.

#include "wmi/linux/gather.h"
#include "wmi/linux/parsers.h"
#include "wmi/linux/stream.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

namespace qelto::test {
namespace {

using wmi::lnx::Gathered;
using wmi::lnx::GatherPlan;

void write(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(content);
}

// The files of a gathering under a folder: name -> size.
std::map<QString, qsizetype> filesUnder(const Gathered& g, const QString& dir) {
    std::map<QString, qsizetype> out;
    for (auto it = g.files().cbegin(); it != g.files().cend(); ++it)
        if (it.key().startsWith(dir + u'/')) out[it.key().mid(dir.size() + 1)] = it.value().size();
    return out;
}

TEST(UserFolder, OnlyTheFirstFilesAreReadAndEachIsCut) {
    // 300 shares, every tenth of them 40 KiB, a pipe and a folder among them.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString shares = dir.path() + QStringLiteral("/shares");
    for (int i = 0; i < 300; ++i)
        write(shares + QStringLiteral("/s%1").arg(i, 3, 10, QLatin1Char('0')),
              i % 10 == 0 ? QByteArray(40 * 1024, 'x') : QByteArray("path=/srv\n"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(shares + QStringLiteral("/s000a")).constData(), 0600), 0);
    QDir().mkpath(shares + QStringLiteral("/s000b"));
    GatherPlan plan;
    plan.userGlobs = QStringList{shares + QStringLiteral("/*")};

    const Gathered local = wmi::lnx::gatherLocal(plan);
    const auto files = filesUnder(local, shares);
    ASSERT_EQ(files.size(), std::size_t(wmi::lnx::kMaxUserFiles));
    EXPECT_EQ(files.begin()->first, u"s000");
    EXPECT_EQ(files.rbegin()->first, u"s255");
    EXPECT_EQ(files.at(QStringLiteral("s010")), wmi::lnx::kMaxUserFileBytes);
    EXPECT_EQ(files.at(QStringLiteral("s011")), 10);
    EXPECT_TRUE(local.isDir(shares + QStringLiteral("/s000b")));

    // The remote script takes the same files, cut the same way.
    const QString sh = QStandardPaths::findExecutable(QStringLiteral("sh"));
    if (sh.isEmpty()) GTEST_SKIP() << "no sh to run the remote script with";
    const QByteArray boundary = wmi::lnx::newBoundary();
    QProcess p;
    p.start(sh, {QStringLiteral("-s")});
    p.write(wmi::lnx::remoteScript(plan, boundary, false));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(60000));
    const Gathered remote = wmi::lnx::decodeGathered(p.readAllStandardOutput(), boundary);
    EXPECT_EQ(filesUnder(remote, shares), files);
}

TEST(Routes, ManyDefaultRoutesAreReadInLinearTime) {
    // 50,000 default routes with distinct gateways on one interface, and each again.
    QByteArray route = "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n";
    for (int pass = 0; pass < 2; ++pass)
        for (quint32 i = 1; i <= 50000; ++i)
            route += "eth0\t00000000\t" + QByteArray::number(i, 16).rightJustified(8, '0') +
                     "\t0003\t0\t0\t100\t00000000\n";
    QElapsedTimer timer;
    timer.start();
    const auto gateways = wmi::lnx::parseDefaultGateways(route, {});
    EXPECT_LT(timer.elapsed(), 5000) << "parsing took " << timer.elapsed() << " ms";
    const QStringList eth0 = gateways.value(QStringLiteral("eth0"));
    ASSERT_EQ(eth0.size(), 50000);
    EXPECT_EQ(eth0.first(), u"1.0.0.0");  // in the order of the table
    EXPECT_EQ(eth0.last(), u"80.195.0.0");
}

TEST(RecordedMachine, LinksAndProbesStayInsideTheRecordedFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path();
    write(root + QStringLiteral("/usr/lib/os-release"), "ID=recorded\n");
    write(root + QStringLiteral("/etc/hostname"), "recorded-host\n");
    QDir().mkpath(root + QStringLiteral("/.probes"));
    QDir().mkpath(root + QStringLiteral("/etc/deep"));
    // Absolute links, and a ".." that climbs above the recorded root, as the machine had them.
    const auto link = [&](const char* target, const char* at) {
        ASSERT_EQ(::symlink(target, QFile::encodeName(root + QString::fromLatin1(at)).constData()),
                  0);
    };
    link("/usr/lib/os-release", "/etc/os-release");
    link("../../../../../../../../etc/hostname", "/etc/deep/name");
    link("/etc", "/etc/self");
    link("/etc/hostname", "/.probes/uname");
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + QStringLiteral("/.probes/uid")).constData(), 0600),
              0);

    GatherPlan plan;
    plan.files = QStringList{QStringLiteral("/etc/os-release"), QStringLiteral("/etc/deep/name")};
    plan.links = QStringList{QStringLiteral("/etc/os-release"), QStringLiteral("/etc/self")};
    plan.lists = QStringList{QStringLiteral("/etc/self")};
    plan.probes = QStringList{QStringLiteral("uname"), QStringLiteral("uid")};
    auto gathering =
        std::async(std::launch::async, [&] { return wmi::lnx::gatherLocal(plan, root); });
    if (gathering.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // A reader waiting for the pipe's writer: give it one, so that the test can end.
        const int fd = ::open(QFile::encodeName(root + QStringLiteral("/.probes/uid")).constData(),
                              O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        FAIL() << "gathering waited on a pipe";
    }
    const Gathered g = gathering.get();
    EXPECT_EQ(g.text(QStringLiteral("/etc/os-release")), "ID=recorded\n");
    EXPECT_EQ(g.text(QStringLiteral("/etc/deep/name")), "recorded-host\n");
    EXPECT_EQ(g.link(QStringLiteral("/etc/os-release")), u"/usr/lib/os-release");
    EXPECT_EQ(g.link(QStringLiteral("/etc/self")), u"/etc");
    EXPECT_TRUE(g.list(QStringLiteral("/etc/self")).value_or(QStringList()).contains(u"hostname"));
    EXPECT_EQ(g.probe(QStringLiteral("uname")).value_or("<none>"), "recorded-host\n");
    EXPECT_FALSE(g.probe(QStringLiteral("uid")).has_value());
}

}  // namespace
}  // namespace qelto::test
