#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <exception>
#include <optional>

// Where the archive lives, named by an ADO-style connection string of `key=value;` pairs.
//
//   Provider=Microsoft.Jet.OLEDB.4.0;Data Source=systeminfo.mdb;Persist Security Info=False
//       (the default) an SQLite 3 file named by Data Source, resolved against the current
//       directory; any Provider other than a PostgreSQL one selects the file archive.
//   Provider=PostgreSQL;Host=…;Port=5432;Database=…;User ID=…;Password=…
//       a PostgreSQL server, for an archive shared by several administrators' machines.
namespace qelto::archive {

inline const QString kDefaultConnectionString = QStringLiteral(
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=systeminfo.mdb;Persist Security Info=False");

// The environment variable that names another archive.
inline constexpr char kArchiveVariable[] = "QELTO_ARCHIVE";

// A failure of the archive, with a message in Chinese that can be shown as it is.
class ArchiveError : public std::exception {
  public:
    enum class Kind {
        Failed,        // anything else: no connection, a refused statement, a failed commit…
        Missing,       // the archive file does not exist
        AccessFormat,  // the archive file is an Access database, which is never touched
        NotAnArchive,  // the archive file is something else that is not SQLite either
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

    // How the archive is named in messages: the file, or database@host:port.
    QString describe() const;
};

// Parses a connection string. Keys are case-insensitive, blanks around keys and values are
// ignored, a value may be enclosed in double quotes (for a ";" inside it). Throws ArchiveError for
// a string without a Data Source (file archive) or without a Database (PostgreSQL), or a bad port.
ArchiveLocation parseConnectionString(const QString& connstr);

// The connection string in effect: the value of "--archive CONNSTR" (or "--archive=CONNSTR") in
// `args`, else the environment variable QELTO_ARCHIVE when set and not empty, else the default.
// nullopt when "--archive" has no value.
std::optional<QString> effectiveConnectionString(
    const QStringList& args,
    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// `args` without any "--archive CONNSTR" / "--archive=CONNSTR".
QStringList withoutArchiveOption(const QStringList& args);

}  // namespace qelto::archive
