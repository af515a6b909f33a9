// One of several processes that save into the same archive at once:
//   archive_save_worker CONNSTR TAG COUNT
// appends COUNT rows whose name is TAG and whose 使用人 is TAG-0 … TAG-(COUNT-1).

#include "archive/archive.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) return 2;
    qelto::scan::ScanRecord record;
    record.sendmail = qelto::wmi::Variant(args[2]);
    record.diskdrivesum = qelto::wmi::Variant(quint64(500107862016));
    const int count = args[3].toInt();
    try {
        for (int i = 0; i < count; ++i)
            qelto::archive::saveRecord(args[1], QStringLiteral("并发"),
                                       QStringLiteral("%1-%2").arg(args[2]).arg(i), record);
    } catch (const qelto::archive::ArchiveError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
