// Saves per second into the archive: one summary row per save, each on a fresh connection and in
// its own committed transaction, as the save dialog does it. SQLite always (a file in the current
// directory, so on the disk the program would use); PostgreSQL when QELTO_TEST_PG names a server
// (a database of its own is created and dropped again). Prints the medians and the ratio.

#include "archive/archive.h"

#include <QCoreApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace {

using namespace qelto;

scan::ScanRecord sampleRecord() {
    scan::ScanRecord r;
    r.sendmail = wmi::Variant(QStringLiteral("ADMIN-PC"));
    r.getl = wmi::Variant(QStringLiteral("中文(简体)"));
    r.systemdrive = wmi::Variant(QStringLiteral("C:"));
    r.datecomputername = wmi::Variant(QStringLiteral("PC01"));
    r.dateos = wmi::Variant(QStringLiteral("Microsoft Windows XP Professional"));
    r.datecpu = wmi::Variant(QStringLiteral("Intel(R) Core(TM)2 Duo CPU E8400 @ 3.00GHz"));
    r.datediskdrive = wmi::Variant(QStringLiteral("  WDC WD5000AAKS-00V1A0"));
    r.diskdrivesum = wmi::Variant(quint64(500107862016));
    r.datenetworkmac = wmi::Variant(QStringLiteral("  00:1A:2B:3C:4D:5E"));
    r.datenetworkip = wmi::Variant(QStringLiteral("  192.168.1.20"));
    return r;
}

bool adminExec(const QString& sql) {
    const archive::ArchiveLocation admin =
        archive::parseConnectionString(QString::fromUtf8(qgetenv("QELTO_TEST_PG")));
    const QString name = archive::uniqueConnectionName();
    bool ok = false;
    try {
        archive::openConnection(admin, name, false);
        ok = QSqlQuery(QSqlDatabase::database(name, false)).exec(sql);
    } catch (const archive::ArchiveError& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

// One archive per engine for the whole run.
struct Archives {
    QTemporaryDir dir{QDir::current().filePath(QStringLiteral("archive-bench-XXXXXX"))};
    QString sqlite, postgres, database;

    Archives() {
        sqlite = QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=%1")
                     .arg(dir.filePath(QStringLiteral("systeminfo.mdb")));
        archive::initArchive(sqlite);
        const QString server = QString::fromUtf8(qgetenv("QELTO_TEST_PG"));
        if (server.isEmpty()) return;
        database = QStringLiteral("qelto_bench_%1").arg(QCoreApplication::applicationPid());
        if (!adminExec(QStringLiteral("CREATE DATABASE %1").arg(database))) return;
        const archive::ArchiveLocation s = archive::parseConnectionString(server);
        postgres =
            QStringLiteral("Provider=PostgreSQL;Host=%1;Port=%2;Database=%3;User ID=%4;Password=%5")
                .arg(s.host)
                .arg(s.port)
                .arg(database, s.user, s.password);
        archive::initArchive(postgres);
    }
    ~Archives() {
        if (!database.isEmpty())
            adminExec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(database));
    }
    const QString& of(int engine) const { return engine == 0 ? sqlite : postgres; }
};

Archives* archives = nullptr;

void save(benchmark::State& state) {
    const QString& connstr = archives->of(static_cast<int>(state.range(0)));
    if (connstr.isEmpty()) {
        state.SkipWithError("QELTO_TEST_PG is not set");
        return;
    }
    const scan::ScanRecord record = sampleRecord();
    for (auto _ : state)
        archive::saveRecord(connstr, QStringLiteral("信息部"), QStringLiteral("张三"), record);
    state.SetItemsProcessed(state.iterations());
}

// Opening the save dialog and picking a department: the two lists read from usep.
void lists(benchmark::State& state) {
    const QString& connstr = archives->of(static_cast<int>(state.range(0)));
    if (connstr.isEmpty()) {
        state.SkipWithError("QELTO_TEST_PG is not set");
        return;
    }
    static bool filled[2] = {false, false};
    if (!filled[state.range(0)]) {
        for (int d = 0; d < 20; ++d)
            for (int p = 0; p < 25; ++p)
                archive::addPerson(connstr, QStringLiteral("部门%1").arg(d),
                                   QStringLiteral("人%1").arg(p));
        filled[state.range(0)] = true;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(archive::departments(connstr).size());
        benchmark::DoNotOptimize(archive::people(connstr, QStringLiteral("部门7")).size());
    }
    state.SetItemsProcessed(state.iterations());
}

// The argument reads "engine:0" (SQLite) or "engine:1" (PostgreSQL).
bool isSqlite(const std::string& arg) {
    return !arg.empty() && arg.back() == '0';
}

// Keeps the medians and prints operations per second for each engine and their ratio.
class RateReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median" &&
                !r.error_occurred) {
                const auto it = r.counters.find("items_per_second");
                if (it != r.counters.end())
                    rates_[r.run_name.function_name][r.run_name.args] = it->second;
            }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [name, byEngine] : rates_) {
            std::printf("\n%s: median operations per second\n", name.c_str());
            for (const auto& [engine, rate] : byEngine)
                std::printf("  %-10s %10.1f /s\n", isSqlite(engine) ? "SQLite" : "PostgreSQL",
                            rate);
            double sqlite = 0, postgres = 0;
            for (const auto& [engine, rate] : byEngine)
                (isSqlite(engine) ? sqlite : postgres) = rate;
            if (sqlite > 0 && postgres > 0)
                std::printf("  PostgreSQL / SQLite: x%.2f\n", postgres / sqlite);
        }
    }

  private:
    std::map<std::string, std::map<std::string, double>> rates_;
};

}  // namespace

BENCHMARK(save)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("engine")
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lists)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("engine")
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    {
        Archives a;
        archives = &a;
        RateReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        archives = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
