#include "savefile.h"

#include "common/files.h"

#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qelto::report {

namespace {

QString withDetail(const QString& what, int error) {
    const QString detail = common::systemErrorText(error);
    return detail.isEmpty() ? what : what + QStringLiteral("（") + detail + QStringLiteral("）");
}

// A name for the new file beside `target`, unlikely to be taken; creation is exclusive anyway.
QByteArray temporaryName(const QByteArray& target) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name = target + '.';
    for (int i = 0; i < 6; ++i)
        name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters) - 1)];
    return name;
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

}  // namespace

QString replaceFile(const QString& path, const QByteArray& bytes) {
    if (path.isEmpty()) return QStringLiteral("文件名为空");
    const QByteArray target = common::nativeFileName(path);
    struct stat old {};
    const bool exists = ::lstat(target.constData(), &old) == 0;
    if (exists && S_ISLNK(old.st_mode))
        return QStringLiteral("该位置是一个符号链接；为安全起见，不写入它指向的文件，也不替换它");
    if (exists && S_ISDIR(old.st_mode)) return QStringLiteral("该位置是一个文件夹");
    if (exists && !S_ISREG(old.st_mode))
        return QStringLiteral("该位置不是普通文件（而是设备、管道或套接字）");

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = temporaryName(target);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return withDetail(QStringLiteral("无法在目标文件夹中创建文件"), errno);

    // Every step is checked: write() shows a full disk only for the blocks it could not get, and
    // fsync() and close() report what the file system found only when the data left the cache.
    QString failure;
    if (exists && ::fchmod(fd, old.st_mode & 0777) != 0) {
        failure = withDetail(QStringLiteral("无法设置新文件的权限"), errno);
    } else if (!writeAll(fd, bytes)) {
        failure = withDetail(QStringLiteral("写入文件时出错"), errno);
    } else if (::fsync(fd) != 0) {
        failure = withDetail(QStringLiteral("写入文件时出错"), errno);
    }
    if (::close(fd) != 0 && failure.isEmpty())
        failure = withDetail(QStringLiteral("写入文件时出错"), errno);
    if (failure.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
        failure = withDetail(QStringLiteral("无法用新文件替换原有文件"), errno);
    if (!failure.isEmpty()) ::unlink(temporary.constData());
    return failure;
}

}  // namespace qelto::report
