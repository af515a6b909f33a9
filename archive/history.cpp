#include "history.h"

#include "recordset.h"

#include "scan/scan.h"
#include "wmi/snapshot.h"

#include <QHash>
#include <QSqlDatabase>
#include <QtEndian>

#include <algorithm>
#include <map>

namespace qelto::archive {

namespace {

ArchivedScan entryOf(Recordset& rs) {
    ArchivedScan e;
    e.id = rs.Fields(QStringLiteral("id")).Value().toLongLong();
    const QVariant info = rs.Fields(QStringLiteral("info_id")).Value();
    if (!info.isNull()) e.infoId = info.toLongLong();
    e.when = rs.Fields(QStringLiteral("date")).Value().toDateTime();
    e.computer = rs.Fields(QStringLiteral("计算机名")).Value().toString();
    e.department = rs.Fields(QStringLiteral("部门")).Value().toString();
    e.person = rs.Fields(QStringLiteral("使用人")).Value().toString();
    return e;
}

// Whether the archive has the table of full scans. Opening the archive is what fails for a
// missing file or a server that does not answer, with the same messages as every other use.
bool hasScanTable(const QString& connstr) {
    const QString name = uniqueConnectionName();
    const ArchiveLocation location = parseConnectionString(connstr);
    openConnection(location, name, false);
    bool has = false;
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        has = db.tables().contains(kScanTable, Qt::CaseInsensitive);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return has;
}

const QString kColumns =
    QStringLiteral("id, info_id, \"date\", \"计算机名\", \"部门\", \"使用人\"");

// The category of a node: the node right under the root on its way up (the root is its own).
int categoryOf(const scan::InventoryTree& tree, int index) {
    int i = index;
    while (tree.node(i).parent >= 0 && tree.node(tree.node(i).parent).parent >= 0)
        i = tree.node(i).parent;
    return i;
}

// What a change report compares of one scan: its tree and its programs.
struct Compared {
    scan::InventoryTree tree;
    std::optional<std::vector<Program>> programs;
};

Compared compared(const std::shared_ptr<const wmi::InstanceStore>& answers) {
    return {replayScan(answers).tree, programsOf(*answers)};
}

}  // namespace

QStringList createScanTable(bool sqlite) {
    const QString id = sqlite
                           ? QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT")
                           : QStringLiteral("id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY");
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2, info_id BIGINT, \"date\" TIMESTAMP, "
                           "\"计算机名\" TEXT, \"部门\" TEXT, \"使用人\" TEXT, answers %3)")
                .arg(kScanTable, id, sqlite ? QStringLiteral("BLOB") : QStringLiteral("BYTEA")),
            QStringLiteral("CREATE INDEX IF NOT EXISTS scans_computer ON %1 (\"计算机名\", id)")
                .arg(kScanTable)};
}

QByteArray packScan(const wmi::InstanceStore& answers) {
    const QByteArray text = wmi::writeSnapshot(answers);
    if (text.size() > kMaxScanBytes)
        throw ArchiveError(QStringLiteral("这次检测的完整结果超过 %1 MiB，无法存入档案")
                               .arg(kMaxScanBytes / 1024 / 1024));
    return qCompress(text, 6);
}

std::shared_ptr<wmi::InstanceStore> unpackScan(const QByteArray& packed) {
    const ArchiveError damaged(QStringLiteral("档案中的这次完整检测已损坏，无法读出"));
    if (packed.size() < 4) throw damaged;
    const quint32 length = qFromBigEndian<quint32>(packed.constData());
    if (length == 0 || length > quint32(kMaxScanBytes)) throw damaged;
    const QByteArray text = qUncompress(packed);
    if (text.size() != qsizetype(length)) throw damaged;
    try {
        return wmi::readSnapshot(text);
    } catch (const wmi::SnapshotError&) {
        throw damaged;
    }
}

