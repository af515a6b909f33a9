// The full scans of the archive: kept by each save, listed, compared and replayed by qelto-cli,
// against SQLite and PostgreSQL; and an archive made before they were kept.

#include "archive_target.h"
#include "support/core_application.h"

#include "archive/archive.h"
#include "archive/history.h"
#include "archive/software.h"
#include "report/report.h"
#include "wmi/snapshot.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <set>
#include <tuple>

void PrintTo(ArchiveTarget::Engine engine, std::ostream* os) {
    *os << (engine == ArchiveTarget::Engine::SQLite ? "SQLite" : "PostgreSQL");
}

namespace qelto::archive {
namespace {

QByteArray machineJson() {
    QFile f(QStringLiteral(QELTO_MACHINE));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

// The recorded machine a while later: its second disk replaced by a larger one, and a new
// address on its wired adapter.
QByteArray laterMachineJson() {
    QJsonObject machine = QJsonDocument::fromJson(machineJson()).object();
    QJsonArray disks = machine[QStringLiteral("Win32_DiskDrive")].toArray();
    QJsonObject disk = disks[1].toObject();
    disk[QStringLiteral("Caption")] = QStringLiteral("ST4000DM004-2CV104");
    disk[QStringLiteral("Size")] = QStringLiteral("4000787030016");
    disks[1] = disk;
    machine[QStringLiteral("Win32_DiskDrive")] = disks;
    QJsonArray configs = machine[QStringLiteral("Win32_NetworkAdapterConfiguration")].toArray();
    QJsonObject wired = configs[0].toObject();
    QJsonArray addresses = wired[QStringLiteral("IPAddress")].toArray();
    addresses[0] = QStringLiteral("10.20.4.23");
    wired[QStringLiteral("IPAddress")] = addresses;
    configs[0] = wired;
    machine[QStringLiteral("Win32_NetworkAdapterConfiguration")] = configs;
    return QJsonDocument(machine).toJson();
}

struct CliRun {
    int status;
    QString out, err;
};

CliRun cli(const QStringList& args, const QString& connstr) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QELTO_ARCHIVE"), connstr);
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QELTO_CLI), args);
    if (!p.waitForFinished(60000)) return {-1, {}, QStringLiteral("timeout")};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

class History : public ::testing::TestWithParam<ArchiveTarget::Engine> {
  protected:
    void SetUp() override {
        if (GetParam() == ArchiveTarget::Engine::PostgreSQL &&
            ArchiveTarget::serverConnectionString().isEmpty())
            GTEST_SKIP() << ArchiveTarget::skipMessage();
        target_ = std::make_unique<ArchiveTarget>(GetParam());
        initArchive(connstr());
    }
    const QString& connstr() const { return target_->connstr(); }

    // Saves a scan of the machine as qelto-cli does, with its answers.
    void save(const QByteArray& json, const QDateTime& when,
              const QString& department = QStringLiteral("财务部"),
              const QString& person = QStringLiteral("王丽")) {
        const std::shared_ptr<const wmi::InstanceStore> answers = wmi::readSnapshot(json);
        const Replay replay = replayScan(answers);
        saveScan(connstr(), department, person, replay.record, answers.get(), when);
    }
    int count(const QString& table) {
        return opensql(connstr(), QStringLiteral("select * from ") + table)->RecordCount();
    }

