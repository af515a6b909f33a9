#include "queue.h"

#include "session.h"

#include <QHash>
#include <QSqlQuery>

#include <algorithm>
#include <limits>

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
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2, host TEXT NOT NULL UNIQUE, "
                           "every_s BIGINT NOT NULL DEFAULT 0, department TEXT, person TEXT, "
                           "due BIGINT, worker TEXT, lease_until BIGINT, started BIGINT, "
                           "last_at BIGINT, last_ok INTEGER, last_message TEXT, "
                           "failures INTEGER NOT NULL DEFAULT 0, scans BIGINT NOT NULL DEFAULT 0, "
                           "claim BIGINT NOT NULL DEFAULT 0)")
                .arg(kQueueTable, id),
            // In the claims' order, so that a claim reads its rows off the index instead of sorting
            // every due target of the same second by id; it replaces the index on due alone.
            QStringLiteral("CREATE INDEX IF NOT EXISTS scan_queue_next ON %1 (due, id)")
                .arg(kQueueTable),
            QStringLiteral("DROP INDEX IF EXISTS scan_queue_due")};
}

namespace {

// Hosts per statement of addTargets: five values each, well inside both engines' limits on
// parameters.
constexpr std::size_t kAddSlice = 1000;
// Rows per fetch of forEachTarget.
constexpr int kListSlice = 1000;

// Adds or updates one slice of targets in one statement; returns how many were new.
int addSlice(Session& s, const NewTarget* first, std::size_t n, qint64 every) {
    QStringList rows;
    QVariantList params;
    for (std::size_t i = 0; i < n; ++i) {
        rows << QStringLiteral("(?, ?, ?, ?, %1)").arg(nowSql(s.sqlite()));
        params << first[i].host << every << first[i].department << first[i].person;
    }
    // On a server, a row that was inserted has no deleting transaction yet (xmax 0); SQLite's
    // write lock keeps the count still around the statement.
    const QString returning =
        s.sqlite() ? QString() : QStringLiteral(" RETURNING (xmax = 0) AS inserted");
    const QString sql = QStringLiteral(
                            "INSERT INTO %1 (host, every_s, department, person, due) "
                            "VALUES %2 ON CONFLICT (host) DO UPDATE SET every_s = "
                            "excluded.every_s, department = excluded.department, "
                            "person = excluded.person%3")
                            .arg(kQueueTable, rows.join(u','), returning);
    if (s.sqlite()) {
        const QString count = QStringLiteral("SELECT count(*) FROM %1").arg(kQueueTable);
        const qint64 before = s.select(count).at(0).at(0).toLongLong();
        s.exec(sql, params);
        return int(s.select(count).at(0).at(0).toLongLong() - before);
    }
    int added = 0;
    for (const QVariantList& r : s.select(sql, params)) added += r.at(0).toBool() ? 1 : 0;
    return added;
}

}  // namespace

