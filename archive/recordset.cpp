#include "recordset.h"

#include <QAtomicInt>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>

#include "common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qelto::archive {

namespace {

// How long a writer waits for another process's transaction on the same SQLite file.
constexpr int kBusyTimeoutMs = 30000;

void requireDriver(const QString& driver, const char* package) {
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw ArchiveError(QStringLiteral("缺少 Qt 的 %1 数据库驱动（Debian 软件包 %2）")
                               .arg(driver, QLatin1String(package)));
}

// The single table that "select … from TABLE" reads; empty for anything else.
QString singleTable(const QString& sql) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\s*select\s.+?\sfrom\s+("[^"]+"|[\w]+)\s*(where\s.*)?;?\s*$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption |
            QRegularExpression::UseUnicodePropertiesOption);
    const QRegularExpressionMatch m = pattern.match(sql);
    if (!m.hasMatch()) return {};
    QString table = m.captured(1);
    if (table.startsWith(u'"')) table = table.mid(1, table.size() - 2);
    return table;
}

// Closes and forgets a connection; the QSqlDatabase handle must be gone before removeDatabase.
void dropConnection(const QString& name) {
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isOpen()) db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

}  // namespace

QString sqlErrorText(const QSqlError& e) {
    // SQLite's own texts for what the user can do something about are in English; its result
    // codes are a number (PostgreSQL's are five characters, SQLSTATE).
    bool sqlite = false;
    const int code = e.nativeErrorCode().toInt(&sqlite);
    if (sqlite && e.nativeErrorCode().size() <= 3) {
        switch (code & 0xff) {
            case 3:  // SQLITE_PERM
                return QStringLiteral("没有权限");
            case 8:  // SQLITE_READONLY
                return QStringLiteral("档案文件或它所在的文件系统是只读的");
            case 13:  // SQLITE_FULL
                return QStringLiteral("磁盘已满");
            case 14:  // SQLITE_CANTOPEN
                return QStringLiteral("文件夹不存在或没有权限");
        }
    }
    QString text = e.text().trimmed();
    if (text.isEmpty())  // the driver gives no text when the server went away in the middle
        text = QStringLiteral("数据库没有给出原因（与档案服务器的连接可能已经中断）");
    return text;
}

QString uniqueConnectionName() {
    static QAtomicInt counter;
    return QStringLiteral("qelto-archive-%1").arg(counter.fetchAndAddRelaxed(1));
}

