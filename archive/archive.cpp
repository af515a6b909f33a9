#include "archive.h"

#include "scan/forms.h"
#include "wmi/snapshot.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

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
class Session {
  public:
    explicit Session(const QString& connstr, bool create)
        : location_(parseConnectionString(connstr)), name_(uniqueConnectionName()) {
        openConnection(location_, name_, create);
    }
    ~Session() {
        {
            QSqlDatabase db = QSqlDatabase::database(name_, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(name_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool sqlite() const { return location_.engine == ArchiveLocation::Engine::SQLite; }
    const ArchiveLocation& location() const { return location_; }

    void exec(const QString& sql, const QVariantList& params = {}) {
        QSqlQuery q(QSqlDatabase::database(name_, false));
        bool ok = false;
        if (params.isEmpty()) {
            ok = q.exec(sql);
        } else if (q.prepare(sql)) {
            for (const QVariant& p : params) q.addBindValue(p);
            ok = q.exec();
        }
        if (!ok)
            throw ArchiveError(QStringLiteral("执行失败：%1").arg(sqlErrorText(q.lastError())));
    }
    void begin() { exec(sqlite() ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN")); }
    void commit() { exec(QStringLiteral("COMMIT")); }
    void rollback() {
        QSqlQuery(QSqlDatabase::database(name_, false)).exec(QStringLiteral("ROLLBACK"));
    }

  private:
    ArchiveLocation location_;
    QString name_;
};

// Runs `work` between BEGIN and COMMIT; rolls back and rethrows when it fails.
template <typename Work>
void inTransaction(Session& s, Work work) {
    s.begin();
    try {
        work();
        s.commit();
    } catch (...) {
        s.rollback();
        throw;
    }
}

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

// Splits one CSV line into fields ("" inside quotes is one quote).
QStringList csvFields(const QString& line) {
    QStringList fields;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == u'"') {
                if (i + 1 < line.size() && line[i + 1] == u'"') {
                    field += u'"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            fields << field;
            field.clear();
        } else {
            field += c;
        }
    }
    fields << field;
    return fields;
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

QStringList saveRecord(const QString& connstr, const QString& department, const QString& person,
                       const scan::ScanRecord& record, const QDateTime& when) {
    // A server that stops answering cannot hold the save: the connection has its time-out, each
    // statement its own, and the whole save both together.
    const ArchiveLocation location = parseConnectionString(connstr);
    const ServerDeadline deadline(
        std::chrono::seconds(location.connectTimeout + location.commandTimeout));
    try {
        // The row set only needs the columns of info, not its rows.
        std::unique_ptr<Recordset> rs =
            opensql(connstr, QStringLiteral("select * from info where 1=0"));
        rs->AddNew();
        for (const auto& [column, value] : infoRow(department, person, record, when))
            rs->Fields(column).setValue(value);
        rs->Update();
        return rs->leftOut();
    } catch (const ArchiveError& e) {
        if (!deadline.expired()) throw;
        throw ArchiveError(QStringLiteral("档案服务器 %1 在 %2 秒内没有完成保存，连接已断开（%3）")
                               .arg(location.describe())
                               .arg(location.connectTimeout + location.commandTimeout)
                               .arg(e.message()));
    }
}

bool archiveFileMissing(const QString& connstr) {
    const ArchiveLocation location = parseConnectionString(connstr);
    return location.engine == ArchiveLocation::Engine::SQLite && !QFileInfo::exists(location.file);
}

void initArchive(const QString& connstr) {
    Session s(connstr, true);
    inTransaction(s, [&] {
        s.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS usep (\"部门\" TEXT, \"使用人\" TEXT)"));
        s.exec(createInfo(s.sqlite()));
    });
}

void addPerson(const QString& connstr, const QString& department, const QString& person) {
    Session s(connstr, false);
    inTransaction(s, [&] {
        s.exec(QStringLiteral("INSERT INTO usep (部门, 使用人) VALUES (?, ?)"),
               {department, person});
    });
}

int importPeople(const QString& connstr, const QString& csvPath) {
    QString reason;
    const std::optional<QByteArray> bytes =
        wmi::readInputFile(csvPath, wmi::kMaxInputFileBytes, reason);
    if (!bytes) throw ArchiveError(QStringLiteral("无法读取文件 %1：%2").arg(csvPath, reason));
    QString text = QString::fromUtf8(*bytes);
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);

    std::vector<std::pair<QString, QString>> pairs;
    const QStringList lines = text.split(u'\n');
    bool first = true;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r')) line.chop(1);
        if (line.trimmed().isEmpty()) continue;
        const QStringList f = csvFields(line);
        if (f.size() != 2)
            throw ArchiveError(QStringLiteral("%1 第 %2 行应有两列（部门,使用人），实有 %3 列")
                                   .arg(csvPath)
                                   .arg(i + 1)
                                   .arg(f.size()));
        const bool header = first && f[0].trimmed() == u"部门" && f[1].trimmed() == u"使用人";
        first = false;
        if (header) continue;
        pairs.emplace_back(f[0].trimmed(), f[1].trimmed());
    }
    Session s(connstr, false);
    inTransaction(s, [&] {
        for (const auto& [department, person] : pairs)
            s.exec(QStringLiteral("INSERT INTO usep (部门, 使用人) VALUES (?, ?)"),
                   {department, person});
    });
    return static_cast<int>(pairs.size());
}

}  // namespace qelto::archive
