#pragma once

#include "connect/connector.h"

#include "scan/host.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

// qelto-cli scan over many hosts: the host list (arguments, a hosts file, address ranges), the
// pool of threads that scans them, the progress line and the final table.
namespace qelto::cli::batch {

// The most hosts one batch takes; a longer list (a /15 or wider) is refused before anything is
// sent.
inline constexpr qsizetype kMaxHosts = 65536;

// True when `item` names a range of IPv4 addresses: "a.b.c.d/n" or "a.b.c.d-e", alone or as the
// host of a host text ("ssh://root@10.0.0.0/28:2222", "10.0.0.1-9:22").
bool isRange(const QString& item);

// The hosts of a batch in the order they were named, each once.
class HostList {
  public:
    // Adds the hosts of `item`: a range becomes one host text per address, in order (a network
    // of /30 or wider without its network and broadcast addresses; a /n with host bits set
    // starts at its network), every other item is taken as it stands (blank: this machine).
    // Hosts already in the list are not added again. False, with `problem` in Chinese and
    // nothing added, for a malformed range or when the list would exceed kMaxHosts.
    bool add(const QString& item, QString& problem);
    const QStringList& hosts() const { return hosts_; }

  private:
    QStringList hosts_;
    QSet<QString> seen_;
};

// The items of a hosts file: one per line, "#" to the end of the line a comment, blank lines
// skipped, surrounding blanks dropped.
QStringList itemsOfFile(const QString& text);

// Who a host's archive row is for.
struct Person {
    QString department, person;
};
// A people file (CSV: host,department,person; a first line naming the columns is a header).
// Read as UTF-8 (with or without a byte-order mark) when it is, else in `localeCharset`, else as
// GBK. nullopt, with `problem` naming the line, for a line without three columns or with an
// empty field, or a file none of these decodes.
std::optional<QHash<QString, Person>> parsePeople(const QByteArray& bytes,
                                                  const QByteArray& localeCharset,
                                                  QString& problem);

// One host's scan as the pool hands it back.
// The text of what a task threw (an archive's or a connection's message, or what the exception
// says), to be that task's own failure: nothing thrown on a thread of a batch or of the worker
// leaves it to end the program.
QString thrownText(std::exception_ptr thrown);

struct Outcome {
    qsizetype index = 0;  // in the host list
    QString host;
    scan::HostScan scan;
    std::chrono::milliseconds elapsed{0};
    bool hostKeyRefused = false;  // an unknown host key was not accepted
    QStringList notices;          // messages of the scan for stderr (a key accepted)
};

// How far a batch has come.
struct Progress {
    qsizetype done = 0, failed = 0, remaining = 0;  // done counts the failed ones too
    QStringList inFlight;                           // in the order they were started
    std::chrono::milliseconds elapsed{0};
};

// Scans `hosts` with `scanOne` on `jobs` threads at a time (each host once, in list order).
// `finished` is called on the calling thread for each host as it ends, in the order they end;
// `progress` (when set) every `interval` and once at the end. Returns when every host is done.
// `scanOne` must not throw; it runs on the pool's threads.
void run(const QStringList& hosts, int jobs, const std::function<Outcome(const QString&)>& scanOne,
         const std::function<void(Outcome&&)>& finished,
         const std::function<void(const Progress&)>& progress = {},
         std::chrono::milliseconds interval = std::chrono::milliseconds(200));

// The hosts of `hosts` that answer nothing at all within `timeout`: every candidate port of every
// source that may serve each host (as `connector` would race them), all hosts at once, nothing
// sent. A host is silent only when none of its ports answered (a refusal is an answer: the host
// is there); names that do not resolve, and hosts that need no network, are left to the scan. A
// batch larger than its --jobs reports these at once instead of letting each hold a place for
// its time-out. At most `mostOpen` sockets are open at a time.
QSet<QString> silentHosts(const QStringList& hosts, const connect::SourceConnector& connector,
                          std::chrono::milliseconds timeout, std::size_t mostOpen = 512);

// The progress line: done / failed / remaining, the hosts in flight (as many as fit), elapsed
// time; at most `width` columns (a CJK character takes two).
QString progressLine(const Progress& progress, int width);

// One row of the final table.
struct Row {
    QString host, computerName, error;
    bool ok = false;
    std::chrono::milliseconds elapsed{0};
};
// The final table: a header line, one line per host with its columns aligned, and a line that
// sums up.
QString table(const std::vector<Row>& rows, std::chrono::milliseconds total);

// The name a batch gives the report of `host` (before ".doc"): the computer's name, "-" and the
// host, whose ":", "@", "/" and the like (which Windows shares refuse in a file name) become "-":
// "vm" and "ssh://alice@127.0.0.7:2207" give "vm-ssh-alice-127.0.0.7-2207".
QString reportName(const QString& computerName, const QString& host);

// Columns a text takes on a terminal: two for wide (CJK) characters, one for the others.
int displayWidth(const QString& text);

// The JSON line of one host: {"host", "status" ("ok" or "failed"), "error" (null or the text),
// "tree", "record"} on a single line; a failed host has an empty tree and a null record.
QByteArray jsonLine(const QString& host, const QString& error, const scan::HostScan* scanned);

}  // namespace qelto::cli::batch
