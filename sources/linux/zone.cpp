#include "zone.h"

#include <QFile>
#include <QRegularExpression>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace qelto::wmi::lnx {

namespace {

constexpr qsizetype kMaxZoneName = 128;
constexpr qsizetype kMaxZoneFile = 1024 * 1024;

bool zoneNameCharacters(const QString& name) {
    if (name.isEmpty() || name.size() > kMaxZoneName || name.startsWith(u'/') ||
        name.endsWith(u'/') || name.contains(QStringLiteral("//")))
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                        (u >= u'0' && u <= u'9') || u == u'_' || u == u'+' || u == u'-' ||
                        u == u'/';
        if (!ok) return false;
    }
    return true;
}

// Opens a path beneath a folder: no absolute link, no ".." above it, no /proc magic link.
// -1 with errno set when that cannot be done.
int openBeneath(const QByteArray& folder, const QString& name, int flags) {
    const int dir = ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    open_how how{};
    how.flags = quint64(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const QByteArray path = QFile::encodeName(name);
    long fd;
    // EAGAIN: a rename elsewhere raced the walk; a few tries are plenty.
    for (int attempt = 0; attempt < 100; ++attempt) {
        fd = ::syscall(SYS_openat2, dir, path.constData(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN) break;
    }
    const int error = errno;
    ::close(dir);
    errno = error;
    return int(fd);
}

}  // namespace

bool isZoneFile(const QString& name, const QByteArray& folder) {
    if (!zoneNameCharacters(name)) return false;
    for (const QStringView part : QStringView(name).split(u'/'))
        if (part == u"." || part == u"..") return false;  // unreachable with the characters above
    const int fd = openBeneath(folder, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 44 &&
              st.st_size <= kMaxZoneFile;
    if (ok) {
        char magic[4];
        ok = ::pread(fd, magic, sizeof magic, 0) == ssize_t(sizeof magic) &&
             QByteArray(magic, 4) == "TZif";
    }
    ::close(fd);
    return ok;
}

bool isPosixZoneRule(const QString& rule) {
    static const QRegularExpression grammar([]() -> QString {
        const QString name = QStringLiteral("(?:[A-Za-z]{3,}|<[A-Za-z0-9+-]{3,}>)");
        const QString offset = QStringLiteral("[+-]?\\d{1,3}(?::\\d{1,2}){0,2}");
        const QString date = QStringLiteral("(?:J\\d{1,3}|\\d{1,3}|M\\d{1,2}\\.\\d\\.\\d)");
        const QString when = date + QStringLiteral("(?:/") + offset + QStringLiteral(")?");
        return QStringLiteral("\\A") + name + offset + QStringLiteral("(?:") + name +
               QStringLiteral("(?:") + offset + QStringLiteral(")?(?:,") + when +
               QStringLiteral(",") + when + QStringLiteral(")?)?\\z");
    }());
    return rule.size() <= kMaxZoneName && grammar.match(rule).hasMatch();
}

std::optional<QTimeZone> zoneNamed(const QString& name) {
    bool usable = isZoneFile(name);
    if (!usable && isPosixZoneRule(name)) {
        // The zone database is asked for a file of that name first: there must be none (a rule
        // holds no "..", no "." part and no leading '/', so the question stays in the folder).
        const int fd = openBeneath(kZoneFolder, name, O_PATH | O_CLOEXEC);
        usable = fd < 0 && (errno == ENOENT || errno == ENOTDIR);
        if (fd >= 0) ::close(fd);
    }
    if (!usable) return std::nullopt;
    QTimeZone zone(name.toUtf8());
    if (!zone.isValid()) return std::nullopt;
    return zone;
}

}  // namespace qelto::wmi::lnx
