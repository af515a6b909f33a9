#pragma once

#include "archive.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// The scan queue of the archive: the hosts to scan, how often, and who is scanning which now.
// Scanners on several machines share it through the archive: each claims due targets under a
// lease (on PostgreSQL with SELECT … FOR UPDATE SKIP LOCKED, so that two never claim the same
// one), and the save of a scan releases its target in the same transaction. A scanner that dies
// gives its targets back when their lease ends. Times are the archive's own clock, in seconds
// since 1970, so that the scanners' clocks need not agree.
namespace qelto::archive {
class Session;
}

namespace qelto::archive::queue {

inline const QString kQueueTable = QStringLiteral("scan_queue");

// The statements that create the table where it is missing.
QStringList createQueueTable(bool sqlite);

// One target as the queue holds it.
struct Target {
    qint64 id = 0;
    QString host;
    qint64 every = 0;  // seconds between scans; 0: once
    QString department, person;
    std::optional<qint64> due;  // none: done (scanned once and not to be repeated)
    QString worker;             // the scanner holding it, empty when none
    std::optional<qint64> leaseUntil, started;
    std::optional<qint64> lastAt;
    std::optional<bool> lastOk;
    QString lastMessage;
    int failures = 0;  // failures in a row
    qint64 scans = 0;  // successful scans saved
    qint64 claim = 0;  // counts the claims; a save or failure must name the claim it ends
};

// What to add: a host text with the people its rows are for.
struct NewTarget {
    QString host, department, person;
};

// Adds the targets (creating the table where it is missing), due at once; a host already queued
// takes the new interval and people and keeps its state. Returns how many were new.
int addTargets(const QString& connstr, const std::vector<NewTarget>& targets, qint64 every);

// Removes the named hosts (every target when `hosts` is empty and `all` is set); returns how
// many were removed. A target being scanned is removed too: its save is then refused.
int removeTargets(const QString& connstr, const QStringList& hosts, bool all = false);

// Every target, by host text; and the archive's clock now.
std::vector<Target> listTargets(const QString& connstr);
qint64 archiveNow(const QString& connstr);

// The same on a session that lives as long as its user: each target handed to `row` in turn, by
// host text, read in slices so that memory does not grow with the queue.
void forEachTarget(Session& session, const std::function<void(const Target&)>& row);
qint64 archiveNow(Session& session);

// Claims at most `most` targets that are due and not leased (or whose lease ended) for
// `worker`, for `leaseSeconds`. Never the same target to two workers at once.
std::vector<Target> claimTargets(const QString& connstr, const QString& worker, int most,
                                 qint64 leaseSeconds);
// The same on a session, and only targets due by `dueBy` (on the archive's clock) when given: a
// round takes what was due when it began. On a server, one statement.
std::vector<Target> claimTargets(Session& session, const QString& worker, int most,
                                 qint64 leaseSeconds, std::optional<qint64> dueBy = {});

// The guard of the save of a claimed target's scan: releases it, due again after its interval
// (done when it has none), as a success; changes no row when the claim is no longer its own.
SaveGuard releaseAfterSave(const Target& target, bool sqlite);

// Records a failed scan of a claimed target: released, due again after the back-off. False when
// the claim was no longer its own (nothing recorded).
bool recordFailure(const QString& connstr, const Target& target, const QString& message);

// What became of a claimed target's scan, to be written by recordOutcomes.
struct Outcome {
    Target target;
    QString failure;  // the host's own reason when the scan failed; empty: a scan to save
    scan::ScanRecord record;
    QByteArray packed;  // the full scan, packScan's bytes
    QDateTime when;
};
enum class Recorded { Saved, Failed, NotOwn };

// Writes the outcomes in one transaction (a group commit): each save with its target's release,
// each failure with its back-off, and each only while the claim is still the worker's own
// (NotOwn, nothing written for it, otherwise). Throws ArchiveError, with nothing written, when
// the transaction fails.
std::vector<Recorded> recordOutcomes(Session& session, const std::vector<Outcome>& outcomes);

// A message as the queue stores it: on one line, its line ends and other control characters
// each a blank.
QString storedMessage(const QString& message);

// Seconds until a target that failed `failures` times in a row is tried again: 30 s doubling,
// at most 6 h and at most its interval.
qint64 backoffSeconds(int failures, qint64 every);

}  // namespace qelto::archive::queue
