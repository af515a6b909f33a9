#pragma once

// The local gatherer: reads this machine, or a recorded machine's folder, from the file system.
// Only the Linux source's own connector (and tests) use it; the SSH road gathers remotely
// through stream.h and never reads this machine's files in place of the host's.

#include "gather.h"
#include "source.h"

namespace qelto::wmi::lnx {

// Gathers a plan from the machine this program runs on, with `root` standing for "/": "/" reads
// the live machine; another folder reads a recorded machine laid out as the same tree, whose probe
// answers are the files ".probes/<name>" in that folder. In a recorded machine every path and
// every link is resolved inside that folder, as if it were "/". Each file is read once; only
// regular files are read (never a device or a pipe); nothing is spawned, but for `rpm` where the
// machine has an rpm database (the "rpm" probe: rpm alone reads its database). Files larger than 8
// MiB are cut there. Paths holding a line break are passed over (the stream cannot carry them).
Gathered gatherLocal(const GatherPlan& plan, const QString& root = QStringLiteral("/"));

// Reads the lookups of a plan (the first file of each group that exists) from `root` into a
// gathering; files it already holds are kept.
void readLookups(const GatherPlan& plan, const QString& root, Gathered& gathered);

// Gathers this machine (root "/") or a recorded machine's folder and builds its answers.
std::shared_ptr<InstanceStore> scanLocal(const QString& root = QStringLiteral("/"));

}  // namespace qelto::wmi::lnx
