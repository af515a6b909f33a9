// What the Linux source takes from places it cannot trust: a folder that any user can fill, a
// routing table of any length, a recorded machine whose links point out of it, and zone names
// that point at files of this machine.

#include "sources/linux/gather.h"
#include "sources/linux/local.h"
#include "sources/linux/parsers.h"
#include "sources/linux/source.h"
#include "sources/linux/stream.h"
#include "sources/linux/zone.h"
#include "wmi/store.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
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

TEST(ZoneNames, OnlyRegularZoneFilesInsideTheZoneFolderCount) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString zones = dir.path() + QStringLiteral("/zones");
    QFile utc(QStringLiteral("/usr/share/zoneinfo/UTC"));
    const QByteArray tzif = utc.open(QIODevice::ReadOnly) ? utc.read(4096) : QByteArray();
    ASSERT_TRUE(tzif.startsWith("TZif")) << "this machine has no zone database";
    write(zones + QStringLiteral("/Asia/Here"), tzif);
    write(zones + QStringLiteral("/Big"), tzif + QByteArray(2 * 1024 * 1024, 0));
    write(zones + QStringLiteral("/Text"), QByteArray(100, 'x'));
    write(dir.path() + QStringLiteral("/Outside"), tzif);
    ASSERT_EQ(::mkfifo(QFile::encodeName(zones + QStringLiteral("/Pipe")).constData(), 0600), 0);
    const auto link = [&](const char* target, const char* at) {
        ASSERT_EQ(
            ::symlink(target, QFile::encodeName(zones + u'/' + QLatin1String(at)).constData()), 0);
    };
    link("Asia/Here", "Alias");
    link("../Outside", "Up");
    link("/dev/zero", "Zero");
    link(QFile::encodeName(zones + QStringLiteral("/Asia/Here")).constData(), "Absolute");
    const struct {
        const char* name;
        bool zone;
    } cases[] = {
        {"Asia/Here", true},    {"Alias", true},          {"Asia", false},
        {"Big", false},         {"Text", false},          {"Pipe", false},
        {"Up", false},          {"Zero", false},          {"Absolute", false},
        {"../Outside", false},  {"Asia/../Alias", false}, {"./Alias", false},
        {"Asia//Here", false},  {"/Asia/Here", false},    {"Asia/Here/", false},
        {"Asia/Here\n", false}, {"Missing", false},       {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wmi::lnx::isZoneFile(QString::fromLatin1(c.name), QFile::encodeName(zones)),
                  c.zone)
            << c.name;
    for (const char* rule : {"CST-8", "<+0530>-5:30", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT"})
        EXPECT_TRUE(wmi::lnx::isPosixZoneRule(QLatin1String(rule))) << rule;
    for (const char* rule : {"../../x", "CST-8/..", "/CST-8", "Asia/Shanghai", "CST-8,M3.5.0"})
        EXPECT_FALSE(wmi::lnx::isPosixZoneRule(QLatin1String(rule))) << rule;
}

// A zone name from the gathered machine (its TZ, its /etc/localtime link, /etc/timezone) that
// points out of the zone folder: at a pipe that would block a reader, or at a device. The machine
// is built at once, the zone is that of the clock probe (+05:30), and nothing is opened.
TEST(ZoneNames, ANameOutsideTheZoneDatabaseOpensNothingAndTheClockDecides) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fifo = dir.path() + QStringLiteral("/fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString device = dir.path() + QStringLiteral("/zero");
    const bool root = ::geteuid() == 0;
    if (root)
        ASSERT_EQ(::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0600, ::makedev(1, 5)),
                  0);
    else
        std::printf("[ SKIPPED ] a device of the test's own needs root: the device rows skip\n");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(fifo).constData(), IN_OPEN), 0);
    if (root) {
        ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(device).constData(), IN_OPEN), 0);
    }
    const QString up = QStringLiteral("../../../../../../../../../..");
    QStringList names{up + fifo, fifo, u':' + fifo,
                      QStringLiteral("/usr/share/zoneinfo/") + up + fifo,
                      QStringLiteral("Asia/") + up + fifo};
    if (root) names << device << up + device;
    for (const QString& name : names) {
        for (const char* where : {"zone", "link", "timezone"}) {
            SCOPED_TRACE(name.toStdString() + " as " + where);
            Gathered g;
            g.addProbe(QStringLiteral("clock"), "1765000000 0 19800\n");  // +05:30
            g.addFile(QStringLiteral("/proc/stat"), "btime 1750000000\n");
            if (QLatin1String(where) == u"zone") g.addProbe(QStringLiteral("zone"), name.toUtf8());
            if (QLatin1String(where) == u"link") g.addLink(QStringLiteral("/etc/localtime"), name);
            if (QLatin1String(where) == u"timezone")
                g.addFile(QStringLiteral("/etc/timezone"), name.toUtf8() + '\n');
            auto built = std::async(std::launch::async, [&] { return wmi::lnx::buildStore(g); });
            if (built.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) ::close(fd);  // let the blocked reader go
                built.wait();
                ADD_FAILURE() << "the zone name opened the pipe";
                continue;
            }
            const auto store = built.get();
            const auto* os = store->findClass(u"Win32_OperatingSystem");
            ASSERT_TRUE(os && !os->items.empty());
            EXPECT_EQ(os->items[0]->find(u"LastBootUpTime")->value.textValue().right(4), u"+330");
        }
    }
    inotify_event events[8];
    EXPECT_LE(::read(watch, events, sizeof events), 0)
        << "a file outside the zone folder was opened";
    ::close(watch);
}

