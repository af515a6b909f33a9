#include "archive.h"

#include "history.h"
#include "queue.h"
#include "session.h"

#include "common/charset.h"
#include "common/csv.h"
#include "common/files.h"
#include "scan/forms.h"
#include "wmi/store.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSysInfo>

#include <algorithm>
#include <cmath>

namespace qelto::archive {

namespace {

QStringList textColumn(const QString& connstr, const QString& sql, const QVariantList& params,
                       const QString& column) {
    std::unique_ptr<Recordset> rs = opensql(connstr, sql, params);
    QStringList list;
    for (int i = 0, n = rs->RecordCount(); i < n; ++i, rs->MoveNext()) {
        const QVariant v = rs->Fields(column).Value();
        if (!v.isNull()) list << v.toString();
    }
    return list;
}

// Text as a value that the database stores as text: an empty text stays an empty text (the
// drivers would bind a null QString as Null).
QVariant textValue(const QString& text) {
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

// A scan-record field as it is stored: text as it is, Null as Null, a number as its text.
// nullopt for a value that cannot become text (an array): that column is left out.
std::optional<QVariant> stored(const wmi::Variant& v) {
    if (v.isNull()) return QVariant(QMetaType(QMetaType::QString));
    if (v.isText()) return textValue(v.textValue());
    try {
        return textValue(scan::forms::asText(v, QLocale::system()));
    } catch (const scan::forms::ValueError&) {
        return std::nullopt;
    }
}

// Runs statements on one connection that this object owns.
const char* const kInfoColumns[] = {
    "部门",    "使用人",   "计算机名", "用户名", "操作系统", "系统语言", "安装日期",   "系统盘",
    "CPU型号", "物理内存", "主板",     "硬盘",   "硬盘容量", "显示卡",   "网络适配器", "MAC地址",
    "IP地址",  "音频",     "光驱",     "BIOS",   "date",     "name",
};

QString createInfo(bool sqlite) {
    QStringList columns;
    columns << (sqlite ? QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT")
                       : QStringLiteral("id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"));
    for (const char* c : kInfoColumns) {
        const QString name = QString::fromUtf8(c);
        columns << QStringLiteral("\"%1\" %2")
                       .arg(name,
                            name == u"date" ? QStringLiteral("TIMESTAMP") : QStringLiteral("TEXT"));
    }
    return QStringLiteral("CREATE TABLE IF NOT EXISTS info (%1)")
        .arg(columns.join(QStringLiteral(", ")));
}

// Adds the pair unless usep holds it: checked by the statement itself, for an archive made before
// usep_pair, and the index (ON CONFLICT) covers a pair that another session adds meanwhile.
// True when the row was added.
bool insertPair(Session& s, const QString& department, const QString& person) {
    return s.exec(QStringLiteral("INSERT INTO usep (部门, 使用人) "
                                 "SELECT CAST(? AS TEXT), CAST(? AS TEXT) WHERE NOT EXISTS "
                                 "(SELECT 1 FROM usep WHERE 部门 = ? AND 使用人 = ?) "
                                 "ON CONFLICT DO NOTHING"),
                  {department, person, department, person}) > 0;
}

}  // namespace

QStringList departments(const QString& connstr) {
    return textColumn(connstr, QStringLiteral("select DISTINCT 部门 from usep"), {},
                      QStringLiteral("部门"));
}

QStringList people(const QString& connstr, const QString& department) {
    return textColumn(connstr, QStringLiteral("select DISTINCT 使用人 from usep where 部门=?"),
                      {department}, QStringLiteral("使用人"));
}

std::optional<QString> diskCapacity(const wmi::Variant& diskdrivesum) {
    std::optional<double> bytes;
    try {
        bytes = scan::forms::toNumber(diskdrivesum);
    } catch (const scan::forms::ValueError&) {
        return std::nullopt;
    }
    if (!bytes || !std::isfinite(*bytes)) return std::nullopt;
    const double gb = std::floor(*bytes / 1048576.0 / 1024.0);
    return QString::number(gb, 'f', 0) + QStringLiteral("GB");
}

std::vector<std::pair<QString, QVariant>> infoRow(const QString& department, const QString& person,
                                                  const scan::ScanRecord& r,
                                                  const QDateTime& when) {
    std::vector<std::pair<QString, QVariant>> row;
    auto put = [&](const char* column, const wmi::Variant& v) {
        if (const std::optional<QVariant> value = stored(v))
            row.emplace_back(QString::fromUtf8(column), *value);
    };
    row.emplace_back(QStringLiteral("部门"), textValue(department));
    row.emplace_back(QStringLiteral("使用人"), textValue(person));
    put("计算机名", r.datecomputername);
    put("用户名", r.dateuser);
    put("操作系统", r.dateos);
    put("系统语言", r.getl);
    put("安装日期", r.dateinstalldate);
    put("系统盘", r.systemdrive);
    put("CPU型号", r.datecpu);
    put("物理内存", r.datememory);
    put("主板", r.datebaseboard);
    put("硬盘", r.datediskdrive);
    if (const std::optional<QString> capacity = diskCapacity(r.diskdrivesum))
        row.emplace_back(QStringLiteral("硬盘容量"), *capacity);
    put("显示卡", r.datevideo);
    put("网络适配器", r.datenetworkname);
    put("MAC地址", r.datenetworkmac);
    put("IP地址", r.datenetworkip);
    put("音频", r.datesound);
    put("光驱", r.datecdrom);
    put("BIOS", r.datebios);
    row.emplace_back(QStringLiteral("date"), when);
    put("name", r.sendmail);
    return row;
}

namespace {

// Runs one save. A server that stops answering cannot hold it: the connection has its time-out,
// each statement its own, and the whole save both together.
template <typename Work>
QStringList withinSaveTime(const QString& connstr, Work work) {
    const ArchiveLocation location = parseConnectionString(connstr);
    const ServerDeadline deadline(
        std::chrono::seconds(location.connectTimeout + location.commandTimeout));
    try {
        return work();
    } catch (const ArchiveError& e) {
        if (!deadline.expired()) throw;
        throw ArchiveError(QStringLiteral("档案服务器 %1 在 %2 秒内没有完成保存，连接已断开（%3）")
                               .arg(location.describe())
                               .arg(location.connectTimeout + location.commandTimeout)
                               .arg(e.message()));
    }
}

// Appends `row` to info as the row set does (the columns matched case-insensitively, those that
// info lacks left out and named in `leftOut`) and returns the new row's id: info's id column
// where it has one, else SQLite's row id; nothing on a server whose info has no id.
std::optional<qint64> insertInfo(Session& s, const std::vector<std::pair<QString, QVariant>>& row,
                                 QStringList& leftOut) {
    QSqlDatabase db = s.database();
    const QSqlRecord& columns = s.columns(QStringLiteral("info"));
    if (columns.isEmpty()) throw ArchiveError(QStringLiteral("查询失败：档案中没有 info 表"));
    const auto columnNamed = [&](const QString& name) -> QString {
        for (int i = 0; i < columns.count(); ++i)
            if (columns.fieldName(i).compare(name, Qt::CaseInsensitive) == 0)
                return columns.fieldName(i);
        return {};
    };
    QStringList names, marks;
    QVariantList values;
    for (const auto& [name, value] : row) {
        const QString actual = columnNamed(name);
        if (actual.isEmpty()) {
            leftOut << name;
            continue;
        }
        names << db.driver()->escapeIdentifier(actual, QSqlDriver::FieldName);
        marks << QStringLiteral("?");
        values << value;
    }
    const QString id = columnNamed(QStringLiteral("id"));
    QString sql = names.isEmpty() ? QStringLiteral("INSERT INTO info DEFAULT VALUES")
                                  : QStringLiteral("INSERT INTO info (%1) VALUES (%2)")
                                        .arg(names.join(u','), marks.join(u','));
    if (!id.isEmpty())
        sql += QStringLiteral(" RETURNING ") +
               db.driver()->escapeIdentifier(id, QSqlDriver::FieldName);
    QSqlQuery& q = s.run(sql, values, QStringLiteral("无法写入新行：%1"));
    std::optional<qint64> made;
    if (!id.isEmpty()) {
        if (q.next() && !q.value(0).isNull()) made = q.value(0).toLongLong();
    } else if (const QVariant rowid = q.lastInsertId(); s.sqlite() && rowid.isValid()) {
        made = rowid.toLongLong();
    }
    q.finish();
    return made;
}

}  // namespace

QStringList saveRecord(const QString& connstr, const QString& department, const QString& person,
                       const scan::ScanRecord& record, const QDateTime& when) {
    return withinSaveTime(connstr, [&] {
        // The row set only needs the columns of info, not its rows.
        std::unique_ptr<Recordset> rs =
            opensql(connstr, QStringLiteral("select * from info where 1=0"));
        rs->AddNew();
        for (const auto& [column, value] : infoRow(department, person, record, when))
            rs->Fields(column).setValue(value);
        rs->Update();
        return rs->leftOut();
    });
}

QString recordingComputer() {
    return QSysInfo::machineHostName().section(u'.', 0, 0);
}

QStringList saveScan(const QString& connstr, const QString& department, const QString& person,
                     const scan::ScanRecord& record, const wmi::InstanceStore* answers,
                     const QDateTime& when, const SaveGuard* guard) {
    if (guard && !answers) throw ArchiveError(QStringLiteral("这次检测没有完整结果，无法保存"));
    if (!answers) return saveRecord(connstr, department, person, record, when);
    // Compressed before the archive is opened: the transaction holds the write lock only for
    // the two inserts.
    const QByteArray packed = packScan(*answers);
    return withinSaveTime(connstr, [&] {
        std::optional<Session> s(std::in_place, connstr, false);
        if (!s->hasTable(kScanTable)) {
            if (guard)
                throw ArchiveError(
                    QStringLiteral("档案没有 scans 表，请先运行“qelto-cli archive init”"));
            // An archive made before full scans were kept saves as it always did.
            s.reset();
            return saveRecord(connstr, department, person, record, when);
        }
        QStringList leftOut;
        inTransaction(*s, [&] {
            leftOut = insertScanRows(*s, department, person, record, packed, when);
            if (guard && s->exec(guard->sql, guard->params) != 1)
                throw ArchiveError(guard->refused, ArchiveError::Kind::Conflict);
        });
        return leftOut;
    });
}

QStringList insertScanRows(Session& s, const QString& department, const QString& person,
                           const scan::ScanRecord& record, const QByteArray& packed,
                           const QDateTime& when) {
    const std::vector<std::pair<QString, QVariant>> row = infoRow(department, person, record, when);
    const auto valueOf = [&](const QString& column) {
        for (const auto& [name, value] : row)
            if (name == column) return value;
        return QVariant(QMetaType(QMetaType::QString));
    };
    QStringList leftOut;
    const std::optional<qint64> infoId = insertInfo(s, row, leftOut);
    s.exec(QStringLiteral("INSERT INTO %1 (info_id, \"date\", \"计算机名\", \"部门\", "
                          "\"使用人\", answers) VALUES (?, ?, ?, ?, ?, ?)")
               .arg(kScanTable),
           {infoId ? QVariant(*infoId) : QVariant(QMetaType(QMetaType::LongLong)), QVariant(when),
            valueOf(QStringLiteral("计算机名")), textValue(department), textValue(person), packed});
    return leftOut;
}

bool archiveFileMissing(const QString& connstr) {
    const ArchiveLocation location = parseConnectionString(connstr);
    return location.engine == ArchiveLocation::Engine::SQLite && !QFileInfo::exists(location.file);
}

void initArchive(const QString& connstr) {
    Session s(connstr, true);
    inTransaction(s, [&] {
        const bool hadUsep = s.hasTable(QStringLiteral("usep"));
        s.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS usep (\"部门\" TEXT, \"使用人\" TEXT)"));
        // Only on a table made here: an older usep may hold a pair twice. The person comes
        // first so that SQLite still lists the departments by a scan of the table, in the order
        // they were entered, rather than in the order of the index.
        if (!hadUsep)
            s.exec(QStringLiteral("CREATE UNIQUE INDEX usep_pair ON usep (\"使用人\", \"部门\")"));
        s.exec(createInfo(s.sqlite()));
        for (const QString& statement : createScanTable(s.sqlite())) s.exec(statement);
        for (const QString& statement : queue::createQueueTable(s.sqlite())) s.exec(statement);
    });
}

bool addPerson(const QString& connstr, const QString& department, const QString& person) {
    const QString d = department.trimmed(), p = person.trimmed();
    if (d.isEmpty() || p.isEmpty()) throw ArchiveError(QStringLiteral("部门和使用人都不能为空"));
    Session s(connstr, false);
    bool added = false;
    inTransaction(s, [&] { added = insertPair(s, d, p); });
    return added;
}

ImportResult importPeople(const QString& connstr, const QString& csvPath,
                          const QByteArray& localeCharset) {
    QString reason;
    std::optional<QByteArray> bytes =
        common::readInputFile(csvPath, common::kMaxInputFileBytes, reason);
    if (!bytes) throw ArchiveError(QStringLiteral("无法读取文件 %1：%2").arg(csvPath, reason));

    // A byte-order mark says UTF-8; otherwise UTF-8 when the whole file is, else the locale's
    // character set, else GBK (where Chinese lists made on Windows come from).
    ImportResult result;
    QList<QByteArray> candidates;
    if (bytes->startsWith("\xEF\xBB\xBF")) {
        bytes->remove(0, 3);
        candidates << QByteArrayLiteral("UTF-8");
    } else {
        candidates << QByteArrayLiteral("UTF-8");
        const QByteArray local = localeCharset.toUpper();
        if (local != "UTF-8" && local != "UTF8" && local != "GBK" && !local.isEmpty())
            candidates << local;
        candidates << QByteArrayLiteral("GBK");
    }
    // When none fits, the line named is where the one that read furthest stopped: the file's
    // own encoding gets past the lines that are right.
    std::optional<QString> decoded;
    qsizetype bad = 0;
    for (const QByteArray& charset : candidates) {
        qsizetype stop = 0;
        decoded = common::decodeStrictly(*bytes, charset, stop);
        if (decoded) {
            result.encoding = charset;
            break;
        }
        bad = std::max(bad, stop);
    }
    if (!decoded)
        throw ArchiveError(QStringLiteral("文件 %1 第 %2 行的文字不是 %3 编码，未导入任何行；"
                                          "请把文件存为 UTF-8 后再导入")
                               .arg(csvPath)
                               .arg(bytes->left(bad).count('\n') + 1)
                               .arg(QString::fromUtf8(candidates.join("、"))));
    const QString text = *decoded;

    struct Row {
        int line;
        QString department, person;
    };
    std::vector<Row> rows;
    const QStringList lines = text.split(u'\n');
    bool first = true;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r')) line.chop(1);
        if (line.trimmed().isEmpty()) continue;
        const QStringList f = common::csvFields(line);
        if (f.size() != 2)
            throw ArchiveError(QStringLiteral("%1 第 %2 行应有两列（部门,使用人），实有 %3 列")
                                   .arg(csvPath)
                                   .arg(i + 1)
                                   .arg(f.size()));
        const bool header = first && f[0].trimmed() == u"部门" && f[1].trimmed() == u"使用人";
        first = false;
        if (header) continue;
        const int number = static_cast<int>(i + 1);
        if (f[0].trimmed().isEmpty() || f[1].trimmed().isEmpty())
            result.emptyNames << number;
        else
            rows.push_back({number, f[0].trimmed(), f[1].trimmed()});
    }
    Session s(connstr, false);
    inTransaction(s, [&] {
        for (const Row& row : rows) {
            if (insertPair(s, row.department, row.person))
                ++result.imported;
            else
                result.duplicates << row.line;
        }
    });
    return result;
}

}  // namespace qelto::archive
