#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace qelto::wmi::lnx {

// What a glob of GatherPlan::userGlobs brings at most: 256 files of 16 KiB, 4 MiB in all.
inline constexpr int kMaxUserFiles = 256;
inline constexpr qsizetype kMaxUserFileBytes = 16 * 1024;

// Everything the Linux source needs from one machine, stated up front so that it can be fetched
// in one pass: locally from "/" (or a recorded machine's folder), or later from a remote host in
// one round trip. Paths are absolute paths on the machine. A pattern may hold the wildcards of a
// shell ('*', '?', '[…]') inside a path segment; a wildcard never crosses a '/'.
struct GatherPlan {
    QStringList files;           // read whole when they exist
    QList<QStringList> firstOf;  // of each group, the first file that exists is read
    QStringList globs;           // every match is read (a file) or noted (a folder)
    // Globs over folders that ordinary users can write to: of each only the first kMaxUserFiles
    // files (in name order) are read, each cut at kMaxUserFileBytes.
    QStringList userGlobs;
    QStringList links;     // every match's resolved path is noted
    QStringList lists;     // the entry names of these folders are noted
    QStringList presence;  // only whether these exist is noted; they are never read
    // Password databases ("name:password:…:expiry:…"): of each account only the lock state
    // leaves the machine, as "name:<'!', '*' or nothing>::::::<expiry>:" (see lockStates()).
    QStringList lockStates;
    // Databases that name things (pci.ids…): of each group the first file that exists is read on
    // the scanning machine, never fetched from the gathered one.
    QList<QStringList> lookups;
    // Package databases of "Field: value" stanzas: of each only the lines that start with one of
    // its prefixes, and the blank lines, leave the machine (keepFields() in packages.h).
    struct Filtered {
        QString path;
        QStringList prefixes;
    };
    QList<Filtered> filtered;
    QStringList statPaths;  // the paths the "stat" probe reports on
    // Facts that no file holds, each answered as text in a fixed form (see probes.md in the docs):
    //   uname      five lines: sysname, nodename, release, version, machine
    //   clock      "<seconds since 1970> <microseconds> <offset from UTC in seconds>"
    //   addresses  one line per address: "<interface> inet|inet6 <address>/<prefix length>"
    //   stat       one line per path of statPaths that exists: "<path> <birth time>
    //              <modification time>" (seconds, 0 when unknown)
    //   listening  one line per listening TCP socket: "tcp <port>"
    //   uid        the effective user id of the gatherer
    //   printers   one line per print queue the scheduler knows: "device for <queue>: <device
    //              URI>", as `lpstat -v` prints it in the C locale
    //   rpm        the rpm database's packages in kRpmQueryFormat (packages.h), where there is one
    QStringList probes;
};

// What a gathering brought back. Lookups are by the exact absolute path.
class Gathered {
  public:
    // The content of a file that was read, or nullptr.
    const QByteArray* file(const QString& path) const;
    QByteArray text(const QString& path) const;  // empty when not read
    // True when the path exists but could not be read (permission denied, I/O error).
    bool unreadable(const QString& path) const { return errors_.contains(path); }
    // True when the path was found (a file read or unreadable, a folder, a link, a path whose
    // presence only was noted).
    bool exists(const QString& path) const;
    bool isDir(const QString& path) const { return dirs_.contains(path); }
    // The resolved absolute path of a link that the plan asked for, or an empty text.
    QString link(const QString& path) const { return links_.value(path); }
    // The entry names of a listed folder (nullopt when it was not listed).
    std::optional<QStringList> list(const QString& path) const;
    // The answer of a probe, or nullopt.
    std::optional<QByteArray> probe(const QString& name) const;

    // Every recorded path (file, unreadable file, folder or link) that the pattern matches, sorted
    // the way a person reads numbered names ("eth2" before "eth10").
    QStringList match(const QString& pattern) const;
    // The names of the recorded children of a folder, sorted the same way.
    QStringList children(const QString& dir) const;

    // Filling (the gatherers and tests).
    void addFile(const QString& path, QByteArray content);
    void addError(const QString& path, int error);
    void addDir(const QString& path);
    void addLink(const QString& path, const QString& target);
    void addList(const QString& path, QStringList names);
    void addProbe(const QString& name, QByteArray answer);
    void addPresent(const QString& path);

    // Everything, for writing it out and comparing.
    const QHash<QString, QByteArray>& files() const { return files_; }
    const QHash<QString, int>& errors() const { return errors_; }
    const QSet<QString>& dirs() const { return dirs_; }
    const QHash<QString, QString>& links() const { return links_; }
    const QHash<QString, QStringList>& lists() const { return lists_; }
    const QHash<QString, QByteArray>& probes() const { return probes_; }
    const QSet<QString>& present() const { return present_; }

  private:
    void index(const QString& path);

    QHash<QString, QByteArray> files_;
    QHash<QString, int> errors_;
    QSet<QString> dirs_;
    QHash<QString, QString> links_;
    QHash<QString, QStringList> lists_;
    QHash<QString, QByteArray> probes_;
    QSet<QString> present_;
    QHash<QString, QSet<QString>> childrenOf_;
};

// The lock state of each account of a password database, in the form of the database itself
// with every other field empty: "name:<first character of the password when it is '!' or '*'>
// ::::::<expiry date>:". Password hashes never appear in it.
QByteArray lockStates(const QByteArray& database);

// True when a name matches a shell pattern of one path segment.
bool matchSegment(const QString& pattern, const QString& name);

// Orders names the way a person reads numbered names: "card2" before "card10".
bool naturalLess(const QString& a, const QString& b);

}  // namespace qelto::wmi::lnx