// The same through a recorded machine's folder: its TZ, /etc/timezone and /etc/localtime link.
TEST(ZoneNames, ARecordedMachineNamingAPipeIsReplayedAtOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fifo = dir.path() + QStringLiteral("/fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString root = dir.path() + QStringLiteral("/machine");
    const QString name = QStringLiteral("../../../../../../../../../..") + fifo;
    write(root + QStringLiteral("/.probes/clock"), "1765000000 0 19800\n");
    write(root + QStringLiteral("/.probes/zone"), name.toUtf8() + '\n');
    write(root + QStringLiteral("/etc/timezone"), name.toUtf8() + '\n');
    write(root + QStringLiteral("/proc/stat"), "btime 1750000000\n");
    ASSERT_EQ(
        ::symlink(QFile::encodeName(QStringLiteral("/usr/share/zoneinfo/") + name).constData(),
                  QFile::encodeName(root + QStringLiteral("/etc/localtime")).constData()),
        0);
    auto replay = std::async(std::launch::async, [&] { return wmi::lnx::scanLocal(root); });
    if (replay.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        replay.wait();
        FAIL() << "the replay opened the pipe";
    }
    const auto store = replay.get();
    const auto* os = store->findClass(u"Win32_OperatingSystem");
    ASSERT_TRUE(os && !os->items.empty());
    EXPECT_EQ(os->items[0]->find(u"LastBootUpTime")->value.textValue().right(4), u"+330");
}

TEST(LocaleNames, OnlyTheCharactersOfALocaleNameReachTheLocaleData) {
    const struct {
        const char* lang;
        qint64 code;
    } cases[] = {{"zh_CN.UTF-8", 2052},
                 {"../../../../tmp/zh_CN", 1033},
                 {"zh_CN/..", 1033},
                 {"/usr/share/i18n/locales/zh_CN", 1033}};
    for (const auto& c : cases) {
        Gathered g;
        g.addFile(QStringLiteral("/etc/default/locale"), QByteArray("LANG=") + c.lang + '\n');
        const auto store = wmi::lnx::buildStore(g);
        const auto* os = store->findClass(u"Win32_OperatingSystem");
        ASSERT_TRUE(os && !os->items.empty());
        EXPECT_EQ(os->items[0]->find(u"OSLanguage")->value, wmi::Variant(c.code)) << c.lang;
    }
}

}  // namespace
}  // namespace qelto::test