    std::unique_ptr<ArchiveTarget> target_;
};

const QString kComputer = QStringLiteral("WS-0417");
const QDateTime kMonday(QDate(2026, 12, 7), QTime(9, 30, 15));

TEST_P(History, TwoSavesDifferInExactlyTheChangedDiskAndAddress) {
    save(machineJson(), kMonday);
    // One scan: nothing to compare yet.
    CliRun one = cli({QStringLiteral("archive"), QStringLiteral("diff"), kComputer}, connstr());
    EXPECT_EQ(one.status, 1);
    EXPECT_TRUE(one.err.contains(QStringLiteral("只有一次完整检测"))) << one.err.toStdString();

    save(laterMachineJson(), kMonday.addDays(7));
    const ScanHistory h = scanHistory(connstr(), kComputer.toLower());
    ASSERT_EQ(h.scans.size(), 2u);
    EXPECT_EQ(h.scans[1].when, kMonday.addDays(7));
    EXPECT_EQ(h.scans[1].person, QStringLiteral("王丽"));
    // Each scan is linked to its own summary row.
    auto info = opensql(connstr(), QStringLiteral("select id, \"IP地址\" from info where id = ?"),
                        {*h.scans[1].infoId});
    ASSERT_EQ(info->RecordCount(), 1);
    EXPECT_TRUE(info->Fields(QStringLiteral("IP地址")).Value().toString().contains(u"10.20.4.23"));

    const CliRun diff = cli(
        {QStringLiteral("archive"), QStringLiteral("diff"), kComputer, QStringLiteral("--json")},
        connstr());
    ASSERT_EQ(diff.status, 0) << diff.err.toStdString();
    std::set<std::tuple<QString, QString, QString>> changes;  // change, category, key
    QString disk2Before, disk2After;
    for (const QJsonValue& v :
         QJsonDocument::fromJson(diff.out.toUtf8()).object()[QStringLiteral("changes")].toArray()) {
        const QJsonObject c = v.toObject();
        changes.emplace(c[QStringLiteral("change")].toString(),
                        c[QStringLiteral("categoryKey")].toString(),
                        c[QStringLiteral("key")].toString());
        if (c[QStringLiteral("key")] == QStringLiteral("dd12")) {
            disk2Before = c[QStringLiteral("before")].toString();
            disk2After = c[QStringLiteral("after")].toString();
        }
    }
    const QString changed = QStringLiteral("changed"), disks = QStringLiteral("DiskDrive");
    const std::set<std::tuple<QString, QString, QString>> expected = {
        {changed, disks, QStringLiteral("dd12")},  // the name
        {changed, disks, QStringLiteral("dd42")},  // its size
        {changed, disks, QStringLiteral("dd8")},   // the total of all disks
        {changed, QStringLiteral("NetworkAdapter"), QStringLiteral("nac31")},
    };
    EXPECT_EQ(changes, expected) << diff.out.toStdString();
    EXPECT_TRUE(disk2Before.contains(u"WDC WD20EZBX")) << disk2Before.toStdString();
    EXPECT_TRUE(disk2After.contains(u"ST4000DM004")) << disk2After.toStdString();

    // The same for people: each line under its category, and the count.
    const CliRun text = cli({QStringLiteral("archive"), QStringLiteral("diff"), kComputer,
                             QString::number(h.scans[0].id), QString::number(h.scans[1].id)},
                            connstr());
    ASSERT_EQ(text.status, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains(QStringLiteral("\n硬盘\n  ~ [dd12] ") + disk2Before +
                                  QStringLiteral(" → ") + disk2After))
        << text.out.toStdString();
    EXPECT_TRUE(text.out.contains(QStringLiteral("共 4 行不同：增加 0 行，删除 0 行，变更 4 行")));

    // The other way round, the same lines; and an id of another computer is refused.
    EXPECT_EQ(diffTrees(replayScan(loadScan(connstr(), h.scans[1].id).answers).tree,
                        replayScan(loadScan(connstr(), h.scans[0].id).answers).tree)
                  .size(),
              4u);
    EXPECT_EQ(cli({QStringLiteral("archive"), QStringLiteral("diff"), QStringLiteral("PC-9"),
                   QString::number(h.scans[0].id), QString::number(h.scans[1].id)},
                  connstr())
                  .status,
              1);
}

TEST_P(History, ShowReplaysTheSameTreeAsAScanOfTheSnapshot) {
    save(machineJson(), kMonday);
    const ScanHistory h = scanHistory(connstr(), kComputer);
    ASSERT_EQ(h.scans.size(), 1u);
    const CliRun scan = cli({QStringLiteral("scan"), QStringLiteral("--snapshot"),
                             QStringLiteral(QELTO_MACHINE), QStringLiteral("--json")},
                            connstr());
    const CliRun show = cli({QStringLiteral("archive"), QStringLiteral("show"),
                             QString::number(h.scans[0].id), QStringLiteral("--json")},
                            connstr());
    ASSERT_EQ(show.status, 0) << show.err.toStdString();
    EXPECT_GT(show.out.count(u'\n'), 150);
    EXPECT_EQ(show.out, scan.out);
    EXPECT_EQ(
        cli({QStringLiteral("archive"), QStringLiteral("show"), QString::number(h.scans[0].id + 1)},
            connstr())
            .status,
        1);
}

TEST_P(History, AnArchiveMadeBeforeFullScansStillSavesAndSaysItHasNone) {
    // What archive init made before: usep and info alone.
    ASSERT_TRUE(target_->exec(QStringLiteral("DROP TABLE scans")));
    save(machineJson(), kMonday);
    EXPECT_EQ(count(QStringLiteral("info")), 1);
    EXPECT_FALSE(scanHistory(connstr(), kComputer).tableExists);
    const CliRun history =
        cli({QStringLiteral("archive"), QStringLiteral("history"), kComputer}, connstr());
    EXPECT_EQ(history.status, 1);
    EXPECT_TRUE(history.err.contains(QStringLiteral("这个档案没有完整检测")))
        << history.err.toStdString();
    EXPECT_EQ(cli({QStringLiteral("archive"), QStringLiteral("diff"), kComputer}, connstr()).status,
              1);

    // init adds the table, and from then on the scans are kept.
    ASSERT_EQ(cli({QStringLiteral("archive"), QStringLiteral("init")}, connstr()).status, 0);
    save(machineJson(), kMonday.addDays(1));
    EXPECT_EQ(count(QStringLiteral("info")), 2);
    const CliRun after =
        cli({QStringLiteral("archive"), QStringLiteral("history"), kComputer}, connstr());
    EXPECT_TRUE(after.out.contains(QStringLiteral("完整检测：1 次"))) << after.out.toStdString();
    EXPECT_TRUE(after.out.contains(QStringLiteral("2026-12-08 09:30:15\t财务部\t王丽")));
}

// The machine as another computer, or with a third memory module.
QByteArray renamed(const QByteArray& json, const QString& name) {
    QJsonObject machine = QJsonDocument::fromJson(json).object();
    for (const char* cls : {"Win32_ComputerSystem", "Win32_OperatingSystem"}) {
        QJsonArray list = machine[QLatin1String(cls)].toArray();
        QJsonObject o = list[0].toObject();
        o[QLatin1String(cls[6] == 'C' ? "Caption" : "CSName")] = name;
        list[0] = o;
        machine[QLatin1String(cls)] = list;
    }
    return QJsonDocument(machine).toJson();
}

QByteArray withThirdModule(const QByteArray& json) {
    QJsonObject machine = QJsonDocument::fromJson(json).object();
    QJsonArray modules = machine[QStringLiteral("Win32_PhysicalMemory")].toArray();
    QJsonObject module = modules[1].toObject();
    module[QStringLiteral("Name")] = QStringLiteral("DIMM3");
    module[QStringLiteral("PositionInRow")] = 3;
    modules << module;
    machine[QStringLiteral("Win32_PhysicalMemory")] = modules;
    return QJsonDocument(machine).toJson();
}

// A week later with nothing changed but what changes at every scan.
QByteArray aWeekLater(const QByteArray& json) {
    QJsonObject machine = QJsonDocument::fromJson(json).object();
    QJsonArray oses = machine[QStringLiteral("Win32_OperatingSystem")].toArray();
    QJsonObject os = oses[0].toObject();
    os[QStringLiteral("FreePhysicalMemory")] = QStringLiteral("2124400");
    os[QStringLiteral("NumberOfProcesses")] = 412;
    os[QStringLiteral("NumberOfUsers")] = 5;
    os[QStringLiteral("lastbootuptime")] = QStringLiteral("20261214075501.000000+480");
    os[QStringLiteral("LocalDateTime")] = QStringLiteral("20261214093015.512000+480");
    oses[0] = os;
    machine[QStringLiteral("Win32_OperatingSystem")] = oses;
    QJsonArray cpus = machine[QStringLiteral("Win32_PROCESSOR")].toArray();
    QJsonObject cpu = cpus[0].toObject();
    cpu[QStringLiteral("LoadPercentage")] = 97;
    cpu[QStringLiteral("CurrentClockSpeed")] = 4900;
    cpus[0] = cpu;
    machine[QStringLiteral("Win32_PROCESSOR")] = cpus;
    return QJsonDocument(machine).toJson();
}

TEST_P(History, ChangesListExactlyWhatWasChangedAndNothingForAnUnchangedComputer) {
    const QString other = QStringLiteral("WS-0500");
    save(machineJson(), kMonday);
    save(renamed(machineJson(), other), kMonday.addSecs(60));
    save(withThirdModule(laterMachineJson()), kMonday.addDays(7));
    save(renamed(aWeekLater(machineJson()), other), kMonday.addDays(7).addSecs(60));
    // The unchanged computer's trees do differ, in the lines left out.
    const CliRun raw =
        cli({QStringLiteral("archive"), QStringLiteral("diff"), other, QStringLiteral("--json")},
            connstr());
    EXPECT_GE(QJsonDocument::fromJson(raw.out.toUtf8())[QStringLiteral("changes")].toArray().size(),
              7);

    const CliRun run =
        cli({QStringLiteral("archive"), QStringLiteral("changes"), QStringLiteral("--json")},
            connstr());
    ASSERT_EQ(run.status, 1) << run.err.toStdString();
    const QJsonObject out = QJsonDocument::fromJson(run.out.toUtf8()).object();
    EXPECT_EQ(out[QStringLiteral("computers")].toInt(), 2);
    const QJsonArray pairs = out[QStringLiteral("changes")].toArray();
    ASSERT_EQ(pairs.size(), 1) << run.out.toStdString();
    EXPECT_EQ(pairs[0][QStringLiteral("computer")].toString(), kComputer);
    std::set<std::tuple<QString, QString, QString>> changes;  // change, category, key
    for (const QJsonValue& v : pairs[0][QStringLiteral("changes")].toArray())
        changes.emplace(v[QStringLiteral("change")].toString(),
                        v[QStringLiteral("categoryKey")].toString(),
                        v[QStringLiteral("key")].toString());
    const QString changed = QStringLiteral("changed"), added = QStringLiteral("added"),
                  disks = QStringLiteral("DiskDrive"), memory = QStringLiteral("Memory");
    const std::set<std::tuple<QString, QString, QString>> expected = {
        {changed, disks, QStringLiteral("dd12")},
        {changed, disks, QStringLiteral("dd42")},
        {changed, disks, QStringLiteral("dd8")},
        {changed, QStringLiteral("NetworkAdapter"), QStringLiteral("nac31")},
        {added, memory, QStringLiteral("m13")},
        {added, memory, QStringLiteral("m23")},
        {added, memory, QStringLiteral("m33")},
        {added, memory, QStringLiteral("m43")},
        {added, memory, QStringLiteral("m53")},
        {added, memory, QStringLiteral("m63")},
        {changed, memory, QStringLiteral("m7")},  // 总条数
        {changed, memory, QStringLiteral("m8")},  // 总容量
    };
    EXPECT_EQ(changes, expected) << run.out.toStdString();

    // For people: the lines under the computer; and a period with one scan each has nothing.
    const CliRun text = cli({QStringLiteral("archive"), QStringLiteral("changes")}, connstr());
    EXPECT_EQ(text.status, 1);
    EXPECT_TRUE(text.out.contains(QStringLiteral("  + 内存 [m13] 3-名称：DIMM3")))
        << text.out.toStdString();
    EXPECT_FALSE(text.out.contains(other));
    const CliRun week = cli({QStringLiteral("archive"), QStringLiteral("changes"),
                             QStringLiteral("--since"), QStringLiteral("2026-12-10")},
                            connstr());
    EXPECT_EQ(week.status, 0) << week.out.toStdString() << week.err.toStdString();
    EXPECT_EQ(cli({QStringLiteral("archive"), QStringLiteral("changes"), QStringLiteral("--since"),
                   QStringLiteral("last week")},
                  connstr())
                  .status,
              2);
}

// The rows of an exported file as an independent reader sees them: Python's csv module, or
// openpyxl for a workbook (Debian's python3, where tools/setup installs it).
QJsonArray readBack(const QString& path, bool xlsx, const QString& sheet = {}) {
    const char* script = R"(
import csv, json, sys
path, kind = sys.argv[1], sys.argv[2]
if kind == "xlsx":
    import openpyxl
    book = openpyxl.load_workbook(path)
    sheet = book[sys.argv[3]] if len(sys.argv) > 3 else book.active
    rows = [[c if c is not None else "" for c in row] for row in sheet.iter_rows(values_only=True)]
else:
    if not open(path, "rb").read().startswith(b"\xef\xbb\xbf"):
        sys.exit("no byte-order mark")
    rows = list(csv.reader(open(path, encoding="utf-8-sig", newline="")))
json.dump(rows, sys.stdout)
)";
    QStringList args{QStringLiteral("-c"), QString::fromUtf8(script), path,
                     xlsx ? QStringLiteral("xlsx") : QStringLiteral("csv")};
    if (!sheet.isEmpty()) args << sheet;
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), args);
    EXPECT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array();
}

