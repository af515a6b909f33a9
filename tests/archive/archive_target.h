#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>

// A fresh, empty archive for one test: an SQLite file in a temporary folder, or a database of
// its own on the PostgreSQL server named by QELTO_TEST_PG (dropped again at the end).
class ArchiveTarget {
  public:
    enum class Engine { SQLite, PostgreSQL };

    // The server's connection string, empty when QELTO_TEST_PG is not set.
    static QString serverConnectionString();
    // Why a test against PostgreSQL skips, in the form the server fixtures use.
    static std::string skipMessage() {
        return "skipped: QELTO_TEST_PG is not set; tools/test starts a server "
               "(tests/archive/test_pg.sh) and sets it";
    }

    explicit ArchiveTarget(Engine engine);
    ~ArchiveTarget();
    ArchiveTarget(const ArchiveTarget&) = delete;
    ArchiveTarget& operator=(const ArchiveTarget&) = delete;

    // The connection string of the archive; nothing is created yet.
    const QString& connstr() const { return connstr_; }
    // SQLite: the archive file's path.
    QString file() const { return dir_.filePath(QStringLiteral("systeminfo.mdb")); }
    // Runs statements directly, bypassing the code under test; false when one fails.
    bool exec(const QString& sql) const;
    // PostgreSQL: the server refuses every new connection to the archive and ends those it has
    // (`refuse`), or takes them again.
    bool refuseConnections(bool refuse) const;

  private:
    Engine engine_;
    QTemporaryDir dir_;
    QString database_;
    QString connstr_;
};