ScanHistory scanHistory(const QString& connstr, const QString& computer, int last) {
    ScanHistory h;
    h.tableExists = hasScanTable(connstr);
    if (!h.tableExists) return h;
    const auto read = [&](const QString& where) {
        // The last ones come from the end of the index, newest first, and are turned round.
        const QString order =
            last > 0 ? QStringLiteral("id desc limit %1").arg(last) : QStringLiteral("id");
        std::unique_ptr<Recordset> rs =
            opensql(connstr,
                    QStringLiteral("select %1 from %2 where %3 order by %4")
                        .arg(kColumns, kScanTable, where, order),
                    {computer});
        for (int i = 0, n = rs->RecordCount(); i < n; ++i, rs->MoveNext())
            h.scans.push_back(entryOf(*rs));
        if (last > 0) std::reverse(h.scans.begin(), h.scans.end());
    };
    read(QStringLiteral("\"计算机名\" = ?"));
    if (h.scans.empty()) read(QStringLiteral("lower(\"计算机名\") = lower(?)"));
    return h;
}

StoredScan loadScan(const QString& connstr, qint64 id) {
    if (!hasScanTable(connstr))
        throw ArchiveError(QStringLiteral("档案中没有完整检测（它建于保存完整检测之前）"));
    std::unique_ptr<Recordset> rs = opensql(
        connstr,
        QStringLiteral("select %1, answers from %2 where id = ?").arg(kColumns, kScanTable), {id});
    if (rs->RecordCount() == 0)
        throw ArchiveError(QStringLiteral("档案中没有编号为 %1 的完整检测").arg(id));
    StoredScan s;
    s.entry = entryOf(*rs);
    s.answers = unpackScan(rs->Fields(QStringLiteral("answers")).Value().toByteArray());
    return s;
}

Replay replayScan(std::shared_ptr<const wmi::InstanceStore> answers, const QLocale& locale) {
    Replay r;
    r.record.clearForScan();
    wmi::StoreService service(std::move(answers));
    scan::infoscan(service, r.tree, r.record, locale);
    return r;
}

std::vector<TreeChange> diffTrees(const scan::InventoryTree& from, const scan::InventoryTree& to) {
    // The changes of each category, the categories in order of first appearance.
    QStringList order;
    QHash<QString, std::vector<TreeChange>> byCategory;
    const auto add = [&](TreeChange c) {
        if (!byCategory.contains(c.categoryKey)) order << c.categoryKey;
        byCategory[c.categoryKey].push_back(std::move(c));
    };
    const auto categoryLine = [](const scan::InventoryTree& t, int index, TreeChange& c) {
        const scan::Node& category = t.node(categoryOf(t, index));
        c.categoryKey = category.key;
        c.category = category.text;
    };
    // Every category of `to` gets its place first, even where its only changes are removals.
    for (int i = 0; i < to.count(); ++i)
        if (categoryOf(to, i) == i && !byCategory.contains(to.node(i).key)) {
            order << to.node(i).key;
            byCategory.insert(to.node(i).key, {});
        }
    for (int i = 0; i < to.count(); ++i) {
        const scan::Node& n = to.node(i);
        const int old = from.indexOf(n.key);
        if (old >= 0 && from.node(old).text == n.text) continue;
        TreeChange c{old < 0 ? TreeChange::Kind::Added : TreeChange::Kind::Changed,
                     {},
                     {},
                     n.key,
                     old < 0 ? QString() : from.node(old).text,
                     n.text};
        categoryLine(to, i, c);
        add(std::move(c));
    }
    for (int i = 0; i < from.count(); ++i) {
        const scan::Node& n = from.node(i);
        if (to.contains(n.key)) continue;
        TreeChange c{TreeChange::Kind::Removed, {}, {}, n.key, n.text, {}};
        // A removed line stands under its category as the newer tree names it, where it has it.
        categoryLine(from, i, c);
        const int now = to.indexOf(c.categoryKey);
        if (now >= 0) c.category = to.node(now).text;
        add(std::move(c));
    }
    std::vector<TreeChange> all;
    for (const QString& key : order)
        for (TreeChange& c : byCategory[key]) all.push_back(std::move(c));
    return all;
}

