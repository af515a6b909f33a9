#pragma once

#include "scan/record.h"
#include "scan/tree.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

// The text report of a scan: a header naming the host and the time, one line per detail line of
// the tree in the order of adding, and a footer. Word processors open it as a document, hence
// the ".doc" name; it is plain text in the locale's encoding with CR LF line ends.
namespace qelto::report {

// The index (counted from 0) of the first detail line: the root and the 18 categories come first.
inline constexpr int kFirstDetailNode = 19;

// The lines of the report, without line ends, each as common::displayLine shows it: no value
// starts a line of its own, moves what a word processor or terminal shows, or reorders it.
// `when` is shown as the locale's short date followed directly by its time (with seconds).
QStringList reportLines(const scan::InventoryTree& tree, const QString& host, const QDateTime& when,
                        const QLocale& locale);

// The date and time as the header shows them.
QString headerTime(const QDateTime& when, const QLocale& locale);

// The lines in `charset`, each followed by CR LF, with no byte-order mark.
QByteArray reportBytes(const QStringList& lines, const QByteArray& charset);

// A file name made from the scanned computer's name, which must never steer the path: "/", "\"
// and control characters become "_", a leading dot becomes "_", and a name left empty (or ".",
// "..") becomes "计算机". Ordinary names (Chinese, blanks, dashes) stay as they are. The result is
// cut to a length that every Linux file system takes.
QString safeFileName(const QString& computername);

// What one export came to. `ok` with the path of the written file, or the reason it failed.
struct ExportResult {
    enum class Outcome { Written, NoData, Failed };
    Outcome outcome = Outcome::Failed;
    QString path;    // the report file (also set on failure: the file that could not be written)
    QString reason;  // why it failed, in Chinese
    QString notice;  // something the user should know about a written report (its encoding)

    bool ok() const { return outcome == Outcome::Written; }
    // The text to show the user: the completion message with the path (and the notice on a line
    // of its own), "检测到无数据，无法保存", or the failure with its reason.
    QString message() const;
};

// "检测到无数据，无法保存": the answer of the export, and of the save, when nothing has been
// scanned.
QString noDataText();

struct ExportOptions {
    QString directory;   // where the report goes; empty: $HOME (refused when unset or "/")
    QByteArray charset;  // empty: the character set of the user's locale
    QDateTime when;      // invalid: now
    QLocale locale = QLocale::system();
};

// Writes the report of `tree` for the scan of `host` into directory/<safe computername>.doc
// through replaceFile: complete or not at all, never through a symbolic link planted at that
// name. A character set that is not ASCII-compatible (UTF-16, UCS-4…) gives way to UTF-8, and the
// notice says so. An empty tree writes nothing.
ExportResult exportReport(const scan::InventoryTree& tree, const scan::ScanRecord& record,
                          const QString& host, const ExportOptions& options = {});

}  // namespace qelto::report
