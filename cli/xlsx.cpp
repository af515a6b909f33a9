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

QString fittedCell(const QString& value) {
    if (value.size() <= kXlsxCellLimit) return value;  // never more characters than UTF-16 units
    const QList<uint> codes = value.toUcs4();
    if (codes.size() <= kXlsxCellLimit) return value;
    const QString mark = QStringLiteral("…［已截断：原有 %1 个字符］").arg(codes.size());
    const qsizetype keep = kXlsxCellLimit - mark.toUcs4().size();
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(codes.constData()), keep) + mark;
}

namespace {

// The sheet's cells, every call's result checked: the first failure ends the writing.
class SheetWriter {
  public:
    SheetWriter(lxw_workbook* book, lxw_worksheet* sheet, qsizetype index)
        : book_(book), sheet_(sheet), index_(index) {}

    lxw_error row(lxw_row_t r, const archive::ExportTable& table, const QStringList& cells,
                  lxw_format* format, std::vector<CutCell>& cut) {
        for (qsizetype c = 0; c < cells.size(); ++c) {
            if (cells[c].isEmpty()) continue;
            const QString fitted = fittedCell(cells[c]);
            if (r > 0 && cells[c].size() > kXlsxCellLimit && fitted != cells[c])
                cut.push_back(
                    {index_, qsizetype(r), table.header.value(c), cells[c].toUcs4().size()});
            const lxw_error e = worksheet_write_string(sheet_, r, lxw_col_t(c),
                                                       fitted.toUtf8().constData(), format);
            if (e != LXW_NO_ERROR) return e;
        }
        return LXW_NO_ERROR;
    }

    lxw_error cells(const archive::ExportTable& table, std::vector<CutCell>& cut) {
        lxw_format* bold = workbook_add_format(book_);
        if (!bold) return LXW_ERROR_MEMORY_MALLOC_FAILED;
        format_set_bold(bold);
        if (const lxw_error e = row(0, table, table.header, bold, cut)) return e;
        for (size_t r = 0; r < table.rows.size(); ++r)
            if (const lxw_error e = row(lxw_row_t(r + 1), table, table.rows[r], nullptr, cut))
                return e;
        worksheet_freeze_panes(sheet_, 1, 0);
        if (table.header.isEmpty()) return LXW_NO_ERROR;
        return worksheet_set_column(sheet_, 0, lxw_col_t(table.header.size() - 1), 18, nullptr);
    }

  private:
    lxw_workbook* book_;
    lxw_worksheet* sheet_;
    qsizetype index_;
};

// Every sheet in its order: the first failure.
lxw_error writeSheets(lxw_workbook* book, const std::vector<XlsxSheet>& sheets,
                      std::vector<CutCell>& cut) {
    for (size_t i = 0; i < sheets.size(); ++i) {
        lxw_worksheet* sheet = workbook_add_worksheet(book, sheets[i].name);
        if (!sheet) return LXW_ERROR_MEMORY_MALLOC_FAILED;
        if (const lxw_error e = SheetWriter(book, sheet, qsizetype(i)).cells(*sheets[i].table, cut))
            return e;
    }
    return LXW_NO_ERROR;
}

}  // namespace

bool writeXlsx(const std::vector<XlsxSheet>& sheets, const QString& path, std::vector<CutCell>& cut,
               QString& problem) {
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
    const lxw_error written = writeSheets(book, sheets, cut);
    const lxw_error closed = workbook_close(book);
    if (written != LXW_NO_ERROR || closed != LXW_NO_ERROR) {
        problem = QString::fromUtf8(lxw_strerror(written != LXW_NO_ERROR ? written : closed));
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
