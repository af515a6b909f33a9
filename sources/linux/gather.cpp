#include "gather.h"
#include "local.h"

#include "common/files.h"
#include "cups.h"
#include "packages.h"

#include "wmi/error.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/openat2.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

namespace qelto::wmi::lnx {

namespace {

constexpr qsizetype kMaxFile = 8 * 1024 * 1024;
// How often opening a file of a recorded machine is tried again when a rename raced it.
constexpr int kOpenAttempts = 1000;

QString parentOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

bool hasWildcard(const QString& s) {
    return s.contains(u'*') || s.contains(u'?') || s.contains(u'[');
}

}  // namespace

bool naturalLess(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit()) ++ei;
            while (ej < b.size() && b[ej].isDigit()) ++ej;
            // Compare by value without converting (leading zeros aside).
            QStringView na = QStringView(a).mid(i, ei - i), nb = QStringView(b).mid(j, ej - j);
            while (na.size() > 1 && na[0] == u'0') na = na.mid(1);
            while (nb.size() > 1 && nb[0] == u'0') nb = nb.mid(1);
            if (na.size() != nb.size()) return na.size() < nb.size();
            const int c = na.compare(nb);
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return (a.size() - i) < (b.size() - j);
}

bool matchSegment(const QString& pattern, const QString& name) {
    if (!hasWildcard(pattern)) return pattern == name;
    const QByteArray p = pattern.toUtf8(), n = name.toUtf8();
    return fnmatch(p.constData(), n.constData(), FNM_PATHNAME | FNM_PERIOD) == 0;
}

const QByteArray* Gathered::file(const QString& path) const {
    auto it = files_.constFind(path);
    return it == files_.constEnd() ? nullptr : &it.value();
}

QByteArray Gathered::text(const QString& path) const {
    const QByteArray* f = file(path);
    return f ? *f : QByteArray();
}

bool Gathered::exists(const QString& path) const {
    return files_.contains(path) || errors_.contains(path) || dirs_.contains(path) ||
           links_.contains(path) || present_.contains(path);
}

std::optional<QStringList> Gathered::list(const QString& path) const {
    auto it = lists_.constFind(path);
    if (it == lists_.constEnd()) return std::nullopt;
    return it.value();
}

std::optional<QByteArray> Gathered::probe(const QString& name) const {
    auto it = probes_.constFind(name);
    if (it == probes_.constEnd()) return std::nullopt;
    return it.value();
}

void Gathered::index(const QString& path) {
    QString p = path;
    while (p.size() > 1) {
        const QString parent = parentOf(p);
        auto& kids = childrenOf_[parent];
        const QString name = p.mid(parent.size() == 1 ? 1 : parent.size() + 1);
        if (kids.contains(name)) break;
        kids.insert(name);
        p = parent;
    }
}

void Gathered::addFile(const QString& path, QByteArray content) {
    files_.insert(path, std::move(content));
    index(path);
}
void Gathered::addError(const QString& path, int error) {
    errors_.insert(path, error);
    index(path);
}
void Gathered::addDir(const QString& path) {
    dirs_.insert(path);
    index(path);
}
void Gathered::addLink(const QString& path, const QString& target) {
    links_.insert(path, target);
    index(path);
}
void Gathered::addList(const QString& path, QStringList names) {
    lists_.insert(path, std::move(names));
}
void Gathered::addProbe(const QString& name, QByteArray answer) {
    probes_.insert(name, std::move(answer));
}
void Gathered::addPresent(const QString& path) {
    present_.insert(path);
    index(path);
}

QByteArray lockStates(const QByteArray& database) {
    QByteArray out;
    for (const QByteArray& line : database.split('\n')) {
        const QList<QByteArray> f = line.split(':');
        if (f.size() < 2 || f[0].isEmpty()) continue;
        const char first = f[1].isEmpty() ? 0 : f[1][0];
        out += f[0] + ':';
        if (first == '!' || first == '*') out += first;
        out += "::::::" + (f.size() >= 8 ? f[7] : QByteArray()) + ":\n";
    }
    return out;
}