TEST_P(History, ExportHasOneRowPerComputerFromItsLatestSaveReadBackIntact) {
    save(machineJson(), kMonday);
    save(renamed(machineJson(), QStringLiteral("WS-0500")), kMonday.addDays(1),
         QStringLiteral("信息部"), QStringLiteral("=1+1"));
    save(withThirdModule(laterMachineJson()), kMonday.addDays(7));
    const QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("archive.csv"));
    const QString xlsx = dir.filePath(QStringLiteral("archive.xlsx"));
    ASSERT_EQ(cli({QStringLiteral("archive"), QStringLiteral("export"), QStringLiteral("-o"), csv},
                  connstr())
                  .status,
              0);
    const CliRun run = cli({QStringLiteral("archive"), QStringLiteral("export"),
                            QStringLiteral("--xlsx"), QStringLiteral("-o"), xlsx},
                           connstr());
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    for (const bool isXlsx : {false, true}) {
        const QJsonArray rows = readBack(isXlsx ? xlsx : csv, isXlsx);
        ASSERT_EQ(rows.size(), 3) << isXlsx;
        QStringList header;
        for (const QJsonValue& v : rows[0].toArray()) header << v.toString();
        ASSERT_EQ(header.mid(0, 4),
                  (QStringList{QStringLiteral("计算机名"), QStringLiteral("部门"),
                               QStringLiteral("使用人"), QStringLiteral("时间")}));
        const auto cell = [&](int row, const char* column) {
            return rows[row].toArray()[header.indexOf(QString::fromUtf8(column))].toString();
        };
        EXPECT_EQ(header.size(), 27) << header.join(u',').toStdString();
        // No English caption: info's "name" is the computer that ran the scan.
        EXPECT_FALSE(header.contains(QStringLiteral("name")));
        EXPECT_TRUE(header.contains(QStringLiteral("执行检测的计算机")));
        EXPECT_EQ(cell(1, "计算机名"), kComputer);
        EXPECT_EQ(cell(1, "时间"), QStringLiteral("2026-12-14 09:30:15"));  // the latest save
        EXPECT_EQ(cell(1, "部门"), QStringLiteral("财务部"));
        EXPECT_TRUE(cell(1, "IP地址").contains(u"10.20.4.23"));
        EXPECT_TRUE(cell(1, "内存（完整检测）").contains(QStringLiteral("3-容量：8192MB")))
            << cell(1, "内存（完整检测）").toStdString();
        EXPECT_TRUE(cell(1, "硬盘（完整检测）").contains(u"ST4000DM004"));
        EXPECT_TRUE(cell(1, "处理器（完整检测）").contains(QStringLiteral("型号：11th Gen")));
        EXPECT_EQ(cell(2, "计算机名"), QStringLiteral("WS-0500"));
        EXPECT_EQ(cell(2, "部门"), QStringLiteral("信息部"));
        // Not a formula in a spreadsheet: a text cell in the workbook, quoted in the CSV.
        EXPECT_EQ(cell(2, "使用人"), isXlsx ? QStringLiteral("=1+1") : QStringLiteral("'=1+1"));
    }
}

