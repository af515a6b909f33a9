#include "archive_target.h"

#include "archive/connection.h"
#include "archive/recordset.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace {

using qelto::archive::ArchiveLocation;

bool execOn(const ArchiveLocation& location, const QString& sql) {
    const QString name = qelto::archive::uniqueConnectionName();
    bool ok = false;
    try {
        qelto::archive::openConnection(location, name, false);
        QSqlQuery q(QSqlDatabase::database(name, false));
        ok = q.exec(sql);
    } catch (const qelto::archive::ArchiveError&) {
    }
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

}  // namespace

QString ArchiveTarget::serverConnectionString() {
    return QString::fromUtf8(qgetenv("QELTO_TEST_PG"));
}

ArchiveTarget::ArchiveTarget(Engine engine) : engine_(engine) {
    if (engine_ == Engine::SQLite) {
        connstr_ = QStringLiteral(
                       "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=%1;Persist "
                       "Security Info=False")
                       .arg(file());
        return;
    }
    static int counter = 0;
    database_ =
        QStringLiteral("qelto_t_%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
    const ArchiveLocation admin = qelto::archive::parseConnectionString(serverConnectionString());
    execOn(admin, QStringLiteral("DROP DATABASE IF EXISTS %1").arg(database_));
    execOn(admin, QStringLiteral("CREATE DATABASE %1").arg(database_));
    connstr_ =
        QStringLiteral("Provider=PostgreSQL;Host=%1;Port=%2;Database=%3;User ID=%4;Password=%5")
            .arg(admin.host)
            .arg(admin.port)
            .arg(database_, admin.user, admin.password);
}

ArchiveTarget::~ArchiveTarget() {
    if (engine_ == Engine::PostgreSQL) {
        const ArchiveLocation admin =
            qelto::archive::parseConnectionString(serverConnectionString());
        execOn(admin, QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(database_));
    }
}

bool ArchiveTarget::exec(const QString& sql) const {
    return execOn(qelto::archive::parseConnectionString(connstr_), sql);
}

bool ArchiveTarget::refuseConnections(bool refuse) const {
    const ArchiveLocation admin = qelto::archive::parseConnectionString(serverConnectionString());
    return execOn(admin, QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS %2")
                             .arg(database_, refuse ? u"false"_qs : u"true"_qs)) &&
           (!refuse || execOn(admin, QStringLiteral("SELECT pg_terminate_backend(pid) FROM "
                                                    "pg_stat_activity WHERE datname = '%1'")
                                         .arg(database_)));
}
