#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>

class QSqlDatabase;

// Where the archive lives, named by an ADO-style connection string of `key=value;` pairs.
//
//   Provider=Microsoft.Jet.OLEDB.4.0;Data Source=systeminfo.mdb;Persist Security Info=False
//       (the default) an SQLite 3 file named by Data Source, resolved against the current
//       directory; any Provider other than a PostgreSQL one selects the file archive.
//   systeminfo.mdb, ./x.mdb, /srv/archive.db
//       a text without "=" is the file name of an SQLite archive, as people type it.
//   Provider=PostgreSQL;Host=…;Port=5432;Database=…;User ID=…;Password=…
//       a PostgreSQL server, for an archive shared by several administrators' machines;
//       optionally Timeout=10 (seconds to connect) and Command Timeout=30 (seconds for the
//       statements of one operation, such as one save).
namespace qelto::archive {

inline const QString kDefaultConnectionString = QStringLiteral(
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=systeminfo.mdb;Persist Security Info=False");

// The environment variable that names another archive.
inline constexpr char kArchiveVariable[] = "QELTO_ARCHIVE";
// The environment variable that gives the password of an archive server whose connection string
// names none, so that the password need not stand on a command line where others can read it.
inline constexpr char kArchivePasswordVariable[] = "QELTO_ARCHIVE_PASSWORD";

// A failure of the archive, with a message in Chinese that can be shown as it is.
class ArchiveError : public std::exception {
  public:
    enum class Kind {
        Failed,        // anything else: no connection, a refused statement, a failed commit…
        Missing,       // the archive file does not exist
        AccessFormat,  // the archive file is an Access database, which is never touched
        NotAnArchive,  // the archive file is something else that is not SQLite either
        Conflict,      // a save's condition no longer held (another scanner took the target over)
    };
    explicit ArchiveError(QString message, Kind kind = Kind::Failed)
        : kind_(kind), message_(std::move(message)), utf8_(message_.toUtf8()) {}
    Kind kind() const { return kind_; }
    const QString& message() const { return message_; }
    const char* what() const noexcept override { return utf8_.constData(); }

  private:
    Kind kind_;
    QString message_;
    QByteArray utf8_;
};

struct ArchiveLocation {
    enum class Engine { SQLite, PostgreSQL };
    Engine engine = Engine::SQLite;
    QString file;  // SQLite: the absolute path of the Data Source
    QString host, database, user, password;
    int port = 5432;
    // PostgreSQL, in seconds: how long making the connection may take ("Timeout" or "Connect
    // Timeout") and how long the statements of one operation may take ("Command Timeout").
    int connectTimeout = 10;
    int commandTimeout = 30;

    // How the archive is named in messages: the file, or database@host:port.
    QString describe() const;
};

// Parses a connection string. Keys are case-insensitive, blanks around keys and values are
// ignored, a value may be enclosed in double quotes (for a ";" inside it). Throws ArchiveError for
// a string without a Data Source (file archive) or without a Database (PostgreSQL), or a bad port.
ArchiveLocation parseConnectionString(const QString& connstr);

// True when the connection string names a password (Password= or Pwd=), even an empty one.
bool namesPassword(const QString& connstr);

// A server's connection string that names no password, with `password` added; anything else as
// it is.
QString withPassword(const QString& connstr, const QString& password);

// The connection string in effect: the value of "--archive CONNSTR" (or "--archive=CONNSTR") in
// `args`, else the environment variable QELTO_ARCHIVE when set and not empty, else the default.
// A server's string that names no password takes QELTO_ARCHIVE_PASSWORD when that is set.
// nullopt when "--archive" has no value.
std::optional<QString> effectiveConnectionString(
    const QStringList& args,
    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// `args` without any "--archive CONNSTR" / "--archive=CONNSTR".
QStringList withoutArchiveOption(const QStringList& args);

// The options of a connection to an archive server: the connect time-out, TCP keepalives (a
// server that vanished from the network is noticed within a minute) and a statement time-out on
// the server's side, both from `location`; the server's notices below warnings are not sent.
QString serverConnectOptions(const ArchiveLocation& location);

// A bound on everything done with archive servers while it lives, on the thread that made it:
// once `limit` has passed, every server connection opened meanwhile on that thread is shut down,
// so that a call waiting for a server that stopped answering returns with an error. The caller
// then tells the user that the server did not answer in time.
class ServerDeadline {
  public:
    explicit ServerDeadline(std::chrono::milliseconds limit);
    ~ServerDeadline();
    ServerDeadline(const ServerDeadline&) = delete;
    ServerDeadline& operator=(const ServerDeadline&) = delete;

    // True once the limit has passed and the connections were shut down.
    bool expired() const;
    std::chrono::milliseconds limit() const { return limit_; }

    // Puts an open server connection under the deadline of this thread, if there is one.
    static void watch(const QSqlDatabase& db);

  private:
    struct State;
    std::chrono::milliseconds limit_;
    std::shared_ptr<State> state_;
    ServerDeadline* outer_;
};

}  // namespace qelto::archive