FileFormat fileFormat(const QString& path) {
    // Not through QFile: opening a pipe would wait for a writer.
    const int fd = ::open(common::nativeFileName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return FileFormat::Other;
    struct stat st {};
    char buffer[32];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0) return FileFormat::Other;
    const QByteArray head(buffer, n);
    if (head.isEmpty() || head.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return FileFormat::SQLite;
    // An Access database starts with a 4-byte page signature and then names its engine.
    const QByteArray engine = head.mid(4, 15);
    if (engine == "Standard Jet DB" || engine == "Standard ACE DB") return FileFormat::Access;
    return FileFormat::Other;
}

namespace {

void openServer(const ArchiveLocation& location, const QString& name) {
    requireDriver(QStringLiteral("QPSQL"), "libqt6sql6-psql");
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(location.host);
    db.setPort(location.port);
    db.setDatabaseName(location.database);
    db.setUserName(location.user);
    db.setPassword(location.password);
    db.setConnectOptions(serverConnectOptions(location));
    if (!db.open()) {
        QString why = sqlErrorText(db.lastError());
        // libpq's "fe_sendauth: no password supplied": the server wants a password and the
        // connection string named none. Say where one is given.
        if (location.password.isEmpty() && why.contains(QLatin1String("fe_sendauth")))
            why = QStringLiteral(
                "服务器要求密码，但没有给出密码。请用环境变量 QELTO_ARCHIVE_PASSWORD "
                "给出档案服务器的密码（qelto-cli 也可用 --archive-password-file 文件）");
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw ArchiveError(
            QStringLiteral("无法连接档案数据库 %1：%2").arg(location.describe(), why));
    }
    ServerDeadline::watch(db);
}

// Refuses an archive file that is not one: missing (unless it is to be made), a folder, device or
// pipe, empty before archive init, an Access database, anything else that is not SQLite.
void checkArchiveFile(const QString& file, bool create) {
    struct stat st {};
    const bool exists = ::stat(common::nativeFileName(file).constData(), &st) == 0;
    if (!exists && !create)
        throw ArchiveError(QStringLiteral("找不到档案文件 %1").arg(file),
                           ArchiveError::Kind::Missing);
    if (!exists) return;
    // SQLite would open a device as an empty database and put its journal beside it, and a pipe
    // would block: only regular files are archives.
    if (!S_ISREG(st.st_mode))
        throw ArchiveError(
            QStringLiteral("档案文件 %1 不是普通文件（而是文件夹、设备或管道），无法打开")
                .arg(file),
            ArchiveError::Kind::NotAnArchive);
    // An empty file is an empty SQLite database, but it becomes one only through archive init:
    // anything else would write the database header into it and then fail for want of tables.
    if (st.st_size == 0 && !create)
        throw ArchiveError(
            QStringLiteral("档案文件 %1 是空文件，还不是档案；请先用“qelto-cli archive init”建立它")
                .arg(file),
            ArchiveError::Kind::NotAnArchive);
    switch (fileFormat(file)) {
        case FileFormat::SQLite:
            return;
        case FileFormat::Access:
            throw ArchiveError(
                QStringLiteral(
                    "档案文件 %1 是 Access 格式的数据库，本程序不能读写它，也不会改动它。"
                    "请把其中 usep 和 info 两张表的数据导出为 CSV 文件，用“qelto-cli "
                    "archive init --archive 连接字符串”建立新的档案（另取一个文件名），"
                    "再用“qelto-cli archive people import 文件.csv”导入部门和使用人。")
                    .arg(file),
                ArchiveError::Kind::AccessFormat);
        case FileFormat::Other:
            throw ArchiveError(QStringLiteral("档案文件 %1 不是 SQLite 数据库，无法打开").arg(file),
                               ArchiveError::Kind::NotAnArchive);
    }
}

void openFile(const ArchiveLocation& location, const QString& name, bool create) {
    requireDriver(QStringLiteral("QSQLITE"), "libqt6sql6-sqlite");
    checkArchiveFile(location.file, create);
    // The file is opened through a URI so that "mode=rw" forbids creating it by accident.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    const QString uri = QStringLiteral("file:") +
                        QString::fromLatin1(QUrl::toPercentEncoding(location.file, "/")) +
                        (create ? QStringLiteral("?mode=rwc") : QStringLiteral("?mode=rw"));
    db.setDatabaseName(uri);
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db.open()) {
        const QString why = sqlErrorText(db.lastError());
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw ArchiveError(QStringLiteral("无法打开档案文件 %1：%2").arg(location.file, why));
    }
    // Readers never block the writer and the other way round; the mode stays with the file.
    QSqlQuery mode(db);
    if (mode.exec(QStringLiteral("PRAGMA journal_mode")) && mode.next() &&
        mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        mode.finish();
        mode.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    }
}

}  // namespace

void openConnection(const ArchiveLocation& location, const QString& name, bool create) {
    if (location.engine == ArchiveLocation::Engine::PostgreSQL)
        openServer(location, name);
    else
        openFile(location, name, create);
}