const QStringList& volatileLines() {
    static const QStringList keys = {
        QStringLiteral("os14"),   // 开机时间
        QStringLiteral("os19"),   // 物理内存剩余
        QStringLiteral("os20"),   // 进程数
        QStringLiteral("os21"),   // 进程用户数
        QStringLiteral("os22"),   // 本机时间
        QStringLiteral("cpu14"),  // CPU使用率
        QStringLiteral("cpu15"),  // 当前频率
    };
    return keys;
}

bool isVolatileLine(const QString& key) {
    const qsizetype dot = key.indexOf(u'.');
    return volatileLines().contains(dot < 0 ? key : key.left(dot));
}

ChangeReport archiveChanges(const QString& connstr, const QDateTime& since) {
    ChangeReport report;
    report.tableExists = hasScanTable(connstr);
    if (!report.tableExists) return report;
    // The list without the answers; each scan's answers are read when its turn comes.
    std::unique_ptr<Recordset> rs =
        opensql(connstr, QStringLiteral("select %1 from %2 order by id").arg(kColumns, kScanTable));
    QStringList order;
    QHash<QString, std::vector<ArchivedScan>> byComputer;
    for (int i = 0, n = rs->RecordCount(); i < n; ++i, rs->MoveNext()) {
        ArchivedScan e = entryOf(*rs);
        if (since.isValid() && e.when < since) continue;
        const QString name = e.computer.toLower();
        if (!byComputer.contains(name)) order << name;
        byComputer[name].push_back(std::move(e));
    }
    rs.reset();
    for (const QString& name : order) {
        const std::vector<ArchivedScan>& scans = byComputer[name];
        if (scans.size() < 2) continue;
        ++report.computers;
        Compared previous = compared(loadScan(connstr, scans[0].id).answers);
        for (size_t i = 1; i < scans.size(); ++i) {
            Compared current = compared(loadScan(connstr, scans[i].id).answers);
            ScanChanges pair{scans[i - 1], scans[i], {}, std::nullopt};
            for (TreeChange& c : diffTrees(previous.tree, current.tree))
                if (!isVolatileLine(c.key)) pair.changes.push_back(std::move(c));
            if (previous.programs && current.programs)
                pair.software = diffPrograms(*previous.programs, *current.programs);
            report.pairs.push_back(std::move(pair));
            previous = std::move(current);
        }
    }
    return report;
}

ProgramSearch findProgram(const QString& connstr, const QString& name,
                          const std::optional<QString>& below) {
    ProgramSearch search;
    search.tableExists = hasScanTable(connstr);
    if (!search.tableExists) return search;
    // The latest scan of each computer (by name, case aside), in the names' order.
    std::unique_ptr<Recordset> rs =
        opensql(connstr, QStringLiteral("select %1 from %2 order by id").arg(kColumns, kScanTable));
    std::map<QString, ArchivedScan> latest;
    for (int i = 0, n = rs->RecordCount(); i < n; ++i, rs->MoveNext()) {
        ArchivedScan e = entryOf(*rs);
        latest[e.computer.toLower()] = std::move(e);
    }
    rs.reset();
    for (const auto& [key, scan] : latest) {
        ++search.computers;
        const std::optional<std::vector<Program>> programs =
            programsOf(*loadScan(connstr, scan.id).answers);
        if (!programs) {
            ++search.unknown;
            continue;
        }
        for (const Program& p : *programs)
            if (p.name.compare(name, Qt::CaseInsensitive) == 0 &&
                (!below || compareVersions(p.source, p.version, *below) < 0))
                search.holders.push_back({scan, p});
    }
    return search;
}

}  // namespace qelto::archive