int addTargets(const QString& connstr, const std::vector<NewTarget>& targets, qint64 every) {
    // One row per host, the last one given winning, as a statement may change a row only once.
    std::vector<NewTarget> unique;
    QHash<QString, std::size_t> at;
    for (const NewTarget& t : targets) {
        const auto it = at.constFind(t.host);
        if (it != at.cend()) {
            unique[*it] = t;
            continue;
        }
        at.insert(t.host, unique.size());
        unique.push_back(t);
    }
    Session s(connstr, false);
    int added = 0;
    inTransaction(s, [&] {
        for (const QString& statement : createQueueTable(s.sqlite())) s.exec(statement);
        for (std::size_t i = 0; i < unique.size(); i += kAddSlice)
            added += addSlice(s, unique.data() + i, std::min(kAddSlice, unique.size() - i), every);
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

void forEachTarget(Session& s, const std::function<void(const Target&)>& row) {
    if (!s.hasTable(kQueueTable)) return;
    const QString select =
        QStringLiteral("SELECT %1 FROM %2 ORDER BY host").arg(kColumns, kQueueTable);
    const auto hand = [&](QSqlQuery& q) {
        int n = 0;
        QVariantList r;
        while (q.next()) {
            r.clear();
            for (int i = 0; i < 15; ++i) r << q.value(i);
            row(targetOf(r));
            ++n;
        }
        q.finish();
        return n;
    };
    if (s.sqlite()) {  // SQLite steps through the rows as they are read
        hand(s.run(select, {}, QStringLiteral("查询失败：%1")));
        return;
    }
    // A server sends a query's whole result at once: a cursor hands it out in slices.
    inTransaction(s, [&] {
        s.exec(QStringLiteral("DECLARE queue_rows NO SCROLL CURSOR FOR ") + select);
        // FETCH cannot be prepared: sent as it is.
        QSqlQuery fetch(s.database());
        fetch.setForwardOnly(true);
        const QString slice = QStringLiteral("FETCH %1 FROM queue_rows").arg(kListSlice);
        do {
            if (!fetch.exec(slice))
                throw ArchiveError(
                    QStringLiteral("查询失败：%1").arg(sqlErrorText(fetch.lastError())));
        } while (hand(fetch) == kListSlice);
    });
}

std::vector<Target> listTargets(const QString& connstr) {
    Session s(connstr, false);
    std::vector<Target> all;
    forEachTarget(s, [&](const Target& t) { all.push_back(t); });
    return all;
}

qint64 archiveNow(Session& s) {
    return s.select(QStringLiteral("SELECT ") + nowSql(s.sqlite())).at(0).at(0).toLongLong();
}

qint64 archiveNow(const QString& connstr) {
    Session s(connstr, false);
    return archiveNow(s);
}

std::vector<Target> claimTargets(Session& s, const QString& worker, int most, qint64 leaseSeconds,
                                 std::optional<qint64> dueBy) {
    std::vector<Target> claimed;
    if (most <= 0) return claimed;
    const QString now = nowSql(s.sqlite());
    const QString due = QStringLiteral(
                            "due IS NOT NULL AND due <= %1 AND due <= ? AND "
                            "(lease_until IS NULL OR lease_until <= %1)")
                            .arg(now);
    const qint64 by = dueBy.value_or(std::numeric_limits<qint64>::max());
    const QString take = QStringLiteral(
                             "UPDATE %1 SET worker = ?, started = %2, lease_until = "
                             "%2 + ?, claim = claim + 1 WHERE ")
                             .arg(kQueueTable, now);
    if (!s.sqlite()) {
        // One statement: the rows locked by other workers' claims are passed over.
        for (const QVariantList& r :
             s.select(take + QStringLiteral("id IN (SELECT id FROM %1 WHERE %2 ORDER BY due, id "
                                            "LIMIT ? FOR UPDATE SKIP LOCKED) RETURNING %3")
                                 .arg(kQueueTable, due, kColumns),
                      {worker, leaseSeconds, by, most}))
            claimed.push_back(targetOf(r));
        return claimed;
    }
    // SQLite's BEGIN IMMEDIATE keeps every other writer out until the commit.
    inTransaction(s, [&] {
        const std::vector<QVariantList> rows =
            s.select(QStringLiteral("SELECT %1 FROM %2 WHERE %3 ORDER BY due, id LIMIT ?")
                         .arg(kColumns, kQueueTable, due),
                     {by, most});
        for (const QVariantList& r : rows) {
            Target t = targetOf(r);
            s.exec(take + QStringLiteral("id = ?"), {worker, leaseSeconds, t.id});
            t.worker = worker;
            ++t.claim;
            claimed.push_back(std::move(t));
        }
    });
    return claimed;
}

std::vector<Target> claimTargets(const QString& connstr, const QString& worker, int most,
                                 qint64 leaseSeconds) {
    Session s(connstr, false);
    return claimTargets(s, worker, most, leaseSeconds);
}

SaveGuard releaseAfterSave(const Target& t, bool sqlite) {
    const QString now = nowSql(sqlite);
    return {QStringLiteral("UPDATE %1 SET worker = NULL, lease_until = NULL, started = NULL, "
                           "last_at = %2, last_ok = 1, last_message = NULL, failures = 0, "
                           "scans = scans + 1, due = CASE WHEN every_s > 0 THEN %2 + every_s END "
                           "WHERE id = ? AND claim = ? AND worker = ?")
                .arg(kQueueTable, now),
            {t.id, t.claim, t.worker},
            QStringLiteral("%1 已不再由这个扫描程序检测（租约已过期或已从队列中删除），结果未保存")
                .arg(t.host)};
}

qint64 backoffSeconds(int failures, qint64 every) {
    const qint64 step = qint64(30) << std::clamp(failures - 1, 0, 10);
    qint64 wait = std::min<qint64>(step, 6 * 3600);
    if (every > 0) wait = std::min(wait, every);
    return wait;
}

QString storedMessage(const QString& message) {
    QString line = message;
    for (QChar& c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QChar(0x2028) || c == QChar(0x2029))
            c = u' ';
    return line.trimmed();
}

namespace {

// Within a transaction: the failure of a claimed target, where the claim is still its own.
bool failureOf(Session& s, const Target& t, const QString& message) {
    // The claim must still be held: a save whose commit reached the server while its answer was
    // lost (the server restarting) has already released it, and is no failure.
    return s.exec(QStringLiteral("UPDATE %1 SET worker = NULL, lease_until = NULL, started = NULL, "
                                 "last_at = %2, last_ok = 0, last_message = ?, failures = failures "
                                 "+ 1, due = %2 + ? WHERE id = ? AND claim = ? AND worker = ?")
                      .arg(kQueueTable, nowSql(s.sqlite())),
                  {storedMessage(message), backoffSeconds(t.failures + 1, t.every), t.id, t.claim,
                   t.worker}) == 1;
}

}  // namespace

bool recordFailure(const QString& connstr, const Target& t, const QString& message) {
    Session s(connstr, false);
    bool recorded = false;
    inTransaction(s, [&] { recorded = failureOf(s, t, message); });
    return recorded;
}

std::vector<Recorded> recordOutcomes(Session& s, const std::vector<Outcome>& outcomes) {
    std::vector<Recorded> done;
    inTransaction(s, [&] {
        done.clear();
        for (const Outcome& o : outcomes) {
            if (!o.failure.isEmpty()) {
                done.push_back(failureOf(s, o.target, o.failure) ? Recorded::Failed
                                                                 : Recorded::NotOwn);
                continue;
            }
            // The release first: a claim that is no longer its own saves nothing.
            const SaveGuard guard = releaseAfterSave(o.target, s.sqlite());
            if (s.exec(guard.sql, guard.params) != 1) {
                done.push_back(Recorded::NotOwn);
                continue;
            }
            insertScanRows(s, o.target.department, o.target.person, o.record, o.packed, o.when);
            done.push_back(Recorded::Saved);
        }
    });
    return done;
}

}  // namespace qelto::archive::queue
