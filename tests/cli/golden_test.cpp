// Whole recorded machines: each tests/scan/machines/<name>.json is scanned under a fixed locale
// and must give exactly <name>.expected.json (tree and record as qelto-cli prints them).
// QELTO_UPDATE_GOLDEN=1 rewrites the expected files instead (review them by hand).

#include "cli/scanjson.h"
#include "scan/scan.h"
#include "wmi/snapshot.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace qelto::test {
namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

TEST(GoldenMachines, ScanGivesTheRecordedOutput) {
    const QDir dir(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines"));
    const QStringList machines = dir.entryList({QStringLiteral("*.json")}, QDir::Files)
                                     .filter(QRegularExpression(QStringLiteral("^[^.]+\\.json$")));
    ASSERT_GE(machines.size(), 2);
    for (const QString& name : machines) {
        SCOPED_TRACE(name.toStdString());
        auto store = wmi::loadSnapshot(dir.filePath(name));
        wmi::StoreService service(store);
        scan::InventoryTree tree;
        scan::ScanRecord record;
        record.clearForScan();
        scan::infoscan(service, tree, record, QLocale(QLocale::English, QLocale::UnitedStates));
        const QByteArray actual = cli::scanToJson(tree, record);
        const QString expectedPath =
            dir.filePath(QString(name).replace(u".json"_qs, u".expected.json"_qs));
        if (qEnvironmentVariableIsSet("QELTO_UPDATE_GOLDEN")) {  // rewrite; review by hand
            QFile f(expectedPath);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(actual);
            continue;
        }
        const QByteArray expected = readAll(expectedPath);
        EXPECT_EQ(actual.toStdString(), expected.toStdString());
    }
}

}  // namespace
}  // namespace qelto::test
