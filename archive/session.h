#pragma once

#include "connection.h"
#include "recordset.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <vector>

// One connection to the archive that lives as long as its owner, for a series of statements and
// transactions around them. Each statement with parameters is prepared once on the connection and
// its query kept: a statement run again is only executed, and the connection's own set-up
// happens once, when it opens. A session belongs to the thread that made it.
namespace qelto::archive {

class Session {
  public:
    explicit Session(const QString& connstr, bool create)
        : location_(parseConnectionString(connstr)), name_(uniqueConnectionName()) {
        openConnection(location_, name_, create);
    }
    ~Session() {
        prepared_.clear();
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

    // The statement `sql` run with `params` bound in order, on its kept query; throws ArchiveError
    // with `failed` and the database's reason.
    QSqlQuery& run(const QString& sql, const QVariantList& params,
                   const QString& failed = QStringLiteral("执行失败：%1")) {
        auto it = prepared_.find(sql);
        if (it == prepared_.end()) {
            QSqlQuery q(database());
            q.setForwardOnly(true);
            if (!q.prepare(sql)) throw ArchiveError(failed.arg(sqlErrorText(q.lastError())));
            it = prepared_.insert(sql, q);
        }
        QSqlQuery& q = it.value();
        q.finish();
        for (int i = 0; i < params.size(); ++i) q.bindValue(i, params[i]);
        if (!q.exec()) throw ArchiveError(failed.arg(sqlErrorText(q.lastError())));
        return q;
    }
    // Returns the number of rows the statement changed.
    int exec(const QString& sql, const QVariantList& params = {}) {
        if (!params.isEmpty()) {
            QSqlQuery& q = run(sql, params);
            const int changed = q.numRowsAffected();
            q.finish();
            return changed;
        }
        QSqlQuery q(database());
        if (!q.exec(sql))
            throw ArchiveError(QStringLiteral("执行失败：%1").arg(sqlErrorText(q.lastError())));
        return q.numRowsAffected();
    }
    // The rows of a query, each with its columns in order.
    std::vector<QVariantList> select(const QString& sql, const QVariantList& params = {}) {
        QSqlQuery& q = run(sql, params, QStringLiteral("查询失败：%1"));
        std::vector<QVariantList> rows;
        while (q.next()) {
            QVariantList row;
            for (int i = 0, n = q.record().count(); i < n; ++i) row << q.value(i);
            rows.push_back(std::move(row));
        }
        q.finish();
        return rows;
    }
    bool hasTable(const QString& name) const {
        return QSqlDatabase::database(name_, false).tables().contains(name, Qt::CaseInsensitive);
    }
    // The columns of a table, asked of the database once per session.
    const QSqlRecord& columns(const QString& table) {
        auto it = columns_.find(table);
        if (it == columns_.end()) it = columns_.insert(table, database().record(table));
        return it.value();
    }
    void begin() { exec(sqlite() ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN")); }
    void commit() { exec(QStringLiteral("COMMIT")); }
    void rollback() { QSqlQuery(database()).exec(QStringLiteral("ROLLBACK")); }

  private:
    ArchiveLocation location_;
    QString name_;
    QHash<QString, QSqlQuery> prepared_;
    QHash<QString, QSqlRecord> columns_;
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
