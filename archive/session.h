#pragma once

#include "connection.h"
#include "recordset.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <vector>

// The archive's own connection for a series of statements, and a transaction around them; for
// the archive's implementation only.
namespace qelto::archive {

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

    QSqlDatabase database() const { return QSqlDatabase::database(name_, false); }
    bool sqlite() const { return location_.engine == ArchiveLocation::Engine::SQLite; }
    const ArchiveLocation& location() const { return location_; }

    // Returns the number of rows the statement changed.
    int exec(const QString& sql, const QVariantList& params = {}) {
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
        return q.numRowsAffected();
    }
    // The rows of a query, each with its columns in order.
    std::vector<QVariantList> select(const QString& sql, const QVariantList& params = {}) {
        QSqlQuery q(QSqlDatabase::database(name_, false));
        q.setForwardOnly(true);
        bool ok = q.prepare(sql);
        for (const QVariant& p : params) q.addBindValue(p);
        ok = ok && q.exec();
        if (!ok)
            throw ArchiveError(QStringLiteral("查询失败：%1").arg(sqlErrorText(q.lastError())));
        std::vector<QVariantList> rows;
        while (q.next()) {
            QVariantList row;
            for (int i = 0, n = q.record().count(); i < n; ++i) row << q.value(i);
            rows.push_back(std::move(row));
        }
        return rows;
    }
    bool hasTable(const QString& name) const {
        return QSqlDatabase::database(name_, false).tables().contains(name, Qt::CaseInsensitive);
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

}  // namespace qelto::archive
