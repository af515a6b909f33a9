#include "connection.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

namespace qelto::archive {

namespace {

const QString kArchiveOption = QStringLiteral("--archive");

// Splits `key=value;key=value` into lower-case keys and their values.
QHash<QString, QString> splitPairs(const QString& connstr) {
    QHash<QString, QString> pairs;
    qsizetype i = 0;
    const qsizetype n = connstr.size();
    while (i < n) {
        const qsizetype eq = connstr.indexOf(u'=', i);
        const qsizetype semi = connstr.indexOf(u';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            // A part without "=" (or an empty part between two ";"): nothing to keep.
            if (semi < 0) break;
            i = semi + 1;
            continue;
        }
        const QString key = connstr.mid(i, eq - i).trimmed().toLower();
        qsizetype j = eq + 1;
        while (j < n && connstr[j].isSpace()) ++j;
        QString value;
        if (j < n && connstr[j] == u'"') {
            // A quoted value: "" inside stands for one quote.
            ++j;
            while (j < n) {
                if (connstr[j] == u'"') {
                    if (j + 1 < n && connstr[j + 1] == u'"') {
                        value += u'"';
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                value += connstr[j++];
            }
            const qsizetype end = connstr.indexOf(u';', j);
            i = end < 0 ? n : end + 1;
        } else {
            const qsizetype end = connstr.indexOf(u';', j);
            value = connstr.mid(j, end < 0 ? -1 : end - j).trimmed();
            i = end < 0 ? n : end + 1;
        }
        if (!key.isEmpty()) pairs.insert(key, value);
    }
    return pairs;
}

QString firstOf(const QHash<QString, QString>& pairs, std::initializer_list<const char*> keys) {
    for (const char* k : keys) {
        const auto it = pairs.find(QLatin1String(k));
        if (it != pairs.end()) return it.value();
    }
    return {};
}

}  // namespace

QString ArchiveLocation::describe() const {
    if (engine == Engine::SQLite) return file;
    return QStringLiteral("%1@%2:%3").arg(database, host).arg(port);
}

ArchiveLocation parseConnectionString(const QString& connstr) {
    const QHash<QString, QString> pairs = splitPairs(connstr);
    ArchiveLocation location;
    const QString provider = pairs.value(QStringLiteral("provider")).toLower();
    if (provider.contains(QStringLiteral("postgres")) ||
        provider.contains(QStringLiteral("pgsql"))) {
        location.engine = ArchiveLocation::Engine::PostgreSQL;
        location.host = firstOf(pairs, {"host", "server", "data source"});
        if (location.host.isEmpty()) location.host = QStringLiteral("localhost");
        location.database = firstOf(pairs, {"database", "initial catalog"});
        location.user = firstOf(pairs, {"user id", "uid", "user", "username"});
        location.password = firstOf(pairs, {"password", "pwd"});
        const QString port = firstOf(pairs, {"port"});
        if (!port.isEmpty()) {
            bool ok = false;
            location.port = port.toInt(&ok);
            if (!ok || location.port <= 0 || location.port > 65535)
                throw ArchiveError(QStringLiteral("连接字符串中的端口“%1”无效").arg(port));
        }
        if (location.database.isEmpty())
            throw ArchiveError(QStringLiteral("连接字符串没有指定数据库（Database）"));
        return location;
    }
    const QString source = firstOf(pairs, {"data source", "database", "dbq"});
    if (source.isEmpty())
        throw ArchiveError(QStringLiteral("连接字符串没有指定档案文件（Data Source）"));
    location.file = QFileInfo(QDir::current(), source).absoluteFilePath();
    return location;
}

std::optional<QString> effectiveConnectionString(const QStringList& args,
                                                 const QProcessEnvironment& env) {
    std::optional<QString> chosen;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == kArchiveOption) {
            if (i + 1 >= args.size()) return std::nullopt;
            chosen = args[++i];
        } else if (args[i].startsWith(kArchiveOption + u'=')) {
            chosen = args[i].mid(kArchiveOption.size() + 1);
        }
    }
    if (chosen) return chosen;
    const QString fromEnv = env.value(QLatin1String(kArchiveVariable));
    if (!fromEnv.isEmpty()) return fromEnv;
    return kDefaultConnectionString;
}

QStringList withoutArchiveOption(const QStringList& args) {
    QStringList rest;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == kArchiveOption) {
            ++i;
        } else if (!args[i].startsWith(kArchiveOption + u'=')) {
            rest << args[i];
        }
    }
    return rest;
}

}  // namespace qelto::archive
