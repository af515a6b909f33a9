#pragma once

#include "connection.h"
#include "recordset.h"
#include "scan/record.h"
#include "wmi/store.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// The archive operations: the department and people lists from table usep, the summary row of a
// scan appended to table info, and creating and filling an archive.
namespace qelto::archive {

// The departments of usep, each once, in the database's order; Null departments are left out.
QStringList departments(const QString& connstr);

// The people of one department, each once, in the database's order; Null names are left out.
// The department is bound as a parameter, so a name holding a quote (O'Brien) is matched as it is.
QStringList people(const QString& connstr, const QString& department);

// 硬盘容量: the total disk size in bytes divided by 1048576 and again by 1024, rounded down, and
// "GB" (500107862016 gives 465GB). nullopt for a value that is not a number (the empty text
// of a scan that found no disk): the column is then left out of the row.
std::optional<QString> diskCapacity(const wmi::Variant& diskdrivesum);

// The 22 columns of a summary row, in the order they are set, with their values.
std::vector<std::pair<QString, QVariant>> infoRow(const QString& department, const QString& person,
                                                  const scan::ScanRecord& record,
                                                  const QDateTime& when);

// Appends the summary row of `record` to info in one transaction; returns only after the commit.
// The computer that records a scan (the record's sendmail), whatever was scanned or replayed:
// this machine's name up to the first dot, as the local source names it.
QString recordingComputer();

// Returns the columns that the table lacks and that were therefore left out. Throws ArchiveError
// when nothing was stored.
QStringList saveRecord(const QString& connstr, const QString& department, const QString& person,
                       const scan::ScanRecord& record,
                       const QDateTime& when = QDateTime::currentDateTime());

// saveRecord, and in the same transaction the full scan: `answers` (the answers of the classes
// the scan read, as the service gathered them) written in the snapshot format, compressed, into
// the table of full scans, linked to the new info row. Where the archive has no such table (made
// before it existed) or `answers` is null, only the summary row is stored, as saveRecord does.
// Returns what saveRecord returns. Throws ArchiveError when nothing was stored.
//
// With a `guard`, its statement runs in the same transaction after the two inserts and must
// change exactly one row; otherwise nothing is stored and ArchiveError of kind Conflict (with
// the guard's message) is thrown. A guarded save needs the answers and the table of full scans.
struct SaveGuard {
    QString sql;
    QVariantList params;
    QString refused;  // the message when it changes no row
};
QStringList saveScan(const QString& connstr, const QString& department, const QString& person,
                     const scan::ScanRecord& record, const wmi::InstanceStore* answers,
                     const QDateTime& when = QDateTime::currentDateTime(),
                     const SaveGuard* guard = nullptr);

// Within a transaction of `session`: the summary row and the full scan (`packed`, packScan's
// bytes), as saveScan writes them. Returns the columns left out of the summary row.
class Session;
QStringList insertScanRows(Session& session, const QString& department, const QString& person,
                           const scan::ScanRecord& record, const QByteArray& packed,
                           const QDateTime& when);

// True when the archive is a file that does not exist (a server archive always "exists").
bool archiveFileMissing(const QString& connstr);

// Creates the archive file (SQLite) and the tables usep and info where they are missing; what
// exists is left as it is. A usep created here holds each (部门, 使用人) pair once (the unique
// index usep_pair). Throws ArchiveError.
void initArchive(const QString& connstr);

// Adds one person of one department to usep, both names without surrounding blanks. Returns
// false, adding nothing, when the pair is there already (an archive without usep_pair is checked
// first too). Throws ArchiveError when either name is empty.
bool addPerson(const QString& connstr, const QString& department, const QString& person);

// What importPeople did with the rows of a file (a header line is no row).
struct ImportResult {
    QByteArray encoding;  // the character set the file was read in
    int imported = 0;
    QList<int> duplicates;  // lines whose pair usep held already (or an earlier line added)
    QList<int> emptyNames;  // lines without a department or without a person
};

// Adds the people of a CSV file (two columns 部门,使用人; a first line naming those columns is a
// header) to usep in one transaction; rows that addPerson would refuse or skip are skipped. The
// file is read as UTF-8 (with or without a byte-order mark) when it is UTF-8, else in
// `localeCharset` (the user's locale's), else as GBK. Throws ArchiveError, with nothing added, for
// a file that none of these decodes and for a line that does not have two columns, naming the
// line.
ImportResult importPeople(const QString& connstr, const QString& csvPath,
                          const QByteArray& localeCharset = QByteArrayLiteral("UTF-8"));

}  // namespace qelto::archive
