#include "connection.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlDriver>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qelto::archive {

namespace {

const QString kArchiveOption = QStringLiteral("--archive");

// The longest time-out a connection string may give: one day.
constexpr int kMaxTimeoutSeconds = 86400;

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
    ArchiveLocation location;
    // A plain file name, as people type it: no "key=value" pair in it.
    if (!connstr.contains(u'=') && !connstr.trimmed().isEmpty()) {
        location.file = QFileInfo(QDir::current(), connstr).absoluteFilePath();
        return location;
    }
    const QHash<QString, QString> pairs = splitPairs(connstr);
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
        const auto seconds = [&pairs](std::initializer_list<const char*> keys, int& into) {
            const QString text = firstOf(pairs, keys);
            if (text.isEmpty()) return;
            bool ok = false;
            into = text.toInt(&ok);
            if (!ok || into <= 0 || into > kMaxTimeoutSeconds)
                throw ArchiveError(QStringLiteral("连接字符串中的时限“%1”无效（应为 1 到 %2 秒）")
                                       .arg(text)
                                       .arg(kMaxTimeoutSeconds));
        };
        seconds({"timeout", "connect timeout", "connection timeout"}, location.connectTimeout);
        seconds({"command timeout"}, location.commandTimeout);
        if (location.database.isEmpty())
            throw ArchiveError(QStringLiteral("连接字符串没有指定数据库（Database）"));
        return location;
    }
    const QString source = firstOf(pairs, {"data source", "database", "dbq"});
    if (source.isEmpty())
        throw ArchiveError(QStringLiteral(
            "连接字符串没有指定档案文件（Data Source）。可以写档案文件名（如 ./systeminfo.mdb）、"
            "Data Source=文件，或 Provider=PostgreSQL;Host=主机;Database=数据库;User ID=用户"));
    location.file = QFileInfo(QDir::current(), source).absoluteFilePath();
    return location;
}

bool namesPassword(const QString& connstr) {
    const QHash<QString, QString> pairs = splitPairs(connstr);
    return pairs.contains(QStringLiteral("password")) || pairs.contains(QStringLiteral("pwd"));
}

QString withPassword(const QString& connstr, const QString& password) {
    if (namesPassword(connstr)) return connstr;
    try {
        if (parseConnectionString(connstr).engine != ArchiveLocation::Engine::PostgreSQL)
            return connstr;
    } catch (const ArchiveError&) {
        return connstr;  // the error shows when the archive is opened
    }
    QString quoted = password;
    quoted.replace(u'"', QStringLiteral("\"\""));
    const bool open = connstr.trimmed().isEmpty() || connstr.trimmed().endsWith(u';');
    return connstr + (open ? QString() : QStringLiteral(";")) + QStringLiteral("Password=\"") +
           quoted + u'"';
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
    if (!chosen) {
        const QString fromEnv = env.value(QLatin1String(kArchiveVariable));
        chosen = fromEnv.isEmpty() ? kDefaultConnectionString : fromEnv;
    }
    if (env.contains(QLatin1String(kArchivePasswordVariable)))
        return withPassword(*chosen, env.value(QLatin1String(kArchivePasswordVariable)));
    return chosen;
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

QString serverConnectOptions(const ArchiveLocation& location) {
    // A silent connection is probed after 30 s, then every 10 s; three probes without an answer
    // end it. Data that the peer does not acknowledge ends it after the command time-out. The
    // server's notices ("relation … already exists, skipping" from archive init) would otherwise
    // go straight to stderr; set with the connection, they cost no statement of their own.
    return QStringLiteral(
               "connect_timeout=%1;keepalives=1;keepalives_idle=30;keepalives_interval=10;"
               "keepalives_count=3;tcp_user_timeout=%2;"
               "options='-cstatement_timeout=%2 -cclient_min_messages=warning'")
        .arg(location.connectTimeout)
        .arg(qint64(location.commandTimeout) * 1000);
}

namespace {

thread_local ServerDeadline* tCurrentDeadline = nullptr;

// The socket of an open PostgreSQL connection, or -1. The driver hands out libpq's connection;
// libpq itself is already loaded by the driver, so its PQsocket is looked up rather than linked.
int serverSocket(const QSqlDatabase& db) {
    const QSqlDriver* driver = db.driver();
    if (!driver) return -1;
    const QVariant handle = driver->handle();
    // libpq's PGconn is a typedef of struct pg_conn; Qt names the type by either.
    if (!handle.isValid() ||
        (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return -1;
    const void* connection = *static_cast<void* const*>(handle.constData());
    using SocketOf = int (*)(const void*);
    static const SocketOf socketOf = []() -> SocketOf {
        void* libpq = dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD);
        return libpq ? reinterpret_cast<SocketOf>(dlsym(libpq, "PQsocket")) : nullptr;
    }();
    return connection && socketOf ? socketOf(connection) : -1;
}

}  // namespace

// Shared with the thread that waits for the deadline. The sockets are duplicates of the
// connections' own: they stay valid whatever the connections do, and shutting one down ends the
// connection it belongs to.
struct ServerDeadline::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::chrono::steady_clock::time_point deadline;
    std::vector<int> sockets;
    bool expired = false;
    bool over = false;
    std::thread waiter;
};

ServerDeadline::ServerDeadline(std::chrono::milliseconds limit)
    : limit_(limit), state_(std::make_shared<State>()), outer_(tCurrentDeadline) {
    state_->deadline = std::chrono::steady_clock::now() + limit;
    tCurrentDeadline = this;
}

ServerDeadline::~ServerDeadline() {
    tCurrentDeadline = outer_;
    {
        std::lock_guard lock(state_->mutex);
        state_->over = true;
    }
    state_->wake.notify_all();
    if (state_->waiter.joinable()) state_->waiter.join();
    for (int socket : state_->sockets) ::close(socket);
}

bool ServerDeadline::expired() const {
    std::lock_guard lock(state_->mutex);
    return state_->expired;
}

void ServerDeadline::watch(const QSqlDatabase& db) {
    ServerDeadline* const current = tCurrentDeadline;
    if (!current) return;
    const int socket = serverSocket(db);
    if (socket < 0) return;
    const int own = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return;
    State& state = *current->state_;
    std::lock_guard lock(state.mutex);
    state.sockets.push_back(own);
    if (state.expired) {
        ::shutdown(own, SHUT_RDWR);
        return;
    }
    if (state.waiter.joinable()) return;
    // The waiter starts with the first connection: a deadline over a file archive costs nothing.
    state.waiter = std::thread([s = current->state_] {
        std::unique_lock lock(s->mutex);
        if (s->wake.wait_until(lock, s->deadline, [&] { return s->over; })) return;
        s->expired = true;
        for (int socket : s->sockets) ::shutdown(socket, SHUT_RDWR);
    });
}

}  // namespace qelto::archive