// The machine with these programs (name, version, source; the vendor, date and architecture are
// the same for all), or recorded before programs were (none given).
QByteArray withPrograms(const QByteArray& json, const QList<QStringList>& programs) {
    QJsonObject machine = QJsonDocument::fromJson(json).object();
    QJsonArray list;
    for (const QStringList& p : programs)
        list << QJsonObject{
            {u"Name"_qs, p[0]},           {u"Version"_qs, p[1]},
            {u"Source"_qs, p[2]},         {u"Architecture"_qs, u"amd64"_qs},
            {u"Vendor"_qs, u"Debian"_qs}, {u"InstallDate"_qs, u"20261201083000.000000+480"_qs}};
    if (!programs.isEmpty()) machine[u"Qelto_Software"_qs] = list;
    return QJsonDocument(machine).toJson();
}

TEST_P(History, ProgramsInstalledRemovedAndUpgradedAreListedExportedAndFound) {
    const QString other = QStringLiteral("WS-0500"), firefox = u"firefox-esr"_qs;
    const QStringList oldFirefox{firefox, u"115.5.0esr-1~deb12u1"_qs, u"dpkg"_qs},
        newFirefox{firefox, u"128.3.0esr-1~deb12u1"_qs, u"dpkg"_qs},
        vim{u"vim"_qs, u"2:9.0.1378-2"_qs, u"dpkg"_qs}, htop{u"htop"_qs, u"3.2.2-2"_qs, u"dpkg"_qs};
    save(withPrograms(machineJson(), {oldFirefox, vim}), kMonday);
    save(renamed(machineJson(), other), kMonday.addSecs(60));  // kept before programs were
    save(withPrograms(machineJson(), {newFirefox, htop}), kMonday.addDays(7));
    save(withPrograms(renamed(machineJson(), other), {oldFirefox}), kMonday.addDays(7).addSecs(9));

    const CliRun run = cli({u"archive"_qs, u"changes"_qs, u"--json"_qs}, connstr());
    ASSERT_EQ(run.status, 1) << run.err.toStdString();
    const QJsonArray pairs = QJsonDocument::fromJson(run.out.toUtf8())[u"changes"_qs].toArray();
    ASSERT_EQ(pairs.size(), 1) << run.out.toStdString();  // unknown is no change for WS-0500
    EXPECT_TRUE(pairs[0][u"changes"_qs].toArray().isEmpty());
    std::set<QStringList> software;
    for (const QJsonValue& v : pairs[0][u"software"_qs].toArray())
        software.insert({v[u"change"_qs].toString(), v[u"name"_qs].toString(),
                         v[u"before"_qs].toString(), v[u"after"_qs].toString()});
    const std::set<QStringList> expected = {{u"upgraded"_qs, firefox, oldFirefox[1], newFirefox[1]},
                                            {u"installed"_qs, htop[0], {}, htop[1]},
                                            {u"removed"_qs, vim[0], vim[1], {}}};
    EXPECT_EQ(software, expected) << run.out.toStdString();
    const CliRun text = cli({u"archive"_qs, u"changes"_qs}, connstr());
    EXPECT_TRUE(text.out.contains(u"  ~ 软件 [dpkg] firefox-esr " + oldFirefox[1] + u" → " +
                                  newFirefox[1] + u"（升级）"))
        << text.out.toStdString();

    // The sheet 软件 and the CSV: the latest save of each computer, the same rows.
    const QTemporaryDir dir;
    const QString xlsx = dir.filePath(u"a.xlsx"_qs), csv = dir.filePath(u"s.csv"_qs);
    ASSERT_EQ(cli({u"archive"_qs, u"export"_qs, u"--xlsx"_qs, u"-o"_qs, xlsx}, connstr()).status,
              0);
    ASSERT_EQ(cli({u"archive"_qs, u"export"_qs, u"--software"_qs, u"-o"_qs, csv}, connstr()).status,
              0);
    const QJsonArray sheet = readBack(xlsx, true, u"软件"_qs);
    EXPECT_EQ(readBack(csv, false), sheet);
    const QJsonArray rows[] = {
        {u"计算机名"_qs, u"名称"_qs, u"版本"_qs, u"发行者"_qs, u"安装日期"_qs},
        {kComputer, firefox, newFirefox[1], u"Debian"_qs, u"2026-12-01 08:30:00"_qs},
        {kComputer, htop[0], htop[1], u"Debian"_qs, u"2026-12-01 08:30:00"_qs},
        {other, firefox, oldFirefox[1], u"Debian"_qs, u"2026-12-01 08:30:00"_qs}};
    ASSERT_EQ(sheet.size(), 4) << QJsonDocument(sheet).toJson().toStdString();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(sheet[i].toArray(), rows[i]) << i;

    // Who has it below a version: the planted old one, not the new one.
    const CliRun below = cli({u"archive"_qs, u"software"_qs, u"FIREFOX-ESR"_qs, u"--below"_qs,
                              u"128.0"_qs, u"--json"_qs},
                             connstr());
    EXPECT_EQ(below.status, 0) << below.err.toStdString();
    const QJsonArray holders = QJsonDocument::fromJson(below.out.toUtf8())[u"holders"_qs].toArray();
    ASSERT_EQ(holders.size(), 1) << below.out.toStdString();
    EXPECT_EQ(holders[0][u"computer"_qs].toString(), other);
    EXPECT_EQ(holders[0][u"version"_qs].toString(), oldFirefox[1]);
    EXPECT_TRUE(cli({u"archive"_qs, u"software"_qs, firefox}, connstr())
                    .out.contains(u"2 台计算机装有 firefox-esr"));
    EXPECT_EQ(cli({u"archive"_qs, u"software"_qs, u"vim"_qs}, connstr()).status, 1);
    const CliRun show =
        cli({u"archive"_qs, u"show"_qs,
             QString::number(scanHistory(connstr(), kComputer).scans[1].id), u"--software"_qs},
            connstr());
    EXPECT_TRUE(show.out.contains(u"htop") && show.out.endsWith(u"共 2 个软件\n"))
        << show.out.toStdString();
}