std::unique_ptr<Recordset> opensql(const QString& connstr, const QString& sql,
                                   const QVariantList& params) {
    const ArchiveLocation location = parseConnectionString(connstr);
    std::unique_ptr<Recordset> rs(new Recordset);
    rs->connection_ = uniqueConnectionName();
    rs->sqlite_ = location.engine == ArchiveLocation::Engine::SQLite;
    openConnection(location, rs->connection_, false);
    rs->table_ = singleTable(sql);

    QSqlQuery query(QSqlDatabase::database(rs->connection_, false));
    query.setForwardOnly(true);
    bool ok = false;
    if (params.isEmpty()) {
        ok = query.exec(sql);
    } else if (query.prepare(sql)) {
        for (const QVariant& p : params) query.addBindValue(p);
        ok = query.exec();
    }
    if (!ok)
        throw ArchiveError(QStringLiteral("查询失败：%1").arg(sqlErrorText(query.lastError())));
    const QSqlRecord record = query.record();
    for (int i = 0; i < record.count(); ++i) rs->columns_ << record.fieldName(i);
    while (query.next()) {
        QVariantList row;
        row.reserve(record.count());
        for (int i = 0; i < record.count(); ++i) row << query.value(i);
        rs->rows_.push_back(std::move(row));
    }
    if (query.lastError().isValid())
        throw ArchiveError(
            QStringLiteral("读取查询结果失败：%1").arg(sqlErrorText(query.lastError())));
    return rs;
}

Recordset::~Recordset() {
    if (!connection_.isEmpty()) dropConnection(connection_);
}

int Recordset::columnIndex(const QString& name) const {
    for (qsizetype i = 0; i < columns_.size(); ++i)
        if (columns_[i].compare(name, Qt::CaseInsensitive) == 0) return static_cast<int>(i);
    return -1;
}

void Recordset::MoveNext() {
    if (position_ < RecordCount()) ++position_;
}

QVariant Recordset::Field::Value() const {
    if (rs_.adding_) {
        for (const auto& [column, value] : rs_.newRow_)
            if (column.compare(name_, Qt::CaseInsensitive) == 0) return value;
        return {};
    }
    const int column = rs_.columnIndex(name_);
    if (column < 0 || rs_.atEnd()) return {};
    return rs_.rows_[static_cast<std::size_t>(rs_.position_)][column];
}

void Recordset::Field::setValue(const QVariant& value) {
    if (!rs_.adding_) throw ArchiveError(QStringLiteral("只能为新行（AddNew 之后）设置字段的值"));
    const int column = rs_.columnIndex(name_);
    if (column < 0) {
        rs_.leftOut_ << name_;
        return;
    }
    const QString& actual = rs_.columns_[column];
    for (auto& [name, v] : rs_.newRow_)
        if (name == actual) {
            v = value;
            return;
        }
    rs_.newRow_.emplace_back(actual, value);
}

void Recordset::AddNew() {
    if (table_.isEmpty())
        throw ArchiveError(QStringLiteral("这个查询的结果不是单独一张表，不能追加行"));
    adding_ = true;
    newRow_.clear();
    leftOut_.clear();
}

void Recordset::Update() {
    if (!adding_) return;  // nothing was changed
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlDriver* driver = db.driver();
    QStringList names, marks;
    for (const auto& entry : newRow_) {
        names << driver->escapeIdentifier(entry.first, QSqlDriver::FieldName);
        marks << QStringLiteral("?");
    }
    const QString table = driver->escapeIdentifier(table_, QSqlDriver::TableName);
    const QString insert = names.isEmpty()
                               ? QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(table)
                               : QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                     .arg(table, names.join(u','), marks.join(u','));

    auto fail = [&](const QString& what, const QSqlError& e) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        throw ArchiveError(what + sqlErrorText(e));
    };
    // SQLite: take the write lock at the start, so that the busy timeout covers the wait for
    // other writers instead of failing the transaction half-way.
    QSqlQuery begin(db);
    if (!begin.exec(sqlite_ ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN")))
        throw ArchiveError(QStringLiteral("无法开始事务：") + sqlErrorText(begin.lastError()));
    QSqlQuery query(db);
    if (!query.prepare(insert)) fail(QStringLiteral("无法写入新行："), query.lastError());
    for (const auto& entry : newRow_) query.addBindValue(entry.second);
    if (!query.exec()) fail(QStringLiteral("无法写入新行："), query.lastError());
    query.finish();
    QSqlQuery commit(db);
    if (!commit.exec(QStringLiteral("COMMIT")))
        fail(QStringLiteral("无法提交："), commit.lastError());
    adding_ = false;
    newRow_.clear();
}

}  // namespace qelto::archive
