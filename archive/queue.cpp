#include "queue.h"

#include "session.h"

#include <algorithm>

namespace qelto::archive::queue {

namespace {

// The archive's clock in whole seconds since 1970.
QString nowSql(bool sqlite) {
    return sqlite ? QStringLiteral("CAST(strftime('%s', 'now') AS INTEGER)")
                  : QStringLiteral("CAST(extract(epoch FROM clock_timestamp()) AS BIGINT)");
}

const QString kColumns = QStringLiteral(
    "id, host, every_s, department, person, due, worker, lease_until, started, last_at, "
    "last_ok, last_message, failures, scans, claim");

std::optional<qint64> optionalInt(const QVariant& v) {
    if (v.isNull()) return std::nullopt;
    return v.toLongLong();
}

Target targetOf(const QVariantList& r) {
    Target t;
    t.id = r[0].toLongLong();
    t.host = r[1].toString();
    t.every = r[2].toLongLong();
    t.department = r[3].toString();
    t.person = r[4].toString();
    t.due = optionalInt(r[5]);
    t.worker = r[6].toString();
    t.leaseUntil = optionalInt(r[7]);
    t.started = optionalInt(r[8]);
    t.lastAt = optionalInt(r[9]);
    if (!r[10].isNull()) t.lastOk = r[10].toLongLong() != 0;
    t.lastMessage = r[11].toString();
    t.failures = r[12].toInt();
    t.scans = r[13].toLongLong();
    t.claim = r[14].toLongLong();
    return t;
}

}  // namespace

QStringList createQueueTable(bool sqlite) {
    const QString id = sqlite
                           ? QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT")
                           : QStringLiteral("id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY");
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2, host TEXT NOT NULL UNIQUE, "
                       "every_s BIGINT NOT NULL DEFAULT 0, department TEXT, person TEXT, "
                       "due BIGINT, worker TEXT, lease_until BIGINT, started BIGINT, "
                       "last_at BIGINT, last_ok INTEGER, last_message TEXT, "
                       "failures INTEGER NOT NULL DEFAULT 0, scans BIGINT NOT NULL DEFAULT 0, "
                       "claim BIGINT NOT NULL DEFAULT 0)")
            .arg(kQueueTable, id),
        QStringLiteral("CREATE INDEX IF NOT EXISTS scan_queue_due ON %1 (due)").arg(kQueueTable)};
}

int addTargets(const QString& connstr, const std::vector<NewTarget>& targets, qint64 every) {
    Session s(connstr, false);
    int added = 0;
    inTransaction(s, [&] {
        for (const QString& statement : createQueueTable(s.sqlite())) s.exec(statement);
        for (const NewTarget& t : targets) {
            const int changed =
                s.exec(QStringLiteral(
                           "UPDATE %1 SET every_s = ?, department = ?, person = ? WHERE host = ?")
                           .arg(kQueueTable),
                       {every, t.department, t.person, t.host});
            if (changed > 0) continue;
            s.exec(QStringLiteral("INSERT INTO %1 (host, every_s, department, person, due) VALUES "
                                  "(?, ?, ?, ?, %2)")
                       .arg(kQueueTable, nowSql(s.sqlite())),
                   {t.host, every, t.department, t.person});
            ++added;
        }
    });
    return added;
}

int removeTargets(const QString& connstr, const QStringList& hosts, bool all) {
    Session s(connstr, false);
    int removed = 0;
    inTransaction(s, [&] {
        if (all) {
            removed = s.exec(QStringLiteral("DELETE FROM %1").arg(kQueueTable));
            return;
        }
        for (const QString& h : hosts)
            removed +=
                s.exec(QStringLiteral("DELETE FROM %1 WHERE host = ?").arg(kQueueTable), {h});
    });
    return removed;
}

std::vector<Target> listTargets(const QString& connstr) {
    Session s(connstr, false);
    if (!s.hasTable(kQueueTable)) return {};
    std::vector<Target> all;
    for (const QVariantList& r :
         s.select(QStringLiteral("SELECT %1 FROM %2 ORDER BY host").arg(kColumns, kQueueTable)))
        all.push_back(targetOf(r));
    return all;
}

qint64 archiveNow(const QString& connstr) {
    Session s(connstr, false);
    return s.select(QStringLiteral("SELECT ") + nowSql(s.sqlite())).at(0).at(0).toLongLong();
}

std::vector<Target> claimTargets(const QString& connstr, const QString& worker, int most,
                                 qint64 leaseSeconds) {
    Session s(connstr, false);
    std::vector<Target> claimed;
    if (most <= 0) return claimed;
    inTransaction(s, [&] {
        const QString now = nowSql(s.sqlite());
        // SQLite's BEGIN IMMEDIATE already keeps every other writer out until the commit.
        const QString lock = s.sqlite() ? QString() : QStringLiteral(" FOR UPDATE SKIP LOCKED");
        const std::vector<QVariantList> rows = s.select(
            QStringLiteral("SELECT %1 FROM %2 WHERE due IS NOT NULL AND due <= %3 AND "
                           "(lease_until IS NULL OR lease_until <= %3) ORDER BY due, id LIMIT %4%5")
                .arg(kColumns, kQueueTable, now)
                .arg(most)
                .arg(lock));
        for (const QVariantList& r : rows) {
            Target t = targetOf(r);
            s.exec(QStringLiteral("UPDATE %1 SET worker = ?, started = %2, lease_until = %2 + ?, "
                                  "claim = claim + 1 WHERE id = ?")
                       .arg(kQueueTable, now),
                   {worker, leaseSeconds, t.id});
            t.worker = worker;
            ++t.claim;
            claimed.push_back(std::move(t));
        }
    });
    return claimed;
}

SaveGuard releaseAfterSave(const Target& t, bool sqlite) {
    const QString now = nowSql(sqlite);
    return {QStringLiteral("UPDATE %1 SET worker = NULL, lease_until = NULL, started = NULL, "
                           "last_at = %2, last_ok = 1, last_message = NULL, failures = 0, "
                           "scans = scans + 1, due = CASE WHEN every_s > 0 THEN %2 + every_s END "
                           "WHERE id = ? AND claim = ?")
                .arg(kQueueTable, now),
            {t.id, t.claim},
            QStringLiteral("%1 已不再由这个扫描程序检测（租约已过期或已从队列中删除），结果未保存")
                .arg(t.host)};
}

qint64 backoffSeconds(int failures, qint64 every) {
    const qint64 step = qint64(30) << std::clamp(failures - 1, 0, 10);
    qint64 wait = std::min<qint64>(step, 6 * 3600);
    if (every > 0) wait = std::min(wait, every);
    return wait;
}

bool recordFailure(const QString& connstr, const Target& t, const QString& message) {
    Session s(connstr, false);
    bool recorded = false;
    inTransaction(s, [&] {
        const QString now = nowSql(s.sqlite());
        // The claim must still be held: a save whose commit reached the server while its answer
        // was lost (the server restarting) has already released it, and is no failure.
        recorded = s.exec(QStringLiteral("UPDATE %1 SET worker = NULL, lease_until = NULL, "
                                         "started = NULL, last_at = %2, last_ok = 0, "
                                         "last_message = ?, failures = failures + 1, due = %2 + ? "
                                         "WHERE id = ? AND claim = ? AND worker = ?")
                              .arg(kQueueTable, now),
                          {message, backoffSeconds(t.failures + 1, t.every), t.id, t.claim,
                           t.worker}) == 1;
    });
    return recorded;
}

}  // namespace qelto::archive::queue