QStringList Gathered::children(const QString& dir) const {
    QStringList names = childrenOf_.value(dir).values();
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

QStringList Gathered::match(const QString& pattern) const {
    const QStringList segments = pattern.split(u'/', Qt::SkipEmptyParts);
    QStringList current{QStringLiteral("")};
    for (const QString& seg : segments) {
        QStringList next;
        for (const QString& base : current) {
            const QString dir = base.isEmpty() ? QStringLiteral("/") : base;
            if (!hasWildcard(seg)) {
                const QString candidate = base + u'/' + seg;
                if (childrenOf_.value(dir).contains(seg)) next << candidate;
                continue;
            }
            for (const QString& name : children(dir))
                if (matchSegment(seg, name)) next << base + u'/' + name;
        }
        current = std::move(next);
        if (current.isEmpty()) break;
    }
    return current;
}

// ---------------------------------------------------------------------------------------------
// The local gatherer.

namespace {

class LocalGatherer {
  public:
    LocalGatherer(const QString& root, Gathered& out) : out_(out) {
        QString r = root;
        while (r.size() > 1 && r.endsWith(u'/')) r.chop(1);
        live_ = (r == u"/");
        root_ = live_ ? QByteArray() : QFile::encodeName(r);
        if (!live_) {
            rootFd_ = ::open(root_.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            char canonical[PATH_MAX];
            if (::realpath(root_.constData(), canonical)) canonicalRoot_ = canonical;
        }
    }
    ~LocalGatherer() {
        if (rootFd_ >= 0) ::close(rootFd_);
    }
    LocalGatherer(const LocalGatherer&) = delete;
    LocalGatherer& operator=(const LocalGatherer&) = delete;

    QByteArray real(const QString& path) const { return root_ + QFile::encodeName(path); }

    // Opens a path of the machine. In a recorded machine the path, and every link on the way, is
    // resolved inside the recorded folder as if it were "/": an absolute link or a ".." never
    // leads to the files of the machine that runs the scan.
    int openIn(const QString& path, int flags) const {
        if (live_) return ::open(real(path).constData(), flags);
        if (rootFd_ < 0) {
            errno = ENOENT;
            return -1;
        }
        open_how how{};
        how.flags = quint64(flags);
        how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
        const QByteArray p = QFile::encodeName(path);
        // The kernel gives up with EAGAIN when a rename anywhere on the system races a ".." on
        // the way (sysfs links are full of them): try again, a bounded number of times, with a
        // growing pause so that a burst of renames can pass.
        for (int attempt = 0;; ++attempt) {
            const long fd = ::syscall(SYS_openat2, rootFd_, p.constData(), &how, sizeof how);
            if (fd >= 0 || errno != EAGAIN) {
                if (fd < 0) failIfBroken(path, errno);
                return int(fd);
            }
            if (attempt == kOpenAttempts) {
                failIfBroken(path, EAGAIN);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(std::min(attempt, 100) * 10));
        }
    }

    // A recorded machine is a folder of plain files: one that exists but cannot be opened or read
    // is a broken recording, and a replay that went on would answer with a value the machine never
    // had. Not existing, not being a folder, a link loop, a path too long and a device without
    // its driver are answers of the machine itself.
    void failIfBroken(const QString& path, int error) const {
        if (live_ || error == 0 || error == ENOENT || error == ENOTDIR || error == ELOOP ||
            error == ENAMETOOLONG || error == ENXIO || error == ENODEV)
            return;
        throw Error(
            code::Failed,
            QStringLiteral("录制的机器中 %1 读不出：%2").arg(path, common::systemErrorText(error)));
    }

    // Reads a file; false when it does not exist.
    bool readFile(const QString& path) {
        if (out_.file(path) || out_.unreadable(path)) return true;
        QByteArray data;
        // sysfs reports 4096 and procfs 0 as the size: read until the end instead. A sysfs text
        // attribute (4096) gives all it has in its first read, so a short first read is its end.
        switch (const int error = readRegular(path, path.startsWith(u"/sys/"), kMaxFile, data)) {
            case 0:
                out_.addFile(path, std::move(data));
                return true;
            case ENOENT:
            case ENOTDIR:
                return false;
            case EISDIR:
                out_.addDir(path);
                return true;
            default:
                out_.addError(path, error);
                return true;
        }
    }

    // Reads a regular file, at most `limit` bytes of it, and never waits: a device or a pipe is
    // not read. Returns 0, or ENOENT / ENOTDIR when the path does not exist, EISDIR for a folder,
    // EINVAL for anything else that is not a regular file, or the error of opening or reading.
    int readRegular(const QString& path, bool maybeSysfs, qsizetype limit, QByteArray& data) const {
        const int fd = openIn(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) return errno;
        struct stat st;
        if (::fstat(fd, &st) != 0) st = {};
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);  // never read a device or a pipe
            return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        }
        const bool sysfsText = maybeSysfs && st.st_size == 4096;
        data.resize(st.st_size > 0 && st.st_size < limit ? st.st_size + 1
                                                         : std::min<qsizetype>(4096, limit));
        qsizetype got = 0;
        int error = 0;
        for (;;) {
            if (got == data.size()) {
                if (data.size() >= limit) break;
                data.resize(std::min<qsizetype>(data.size() * 2, limit));
            }
            const ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(data.size() - got));
            if (n < 0) {
                if (errno == EINTR) continue;
                error = errno;
                break;
            }
            if (n == 0) break;
            got += n;
            if (sysfsText && got < 4096) break;
        }
        ::close(fd);
        failIfBroken(path, error);
        if (error != 0 && got == 0) return error;
        data.truncate(got);
        return 0;
    }

    // Reads the matches of a pattern that ordinary users can add to: the first kMaxUserFiles
    // (in name order), each cut at kMaxUserFileBytes.
    void readUserFiles(const QString& pattern) {
        QStringList paths = expand(pattern);
        std::sort(paths.begin(), paths.end());
        int taken = 0;
        for (const QString& path : paths) {
            if (taken == kMaxUserFiles) break;
            if (out_.file(path) || out_.unreadable(path)) continue;
            QByteArray data;
            switch (const int error = readRegular(path, false, kMaxUserFileBytes, data)) {
                case 0:
                    out_.addFile(path, std::move(data));
                    ++taken;
                    break;
                case ENOENT:
                case ENOTDIR:
                    break;
                case EISDIR:
                    out_.addDir(path);
                    break;
                default:
                    out_.addError(path, error);
                    break;
            }
        }
    }

    // True when the folder exists (links resolved as openIn does).
    bool isDir(const QString& dir) const {
        const int fd = openIn(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    }

    // The entry names of a folder (empty when it cannot be opened), but for those that hold a line
    // break; with `folders`, only the entries that may be folders (a folder, a link, or what the
    // file system does not say), so that a pattern goes on only below them. Each folder is read
    // once in a gathering, however many patterns pass through it.
    QStringList entries(const QString& dir, bool folders = false) const {
        auto listed = listed_.constFind(dir);
        if (listed == listed_.cend()) {
            QList<std::pair<QString, bool>> found;
            const int fd = openIn(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
            DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
            if (fd >= 0 && !d) ::close(fd);
            while (dirent* e = d ? ::readdir(d) : nullptr) {
                if (e->d_name[0] == '.' &&
                    (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
                    continue;
                if (!std::strchr(e->d_name, '\n'))
                    found.emplace_back(QFile::decodeName(e->d_name), e->d_type == DT_DIR ||
                                                                         e->d_type == DT_LNK ||
                                                                         e->d_type == DT_UNKNOWN);
            }
            if (d) ::closedir(d);
            listed = listed_.insert(dir, found);
        }
        QStringList names;
        for (const auto& [name, maybeFolder] : *listed)
            if (!folders || maybeFolder) names << name;
        return names;
    }

    QStringList expand(const QString& pattern) const {
        const QStringList segments = pattern.split(u'/', Qt::SkipEmptyParts);
        QStringList current{QString()};
        for (int i = 0; i < segments.size(); ++i) {
            const QString& seg = segments[i];
            QStringList next;
            for (const QString& base : current) {
                if (!hasWildcard(seg)) {
                    next << base + u'/' + seg;
                    continue;
                }
                const QString dir = base.isEmpty() ? QStringLiteral("/") : base;
                for (const QString& name : entries(dir, i + 1 < segments.size()))
                    if (matchSegment(seg, name)) next << base + u'/' + name;
            }
            current = std::move(next);
            if (current.isEmpty()) break;
        }
        return current;
    }

    void link(const QString& path) {
        if (live_) {
            const QByteArray p = real(path);
            struct stat st;
            if (::lstat(p.constData(), &st) != 0) return;
            // Where it leads as the kernel resolved it when opening: one open, where realpath()
            // looks at every part of the path on its own.
            QString target;
            if (const int fd = ::open(p.constData(), O_PATH | O_CLOEXEC); fd >= 0) {
                char buf[PATH_MAX];
                const QByteArray fdPath = "/proc/self/fd/" + QByteArray::number(fd);
                const ssize_t n = ::readlink(fdPath.constData(), buf, sizeof buf);
                ::close(fd);
                if (n > 0 && n < ssize_t(sizeof buf))
                    target = QFile::decodeName(QByteArray(buf, n));
            }
            out_.addLink(path, target);
            return;
        }
        // The link itself, then where it leads inside the recorded folder.
        const int self = openIn(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (self < 0) return;
        ::close(self);
        const int target = openIn(path, O_PATH | O_CLOEXEC);
        if (target < 0) {
            out_.addLink(path, QString());
            return;
        }
        char buf[PATH_MAX];
        const QByteArray fdPath = "/proc/self/fd/" + QByteArray::number(target);
        const ssize_t n = ::readlink(fdPath.constData(), buf, sizeof buf - 1);
        ::close(target);
        QByteArray resolved = n > 0 ? QByteArray(buf, n) : QByteArray();
        if (canonicalRoot_.isEmpty() || !resolved.startsWith(canonicalRoot_) ||
            (resolved.size() > canonicalRoot_.size() && resolved[canonicalRoot_.size()] != '/')) {
            out_.addLink(path, QString());
            return;
        }
        resolved = resolved.mid(canonicalRoot_.size());
        out_.addLink(path, QFile::decodeName(resolved.isEmpty() ? QByteArray("/") : resolved));
    }

    // Notes that a path exists without opening it.
    void present(const QString& path) {
        const int fd = openIn(path, O_PATH | O_CLOEXEC);
        if (fd < 0) return;
        ::close(fd);
        out_.addPresent(path);
    }

    // Reads a password database and keeps only the lock state of each account.
    void readLockStates(const QString& path) {
        if (!readFile(path)) return;
        if (const QByteArray* content = out_.file(path)) out_.addFile(path, lockStates(*content));
    }

    // Reads a package database and keeps only the fields the plan names. The database (a MB for
    // a thousand packages) is mapped rather than copied: only what is kept is.
    void readFiltered(const GatherPlan::Filtered& f) {
        const int fd = openIn(f.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat st {};
        void* mapped = MAP_FAILED;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            st.st_size <= kMaxFile)
            mapped = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (fd >= 0) ::close(fd);
        if (mapped != MAP_FAILED) {
            out_.addFile(f.path,
                         keepFields(QByteArray::fromRawData(static_cast<const char*>(mapped),
                                                            qsizetype(st.st_size)),
                                    f.prefixes));
            ::munmap(mapped, size_t(st.st_size));
            return;
        }
        if (!readFile(f.path)) return;
        if (const QByteArray* content = out_.file(f.path))
            out_.addFile(f.path, keepFields(*content, f.prefixes));
    }

    void probe(const QString& name, const QStringList& statPaths) {
        if (!live_) {
            // A recorded answer is a file like any other of the recorded machine.
            QByteArray answer;
            if (!name.contains(u'/') &&
                readRegular(QStringLiteral("/.probes/") + name, false, kMaxFile, answer) == 0)
                out_.addProbe(name, answer);
            return;
        }
        if (name == u"uname") {
            struct utsname u;
            if (::uname(&u) == 0)
                out_.addProbe(name, QByteArray(u.sysname) + '\n' +
                                        QByteArray(u.nodename).replace('\n', ' ') + '\n' +
                                        QByteArray(u.release) + '\n' + QByteArray(u.version) +
                                        '\n' + QByteArray(u.machine) + '\n');
        } else if (name == u"clock") {
            struct timeval tv;
            ::gettimeofday(&tv, nullptr);
            const time_t t = tv.tv_sec;
            struct tm local;
            ::localtime_r(&t, &local);
            out_.addProbe(name, QByteArray::number(qint64(tv.tv_sec)) + ' ' +
                                    QByteArray::number(qint64(tv.tv_usec)) + ' ' +
                                    QByteArray::number(qint64(local.tm_gmtoff)) + '\n');
        } else if (name == u"uid") {
            out_.addProbe(name, QByteArray::number(uint(::geteuid())) + '\n');
        } else if (name == u"zone") {
            out_.addProbe(name, qgetenv("TZ") + '\n');
        } else if (name == u"listening") {
            out_.addProbe(name, listening());
        } else if (name == u"printers") {
            out_.addProbe(name, schedulerQueues());
        } else if (name == u"addresses") {
            out_.addProbe(name, addresses());
        } else if (name == u"rpm") {
            if (std::optional<QByteArray> packages = rpmPackages()) out_.addProbe(name, *packages);
        } else if (name == u"stat") {
            QByteArray text;
            for (const QString& path : statPaths) {
                const QByteArray p = QFile::encodeName(path);
                struct statx sx;
                if (::statx(AT_FDCWD, p.constData(), 0, STATX_BTIME | STATX_MTIME, &sx) != 0)
                    continue;
                const qint64 birth = (sx.stx_mask & STATX_BTIME) ? qint64(sx.stx_btime.tv_sec) : 0;
                text += p + ' ' + QByteArray::number(birth) + ' ' +
                        QByteArray::number(qint64(sx.stx_mtime.tv_sec)) + '\n';
            }
            out_.addProbe(name, text);
        }
    }

    // The rpm database's packages, where the machine has one: the one process the local gatherer
    // starts, since rpm alone reads its database (whose format changed twice). 20 s at most.
    static std::optional<QByteArray> rpmPackages() {
        bool database = false;
        for (const char* path : kRpmDatabases) database = database || ::access(path, F_OK) == 0;
        if (!database) return std::nullopt;
        const QString rpm = QStandardPaths::findExecutable(QStringLiteral("rpm"));
        if (rpm.isEmpty()) return std::nullopt;
        QProcess p;
        p.setStandardInputFile(QProcess::nullDevice());
        p.setStandardErrorFile(QProcess::nullDevice());
        p.start(rpm, {QStringLiteral("-qa"), QStringLiteral("--queryformat"),
                      QString::fromLatin1(kRpmQueryFormat)});
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished(1000);
            return std::nullopt;
        }
        return p.readAllStandardOutput();
    }

    // The local ports of listening TCP sockets, from the socket diagnostics of the kernel (which,
    // unlike /proc/net/tcp, walks only the listening sockets).
    static QByteArray listening() {
        QByteArray text;
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (fd < 0) return text;
        for (const int family : {AF_INET, AF_INET6}) {
            struct {
                nlmsghdr header;
                inet_diag_req_v2 request;
            } req = {};
            req.header.nlmsg_len = sizeof req;
            req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
            req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
            req.request.sdiag_family = quint8(family);
            req.request.sdiag_protocol = IPPROTO_TCP;
            req.request.idiag_states = 1u << 10;  // TCP_LISTEN
            if (!dumpNetlink(fd, &req, sizeof req, [&](const nlmsghdr* h) {
                    const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
                    text += "tcp " + QByteArray::number(ntohs(m->id.idiag_sport)) + '\n';
                }))
                break;
        }
        ::close(fd);
        return text;
    }

    // The addresses of all interfaces, from the kernel's routing socket (a dump of RTM_GETADDR).
    static QByteArray addresses() {
        QByteArray text;
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd < 0) return text;
        struct {
            nlmsghdr header;
            ifaddrmsg message;
        } request = {};
        request.header.nlmsg_len = sizeof request;
        request.header.nlmsg_type = RTM_GETADDR;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = 1;
        request.message.ifa_family = AF_UNSPEC;
        dumpNetlink(fd, &request, sizeof request, [&](const nlmsghdr* h) {
            if (h->nlmsg_type != RTM_NEWADDR) return;
            auto* m = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
            if (m->ifa_family != AF_INET && m->ifa_family != AF_INET6) return;
            const void* address = nullptr;
            const void* local = nullptr;
            int attrLeft = int(IFA_PAYLOAD(h));
            for (auto* a = IFA_RTA(m); RTA_OK(a, attrLeft); a = RTA_NEXT(a, attrLeft)) {
                if (a->rta_type == IFA_ADDRESS) address = RTA_DATA(a);
                if (a->rta_type == IFA_LOCAL) local = RTA_DATA(a);
            }
            // IFA_LOCAL is the interface's own address on point-to-point links.
            const void* own = m->ifa_family == AF_INET && local ? local : address;
            if (!own) return;
            char name[IF_NAMESIZE + 1] = {};
            if (!::if_indextoname(m->ifa_index, name)) return;
            char addr[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(m->ifa_family, own, addr, sizeof addr);
            text += QByteArray(name) + (m->ifa_family == AF_INET ? " inet " : " inet6 ") +
                    QByteArray(addr) + '/' + QByteArray::number(m->ifa_prefixlen) + '\n';
        });
        ::close(fd);
        return text;
    }

    // Sends one dump request on a netlink socket and hands every message of the answer to
    // `onMessage`, until the kernel says the dump is done (or fails). False when the request
    // could not be sent.
    template <class OnMessage>
    static bool dumpNetlink(int fd, const void* request, std::size_t size, OnMessage&& onMessage) {
        if (::send(fd, request, size, 0) < 0) return false;
        alignas(nlmsghdr) char buffer[32768];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
            long left = long(n);
            for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, left);
                 h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) return true;
                onMessage(h);
            }
        }
    }

  private:
    Gathered& out_;
    mutable QHash<QString, QList<std::pair<QString, bool>>> listed_;  // see entries()
    QByteArray root_;
    QByteArray canonicalRoot_;  // a recorded machine's folder with its links resolved
    int rootFd_ = -1;
    bool live_ = true;
};

}  // namespace

