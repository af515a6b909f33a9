// History and differences on a full archive: an SQLite archive (a file in the current directory,
// so on the disk the program would use) filled with N full scans (default 10,000) of C computers
// (default 100), each saved as qelto-cli saves it (its own connection and transaction). Prints
// the time of one save with and without the full scan, the stored size per scan, and the median
// time of `history` and `diff` of one computer: the library calls and the whole qelto-cli
// command.
//
//   history_bench [N [C]]

#include "median.h"

#include "archive/archive.h"
#include "archive/history.h"
#include "wmi/snapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace qelto;

// The recorded machine as computer `computer` at its `n`-th scan: its own name, and the values
// that move between scans (processor load, free memory, the time) moved.
QByteArray machine(const QJsonObject& base, int computer, int n) {
    QJsonObject m = base;
    const auto set = [&m](const char* cls, const char* property, const QJsonValue& value) {
        QJsonArray list = m[QLatin1String(cls)].toArray();
        QJsonObject first = list[0].toObject();
        first[QLatin1String(property)] = value;
        list[0] = first;
        m[QLatin1String(cls)] = list;
    };
    set("Win32_ComputerSystem", "Caption",
        QStringLiteral("PC-%1").arg(computer, 3, 10, QLatin1Char('0')));
    set("Win32_PROCESSOR", "LoadPercentage", n % 100);
    set("Win32_OperatingSystem", "FreePhysicalMemory",
        QString::number(8000000 + (n * 7919) % 1000000));
    set("Win32_OperatingSystem", "LocalDateTime",
        QStringLiteral("202612%1093015.000000+480").arg(1 + n % 28, 2, 10, QLatin1Char('0')));
    return QJsonDocument(m).toJson(QJsonDocument::Compact);
}

int run(QProcess& p, const QStringList& args, const QString& connstr) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QELTO_ARCHIVE"), connstr);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QELTO_CLI), args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    return p.exitCode();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int scans = argc > 1 ? std::clamp(atoi(argv[1]), 2, 100000) : 10000;
    const int computers = argc > 2 ? std::clamp(atoi(argv[2]), 1, scans / 2) : 100;

    QFile file(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json"));
    if (!file.open(QIODevice::ReadOnly)) return 1;
    const QJsonObject base = QJsonDocument::fromJson(file.readAll()).object();

    QTemporaryDir dir(QDir::current().filePath(QStringLiteral("history-bench-XXXXXX")));
    const QString connstr = QStringLiteral("Data Source=") + dir.filePath(QStringLiteral("a.mdb"));
    archive::initArchive(connstr);

    // The fill: every scan replayed for its record, then saved with its answers.
    qint64 textBytes = 0, packedBytes = 0;
    double saveMs = 0;
    QDateTime when(QDate(2026, 1, 1), QTime(8, 0));
    for (int i = 0; i < scans; ++i) {
        const QByteArray text = machine(base, i % computers, i);
        const std::shared_ptr<const wmi::InstanceStore> answers = wmi::readSnapshot(text);
        const archive::Replay replay = archive::replayScan(answers);
        if (i < 200) {
            textBytes += wmi::writeSnapshot(*answers).size();
            packedBytes += archive::packScan(*answers).size();
        }
        QElapsedTimer t;
        t.start();
        archive::saveScan(connstr, QStringLiteral("财务部"), QStringLiteral("王丽"), replay.record,
                          answers.get(), when.addSecs(60 * i));
        saveMs += double(t.nsecsElapsed()) / 1e6;
    }
    const double fillRate = scans / (saveMs / 1000.0);
    // Saves with and without the full scan, taking turns on the filled archive, so that both
    // meet the same disk.
    std::vector<double> full, plain;
    double packMs = 0;
    {
        const std::shared_ptr<const wmi::InstanceStore> answers =
            wmi::readSnapshot(machine(base, 0, 0));
        const archive::Replay replay = archive::replayScan(answers);
        packMs = bench::medianMs(51, [&] { (void)archive::packScan(*answers); });
        for (int i = 0; i < 101; ++i) {
            full.push_back(bench::medianMs(1, [&] {
                archive::saveScan(connstr, QStringLiteral("财务部"), QStringLiteral("王丽"),
                                  replay.record, answers.get(), when);
            }));
            plain.push_back(bench::medianMs(1, [&] {
                archive::saveRecord(connstr, QStringLiteral("财务部"), QStringLiteral("王丽"),
                                    replay.record, when);
            }));
        }
        std::sort(full.begin(), full.end());
        std::sort(plain.begin(), plain.end());
    }
    const QString computer = QStringLiteral("PC-%1").arg(computers / 2, 3, 10, QLatin1Char('0'));
    std::size_t listed = 0;
    const double historyMs =
        bench::medianMs(21, [&] { listed = archive::scanHistory(connstr, computer).scans.size(); });
    std::size_t changed = 0;
    const double diffMs = bench::medianMs(21, [&] {
        const archive::ScanHistory h = archive::scanHistory(connstr, computer, 2);
        const auto& s = h.scans;
        changed =
            archive::diffTrees(
                archive::replayScan(archive::loadScan(connstr, s[s.size() - 2].id).answers).tree,
                archive::replayScan(archive::loadScan(connstr, s.back().id).answers).tree)
                .size();
    });
    QProcess p;
    int status = 0;
    const double cliHistoryMs = bench::medianMs(7, [&] {
        status |= run(p, {QStringLiteral("archive"), QStringLiteral("history"), computer}, connstr);
    });
    const double cliDiffMs = bench::medianMs(7, [&] {
        status |= run(p, {QStringLiteral("archive"), QStringLiteral("diff"), computer}, connstr);
    });
    const double cliVersionMs =
        bench::medianMs(7, [&] { status |= run(p, {QStringLiteral("--version")}, connstr); });

    const qint64 fileBytes = QFileInfo(dir.filePath(QStringLiteral("a.mdb"))).size() +
                             QFileInfo(dir.filePath(QStringLiteral("a.mdb-wal"))).size();
    std::printf("archive: %d full scans of %d computers, %.1f MB on disk (%.1f KB per scan)\n",
                scans, computers, fileBytes / 1e6, fileBytes / 1e3 / scans);
    std::printf("full scan: %.1f KB as text, %.1f KB compressed (x %.2f)\n",
                textBytes / 200.0 / 1e3, packedBytes / 200.0 / 1e3,
                double(packedBytes) / double(textBytes));
    std::printf("filling: %.0f saves per second with the full scan\n", fillRate);
    std::printf(
        "one save, median: %.2f ms with the full scan, %.2f ms summary only (+ %.2f ms; "
        "compressing alone %.2f ms)\n",
        full[full.size() / 2], plain[plain.size() / 2],
        full[full.size() / 2] - plain[plain.size() / 2], packMs);
    std::printf("history %s (%zu scans): %.2f ms; qelto-cli archive history: %.1f ms\n",
                qPrintable(computer), listed, historyMs, cliHistoryMs);
    std::printf(
        "diff of the last two (%zu lines differ): %.2f ms; qelto-cli archive diff: %.1f ms\n",
        changed, diffMs, cliDiffMs);
    std::printf("(qelto-cli --version alone: %.1f ms)\n", cliVersionMs);
    return status == 0 ? 0 : 1;
}