// A scanned computer that plants text meant to act on whoever reads it: terminal escapes, a bell,
// C1 controls, bidirectional overrides and isolates, a NUL, formulas, a value longer than a
// spreadsheet cell, SQL.
QByteArray hostileMachineJson() {
    QJsonObject machine = QJsonDocument::fromJson(machineJson()).object();
    const auto plant = [&](const char* cls, const char* property, const QString& value) {
        QJsonArray items = machine[QLatin1String(cls)].toArray();
        QJsonObject first = items[0].toObject();
        first[QLatin1String(property)] = value;
        items[0] = first;
        machine[QLatin1String(cls)] = items;
    };
    plant("Win32_ComputerSystem", "Caption",
          QStringLiteral("WS-\x1b[2J\u202E'); DELETE FROM info; --\\\"x"));
    plant("Win32_ComputerSystem", "UserName", QStringLiteral("FIN\\wa") + QChar(0) + u"ng");
    plant(
        "Win32_OperatingSystem", "Caption",
        QStringLiteral("\tDebian\r\x7f\u0085\u009b31m\x1b]0;x\x07 12 \u2066\u200Fbookworm\u2069"));
    plant("Win32_PROCESSOR", "Name", QStringLiteral("=HYPERLINK(\"http://x\",\"y\")"));
    plant("Win32_BaseBoard", "product", u'-' + QString(65536, u'板'));
    return withPrograms(QJsonDocument(machine).toJson(),
                        {{u"vim\x1b[2J\u202E"_qs, u"=1\x07"_qs, u"dpkg\x1b]0;x"_qs}});
}

