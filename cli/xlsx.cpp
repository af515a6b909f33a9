#include "xlsx.h"

#include "common/files.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <xlsxwriter.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qelto::cli {

bool writeXlsx(const archive::ExportTable& table, const QString& path, QString& problem) {
    // The workbook is written under a name of its own in the same folder, then renamed.
    QTemporaryFile temporary(
        QFileInfo(path).absoluteDir().filePath(QStringLiteral(".qelto-XXXXXX.xlsx")));
    if (!temporary.open()) {
        problem = temporary.errorString();
        return false;
    }
    temporary.close();
    const QByteArray name = common::nativeFileName(temporary.fileName());
    lxw_workbook* book = workbook_new(name.constData());
    if (!book) {
        problem = QStringLiteral("无法建立工作簿");
        return false;
    }
    lxw_worksheet* sheet = workbook_add_worksheet(book, "档案");
    lxw_format* bold = workbook_add_format(book);
    format_set_bold(bold);
    const auto row = [&](lxw_row_t r, const QStringList& cells, lxw_format* format) {
        for (qsizetype c = 0; c < cells.size(); ++c)
            if (!cells[c].isEmpty())
                worksheet_write_string(sheet, r, lxw_col_t(c), cells[c].toUtf8().constData(),
                                       format);
    };
    row(0, table.header, bold);
    for (size_t r = 0; r < table.rows.size(); ++r) row(lxw_row_t(r + 1), table.rows[r], nullptr);
    worksheet_freeze_panes(sheet, 1, 0);
    worksheet_set_column(sheet, 0, lxw_col_t(table.header.size() - 1), 18, nullptr);
    const lxw_error closed = workbook_close(book);
    if (closed != LXW_NO_ERROR) {
        problem = QString::fromUtf8(lxw_strerror(closed));
        return false;
    }
    // The new file gets the permissions of any other file the user writes, not the temporary
    // file's owner-only ones.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(name.constData(), 0666 & ~mask);
    if (std::rename(name.constData(), common::nativeFileName(path).constData()) != 0) {
        problem = common::systemErrorText(errno);
        return false;
    }
    temporary.setAutoRemove(false);
    return true;
}

}  // namespace qelto::cli
