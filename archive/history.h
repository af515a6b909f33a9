#pragma once

#include "connection.h"
#include "scan/record.h"
#include "scan/tree.h"
#include "software.h"
#include "wmi/store.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// The full scans of the archive: every save keeps, beside its summary row in info, the answers of
// the classes the scan read (the snapshot format, compressed) in the table scans. From them an
// archived scan is replayed as a tree, and two scans of one computer are compared line by line.
namespace qelto::archive {

// The table of full scans. Its computer name, time, department and person are those of the info
// row it belongs to (info_id), so that the history of a computer reads this table alone, through
// its index on the computer name.
inline const QString kScanTable = QStringLiteral("scans");

// The statements that create the table and its index where they are missing.
QStringList createScanTable(bool sqlite);

// The largest snapshot text a full scan may hold, stored or read back. A stored scan whose
// length field claims more is taken as damaged rather than inflated.
inline constexpr qsizetype kMaxScanBytes = qsizetype(256) * 1024 * 1024;

// The answers in the snapshot format, compressed with zlib behind a 4-byte big-endian length
// (qCompress). Throws ArchiveError for answers whose text exceeds kMaxScanBytes.
QByteArray packScan(const wmi::InstanceStore& answers);
// The answers back from packScan's bytes. Throws ArchiveError for bytes that are not such a
// text (damaged, cut off, claiming more than kMaxScanBytes).
std::shared_ptr<wmi::InstanceStore> unpackScan(const QByteArray& packed);

// One archived full scan.
struct ArchivedScan {
    qint64 id = 0;
    std::optional<qint64> infoId;  // the info row; none where info has no id
    QDateTime when;
    QString computer, department, person;
};

// The full scans of one computer, oldest first. `tableExists` is false for an archive made
// before full scans were kept: it then has none. The computer name is matched as info holds it;
// where no scan has exactly that name, case does not matter. With `last` above 0, only the last
// that many.
struct ScanHistory {
    bool tableExists = false;
    std::vector<ArchivedScan> scans;
};
ScanHistory scanHistory(const QString& connstr, const QString& computer, int last = 0);

// One archived scan and its answers. Throws ArchiveError when the archive has no such scan (or no
// table of full scans) and when its answers are damaged.
struct StoredScan {
    ArchivedScan entry;
    std::shared_ptr<const wmi::InstanceStore> answers;
};
StoredScan loadScan(const QString& connstr, qint64 id);

// A scan of `answers` as the window runs it: the tree and the record.
struct Replay {
    scan::InventoryTree tree;
    scan::ScanRecord record;
};
Replay replayScan(std::shared_ptr<const wmi::InstanceStore> answers,
                  const QLocale& locale = QLocale::system());

// One line that differs between two trees, matched by node key.
struct TreeChange {
    enum class Kind { Added, Removed, Changed };
    Kind kind;
    QString categoryKey, category;  // the category the line stands under (its text)
    QString key;
    QString before, after;  // the line's text in the older and the newer tree (empty if none)
};

// The lines of `to` that `from` lacks, those of `from` that `to` lacks and those whose text
// differs, grouped by category in the order of the categories of `to` (then of `from`); inside a
// category the lines of `to` in their order, then those removed in theirs. A category line and
// the root are lines like the others (the root stands under itself).
std::vector<TreeChange> diffTrees(const scan::InventoryTree& from, const scan::InventoryTree& to);

// The lines that differ at nearly every scan without anything having been changed on the
// computer: its clock and boot time, free memory, process and user counts, CPU usage and current
// clock. A change report leaves them out; a line repeated for several values ("nac31.1") belongs
// to the key before its dot.
const QStringList& volatileLines();
bool isVolatileLine(const QString& key);

// What changed on one computer between two consecutive full scans, volatile lines left out, and
// its programs; nullopt where either scan was kept without them (unknown, not all removed).
struct ScanChanges {
    ArchivedScan from, to;
    std::vector<TreeChange> changes;
    std::optional<std::vector<ProgramChange>> software;
    bool changed() const { return !changes.empty() || (software && !software->empty()); }
};

// The changes of every computer that has two or more full scans at or after `since` (all its
// scans where `since` is invalid): each pair of consecutive scans of a computer (by name, case
// aside), computers in the order of their first scan. Pairs without a change are listed too, with
// an empty `changes`. `tableExists` as for scanHistory.
struct ChangeReport {
    bool tableExists = false;
    int computers = 0;  // computers with two or more scans in the period
    std::vector<ScanChanges> pairs;
};
ChangeReport archiveChanges(const QString& connstr, const QDateTime& since = {});

// The computers whose latest full scan lists a program of that name (case aside), with its
// version, in the order of the computers' names; with `below`, only those whose version sorts
// before it in the order of the program's source (compareVersions). `unknown` counts the
// computers whose latest full scan was kept without programs. `tableExists` as for scanHistory.
struct ProgramHolder {
    ArchivedScan scan;
    Program program;
};
struct ProgramSearch {
    bool tableExists = false;
    int computers = 0, unknown = 0;
    std::vector<ProgramHolder> holders;
};
ProgramSearch findProgram(const QString& connstr, const QString& name,
                          const std::optional<QString>& below = std::nullopt);

}  // namespace qelto::archive