// The characters that act on a terminal or a reader instead of showing themselves, other than
// the line ends and tabs of this program's own output.
QString actingCharacters(const QString& text) {
    QString found;
    for (const char32_t c : text.toUcs4()) {
        const auto category = QChar::category(c);
        if ((category == QChar::Other_Control && c != u'\n' && c != u'\t') ||
            category == QChar::Other_Format || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            found += QStringLiteral("U+%1 ").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
    return found;
}

TEST_P(History, HostileValuesReachEveryOutputHarmlessAndWhole) {
    const QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("hostile.json"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(hostileMachineJson());
    f.close();
    // The NUL is saved in both engines, as U+FFFD; twice, for the comparisons.
    save(hostileMachineJson(), kMonday);
    save(hostileMachineJson(), kMonday.addDays(1), QStringLiteral("信息部"));
    const QString name = QStringLiteral("WS-\x1b[2J\u202E'); DELETE FROM info; --\\\"x");
    const ScanHistory h = scanHistory(connstr(), name);
    ASSERT_EQ(h.scans.size(), 2u);
    const QString id = QString::number(h.scans[0].id);
    const QString csv = dir.filePath(QStringLiteral("a.csv")), xlsx = dir.filePath(u"a.xlsx"_qs);
    const QList<QStringList> commands = {
        {u"scan"_qs, u"--snapshot"_qs, file, u"--report="_qs + dir.path()},
        {u"archive"_qs, u"history"_qs, name},
        {u"archive"_qs, u"show"_qs, id},
        {u"archive"_qs, u"diff"_qs, name},
        {u"archive"_qs, u"changes"_qs},
        {u"archive"_qs, u"export"_qs, u"-o"_qs, csv},
        {u"archive"_qs, u"show"_qs, id, u"--software"_qs},
        {u"archive"_qs, u"software"_qs, u"vim\x1b[2J\u202E"_qs},
        {u"scan"_qs, u"--snapshot"_qs, file, u"--save"_qs, u"--department"_qs, u"x"_qs,
         u"--person"_qs, u"y"_qs}};
    for (const QStringList& args : commands) {
        const CliRun run = cli(args, connstr());
        EXPECT_LE(run.status, 1) << args.join(u' ').toStdString() << run.err.toStdString();
        EXPECT_EQ(actingCharacters(run.out + run.err), QString()) << args.join(u' ').toStdString();
    }
    QFile report(dir.filePath(report::safeFileName(name) + u".doc"));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QString reportText = QString::fromUtf8(report.readAll()).remove(u'\r');
    EXPECT_TRUE(reportText.contains(u"bookworm"));
    EXPECT_EQ(actingCharacters(reportText), QString());

    // JSON keeps the values exact, but the NUL, which is U+FFFD wherever the scan has it.
    const CliRun json = cli({u"scan"_qs, u"--snapshot"_qs, file, u"--json"_qs}, connstr());
    const QJsonObject record = QJsonDocument::fromJson(json.out.toUtf8())[u"record"_qs].toObject();
    EXPECT_EQ(record[u"computername"_qs].toString(), name) << json.out.left(400).toStdString();
    EXPECT_TRUE(json.out.contains(u"wa\uFFFDng")) << json.out.left(2000).toStdString();

    // The exports: CSV whole and disarmed; XLSX cut with a mark, said on stderr and in the status.
    const CliRun cut = cli({u"archive"_qs, u"export"_qs, u"--xlsx"_qs, u"-o"_qs, xlsx}, connstr());
    EXPECT_EQ(cut.status, 1);
    EXPECT_TRUE(cut.err.contains(u"65537")) << cut.err.toStdString();
    for (const bool isXlsx : {false, true}) {
        const QJsonArray rows = readBack(isXlsx ? xlsx : csv, isXlsx);
        ASSERT_EQ(rows.size(), 2);
        QStringList header;
        for (const QJsonValue& v : rows[0].toArray()) header << v.toString();
        const auto cell = [&](const char* column) {
            return rows[1].toArray()[header.indexOf(QString::fromUtf8(column))].toString();
        };
        const QString board = cell("主板"), processor = cell("CPU型号"), system = cell("操作系统");
        EXPECT_EQ(cell("用户名"), u"FIN\\wa\uFFFDng");
        if (isXlsx) {
            EXPECT_EQ(board.toUcs4().size(), 32767);
            EXPECT_TRUE(board.endsWith(QStringLiteral("［已截断：原有 65537 个字符］")));
        } else {
            EXPECT_EQ(board, u'\'' + (u'-' + QString(65536, u'板')));
            EXPECT_TRUE(system.startsWith(u"'\tDebian")) << system.toStdString();
            EXPECT_TRUE(processor.startsWith(u"'=HYPERLINK")) << processor.toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, History,
                         ::testing::Values(ArchiveTarget::Engine::SQLite,
                                           ArchiveTarget::Engine::PostgreSQL),
                         [](const auto& info) {
                             return info.param == ArchiveTarget::Engine::SQLite
                                        ? std::string("SQLite")
                                        : std::string("PostgreSQL");
                         });

// Known orders, and for dpkg's the answer of dpkg itself where it is installed.
TEST(VersionOrder, AsEachPackageManagerOrders) {
    const struct {
        char source;  // d(pkg), r(pm), w(indows)
        const char *a, *b;
        int order;
    } cases[] = {
        {'d', "1.0~rc1", "1.0", -1},
        {'d', "1.0", "1.0-0", 0},
        {'d', "2:1.0", "10.0", 1},
        {'d', "1.2.3-1", "1.2.3-1ubuntu1", -1},
        {'d', "1.0a", "1.0+", -1},
        {'d', "1.0~~", "1.0~~a", -1},
        {'d', "1.0~", "1.0", -1},
        {'d', "115.5.0esr-1~deb12u1", "128.0", -1},
        {'d', "9.0.1378-2", "9.0.1378-2+deb12u1", -1},
        {'d', "1:0", "0:9", 1},
        {'d', "01.0", "1.0", 0},
        {'d', "1.0-1", "1.0.0-1", -1},
        {'d', "1.0-10", "1.0-9", 1},
        {'d', "2.36-9+deb12u4", "2.36-9+deb12u10", -1},
        {'r', "1.0", "2.0", -1},
        {'r', "2.0.1a", "2.0.1", 1},
        {'r', "5.5p10", "5.5p1", 1},
        {'r', "10xyz", "10.1xyz", -1},
        {'r', "xyz.4", "8", -1},
        {'r', "6.0.rc1", "6.0", 1},
        {'r', "10b2", "10a1", 1},
        {'r', "1.0aa", "1.0a", 1},
        {'r', "1.0~rc1", "1.0", -1},
        {'r', "1.0~rc1~git123", "1.0~rc1", -1},
        {'r', "1.0^git1", "1.0", 1},
        {'r', "1.0^git1", "1.01", -1},
        {'r', "1.0~rc1^git1", "1.0~rc1", 1},
        {'r', "1.0^git1~pre", "1.0^git1", -1},
        {'r', "1:6.9.4-200.fc40", "6.10.1-200.fc40", 1},
        {'r', "1.0-1", "1.0-2", -1},
        {'r', "1.0", "1.0-5", 0},
        {'r', "5.2.15-1.fc38", "5.2.15-1.fc38", 0},
        {'w', "10.0.19045.3693", "10.0.19045.4046", -1},
        {'w', "10.0", "10.0.0", 0},
        {'w', "1.2.10", "1.2.9", 1},
        {'w', "2.0b", "2.0A", 1},
        {'w', "2.0", "2.0a", -1},
        {'w', "124.0.6367.91", "124.0.6367.201", -1},
    };
    const bool dpkg = QFile::exists(u"/usr/bin/dpkg"_qs);
    for (const auto& c : cases) {
        const QString a = QString::fromLatin1(c.a), b = QString::fromLatin1(c.b);
        const QString source = c.source == 'd'   ? u"dpkg"_qs
                               : c.source == 'r' ? u"rpm"_qs
                                                 : u"registry"_qs;
        const int order = compareVersions(source, a, b), back = compareVersions(source, b, a);
        EXPECT_EQ((order > 0) - (order < 0), c.order) << c.a << " " << c.b;
        EXPECT_EQ((back > 0) - (back < 0), -c.order) << c.b << " " << c.a;
        if (c.source != 'd' || !dpkg) continue;
        const char* relation = c.order < 0 ? "lt" : c.order > 0 ? "gt" : "eq";
        EXPECT_EQ(QProcess::execute(u"/usr/bin/dpkg"_qs, {u"--compare-versions"_qs, a,
                                                          QString::fromLatin1(relation), b}),
                  0)
            << "dpkg: " << c.a << " " << relation << " " << c.b;
    }
}

TEST(PackedScan, DamagedBytesAreRefusedBeforeInflating) {
    const QByteArray text = wmi::writeSnapshot(*wmi::readSnapshot(machineJson()));
    const QByteArray packed = packScan(*wmi::readSnapshot(machineJson()));
    EXPECT_LT(packed.size() * 3, text.size());
    EXPECT_EQ(wmi::writeSnapshot(*unpackScan(packed)), text);
    QByteArray huge = packed;
    qToBigEndian<quint32>(0xFFFFFFF0u, huge.data());  // claims 4 GiB
    QByteArray longer = packed;
    qToBigEndian<quint32>(qFromBigEndian<quint32>(packed.constData()) + 1, longer.data());
    const QByteArray cases[] = {{},   packed.left(3), packed.left(packed.size() / 2),
                                huge, longer,         qCompress("not a snapshot")};
    for (const QByteArray& bytes : cases)
        EXPECT_THROW(unpackScan(bytes), ArchiveError) << bytes.size();
}

}  // namespace
}  // namespace qelto::archive
