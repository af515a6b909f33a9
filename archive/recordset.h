#pragma once

#include "connection.h"

#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <memory>
#include <vector>

// opensql and its row set: one statement on a fresh connection, its whole result fetched at
// once, and a new row appended with AddNew / field writes / Update. The row set owns its
// connection; destroying it closes the connection.
namespace qelto::archive {

class Recordset {
  public:
    // One column of the current row (or of the new row after AddNew).
    class Field {
      public:
        // The value in the current row; a null QVariant for Null (and past the last row).
        QVariant Value() const;
        // Sets the value of the column in the new row. The row is written only by Update.
        void setValue(const QVariant& value);

      private:
        friend class Recordset;
        Field(Recordset& rs, QString name) : rs_(rs), name_(std::move(name)) {}
        Recordset& rs_;
        QString name_;
    };

    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    // The exact number of rows of the result.
    int RecordCount() const { return static_cast<int>(rows_.size()); }
    // True once MoveNext has gone past the last row (and at once for an empty result).
    bool atEnd() const { return position_ >= RecordCount(); }
    void MoveNext();

    // The column named `name` (case-insensitive, as the database names it).
    Field Fields(const QString& name) { return Field(*this, name); }
    QStringList columns() const { return columns_; }

    // Starts a new row: every column is left to the database's default until it is set.
    // Throws ArchiveError when the statement does not read a single table.
    void AddNew();
    // Appends the new row in one transaction and returns only after the commit. Throws
    // ArchiveError, with nothing stored, when the row cannot be written or committed.
    void Update();
    // The names written to the new row that the table does not have: they are left out of it.
    QStringList leftOut() const { return leftOut_; }

  private:
    friend std::unique_ptr<Recordset> opensql(const QString&, const QString&, const QVariantList&);
    Recordset() = default;
    int columnIndex(const QString& name) const;

    QString connection_;  // the name of the connection that this row set owns
    bool sqlite_ = false;
    QString table_;  // the single table the statement reads, for AddNew
    QStringList columns_;
    std::vector<QVariantList> rows_;
    int position_ = 0;
    bool adding_ = false;
    std::vector<std::pair<QString, QVariant>> newRow_;  // in the order of setting
    QStringList leftOut_;
};

// Opens the archive named by `connstr`, runs `sql` with `params` bound to its "?" placeholders in
// order, and fetches the whole result. Throws ArchiveError when the archive cannot be opened
// (missing file, Access file, no server…) or the statement fails.
std::unique_ptr<Recordset> opensql(const QString& connstr, const QString& sql,
                                   const QVariantList& params = {});

// Opens a connection to the archive under `name` (a connection of QSqlDatabase). With `create`
// a missing SQLite file is created; otherwise it is an error. Used by opensql and by the
// operations that create or fill the archive.
void openConnection(const ArchiveLocation& location, const QString& name, bool create);

// The text of a database error, never empty ("未知错误" when the driver gave none).
QString sqlErrorText(const QSqlError& error);

// A connection name that no other connection of this process uses.
QString uniqueConnectionName();

// The kind of file at `path` judged from its first bytes: an SQLite 3 database (or an empty
// file, which SQLite takes as an empty database), an Access database, or something else (also
// anything that is not a regular file: a folder, a device, a pipe).
enum class FileFormat { SQLite, Access, Other };
FileFormat fileFormat(const QString& path);

}  // namespace qelto::archive