Gathered gatherLocal(const GatherPlan& plan, const QString& root) {
    Gathered g;
    LocalGatherer l(root, g);
    for (const QString& f : plan.files) l.readFile(f);
    for (const QStringList& group : plan.firstOf)
        for (const QString& f : group)
            if (l.readFile(f)) break;
    for (const QString& f : plan.lockStates) l.readLockStates(f);
    for (const GatherPlan::Filtered& f : plan.filtered) l.readFiltered(f);
    for (const QString& f : plan.presence) l.present(f);
    for (const QString& pattern : plan.globs)
        for (const QString& path : l.expand(pattern)) l.readFile(path);
    for (const QString& pattern : plan.userGlobs) l.readUserFiles(pattern);
    for (const QString& pattern : plan.links)
        for (const QString& path : l.expand(pattern)) l.link(path);
    for (const QString& dir : plan.lists) {
        const QStringList names = l.entries(dir);
        if (!names.isEmpty() || l.isDir(dir)) g.addList(dir, names);
    }
    for (const QString& p : plan.probes) l.probe(p, plan.statPaths);
    // The scanning machine is the gathered one here.
    readLookups(plan, root, g);
    return g;
}

namespace {

// A lookup file of this machine as last read: the same text for every host of a batch while
// the file stays as it was.
struct KeptFile {
    QString path;
    struct stat st {};
    QByteArray content;
};

bool unchanged(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

void readLookups(const GatherPlan& plan, const QString& root, Gathered& g) {
    LocalGatherer l(root, g);
    static std::mutex mutex;
    static std::vector<KeptFile> kept;
    for (const QStringList& group : plan.lookups)
        for (const QString& f : group) {
            struct stat st;
            if (root != u"/" || ::stat(QFile::encodeName(f).constData(), &st) != 0) {
                if (l.readFile(f)) break;
                continue;
            }
            const std::lock_guard lock(mutex);
            const auto same = std::ranges::find_if(
                kept, [&](const KeptFile& k) { return k.path == f && unchanged(k.st, st); });
            if (same != kept.end()) {
                g.addFile(f, same->content);
                break;
            }
            // Mapped, not read: a scan touches what it looks up of a few MB, and nothing is
            // copied. The mapping stays for as long as the program runs (a gathering may still
            // hold the text when the file is replaced); the package manager replaces these files
            // by renaming, so a mapped text never changes under the program.
            const QByteArray name = QFile::encodeName(f);
            const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
            void* mapped = MAP_FAILED;
            if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                st.st_size <= kMaxFile)
                mapped = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (fd >= 0) ::close(fd);
            if (mapped == MAP_FAILED) {
                if (l.readFile(f)) break;
                continue;
            }
            const QByteArray content =
                QByteArray::fromRawData(static_cast<const char*>(mapped), qsizetype(st.st_size));
            g.addFile(f, content);
            std::erase_if(kept, [&](const KeptFile& k) { return k.path == f; });
            kept.push_back({f, st, content});
            break;
        }
}

}  // namespace qelto::wmi::lnx
