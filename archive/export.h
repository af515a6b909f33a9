#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// The archive as one table: a row per computer from its latest save, for a spreadsheet.
namespace qelto::archive {

struct ExportTable {
    QStringList header;
    std::vector<QStringList> rows;
};

// One row per computer (by 计算机名, case aside; rows in the order of the names): its latest
// summary row in info — 计算机名, 部门, 使用人 and the time first, then the other columns the table
// has in its own order — and, where that save kept its full scan, the main lines of the scan
// replayed: processor, memory, disks, addresses and operating system. A computer whose latest
// save has no full scan has those cells empty. Throws ArchiveError.
// With `software`, that is filled from the same saves: a row per program (softwareHeader()),
// computers in the same order, programs as the scan lists them; a computer whose latest save
// kept no programs has no row.
ExportTable exportTable(const QString& connstr, ExportTable* software = nullptr);

// 计算机名, 名称, 版本, 发行者, 安装日期.
QStringList softwareHeader();

// The table as CSV: UTF-8 with a byte-order mark, CR LF line ends, each line as common::csvLine
// writes it (formulas disarmed).
QByteArray toCsv(const ExportTable& table);

}  // namespace qelto::archive
