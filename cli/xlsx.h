#pragma once

#include "archive/export.h"

#include <QString>

#include <vector>

namespace qelto::cli {

// The most characters (code points) one cell of a workbook holds.
inline constexpr qsizetype kXlsxCellLimit = 32767;

// A value longer than a cell holds: its row (from 1, after the header), its column's title and
// its length in characters. The cell holds its beginning and a mark that says so.
struct CutCell {
    qsizetype row = 0;
    QString column;
    qsizetype length = 0;
};

// `value` as a cell holds it: as it is when it fits; else its beginning followed by the mark
// "…［已截断：原有 N 个字符］", the whole no longer than kXlsxCellLimit characters.
QString fittedCell(const QString& value);

// Writes the table as an XLSX workbook of one sheet (the header bold and frozen, every cell a
// text) to `path`: to a new file beside it, renamed over it only when complete. Values too long
// for a cell are cut as fittedCell says and listed in `cut`. False, with the reason in `problem`,
// when it could not be written.
bool writeXlsx(const archive::ExportTable& table, const QString& path, std::vector<CutCell>& cut,
               QString& problem);

}  // namespace qelto::cli
