#include "files.h"

#include "charset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace qelto::common {

QString systemErrorText(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return QStringLiteral("文件夹或文件不存在");
        case EACCES:
        case EPERM:
            return QStringLiteral("没有权限");
        case ENOSPC:
            return QStringLiteral("磁盘已满");
        case EDQUOT:
            return QStringLiteral("超出了磁盘配额");
        case EROFS:
            return QStringLiteral("文件系统是只读的");
        case EEXIST:
            return QStringLiteral("文件已存在");
        case ENOMEM:
            return QStringLiteral("内存不足");
        default:
            char buffer[256];
            return fromCLibrary(strerror_r(error, buffer, sizeof buffer));
    }
}

std::optional<QByteArray> readInputFile(const QString& path, qint64 limit, QString& reason) {
    const auto fail = [&reason](const QString& why) {
        reason = why;
        return std::nullopt;
    };
    if (path.isEmpty()) return fail(QStringLiteral("文件名为空"));
    // O_NONBLOCK: opening a pipe for reading would otherwise wait for a writer.
    const int fd =
        ::open(nativeFileName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return fail(systemErrorText(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(systemErrorText(errno));
    if (S_ISDIR(st.st_mode)) return fail(QStringLiteral("这是一个文件夹"));
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("这不是普通文件（而是管道、设备或套接字），不能读取"));
    const auto tooLarge = [&] {
        return QStringLiteral("文件超过 %1 MiB 的上限").arg(limit / (1024 * 1024));
    };
    if (st.st_size > limit) return fail(tooLarge());
    QByteArray bytes;
    try {
        // One byte more than the size, to see the end at once; files of procfs and the like
        // report no size, so reading goes on (up to the limit) while the buffer fills.
        bytes.resize(qsizetype(st.st_size > 0 ? st.st_size + 1 : 65536));
        qsizetype used = 0;
        for (;;) {
            if (used == bytes.size()) {
                if (used > limit) return fail(tooLarge());
                bytes.resize(std::min<qsizetype>(used * 2, qsizetype(limit) + 1));
            }
            const ssize_t n = ::read(fd, bytes.data() + used, size_t(bytes.size() - used));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail(systemErrorText(errno));
            if (n == 0) break;
            used += n;
        }
        if (used > limit) return fail(tooLarge());
        bytes.truncate(used);
    } catch (const std::bad_alloc&) {
        return fail(QStringLiteral("内存不足"));
    }
    return bytes;
}

namespace {

// The length of the valid UTF-8 sequence at data[0..size), or 0 when there is none: overlong
// forms, surrogates and values beyond U+10FFFF are not valid.
int validSequence(const unsigned char* data, qsizetype size) {
    const unsigned char lead = data[0];
    if (lead < 0x80) return 1;
    int length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (size < length || data[1] < low || data[1] > high) return 0;
    for (int i = 2; i < length; ++i)
        if (data[i] < 0x80 || data[i] > 0xBF) return 0;
    return length;
}

}  // namespace

QString fileNameFromNative(const QByteArray& name) {
    const auto* data = reinterpret_cast<const unsigned char*>(name.constData());
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size();) {
        const int length = validSequence(data + i, name.size() - i);
        if (length == 0) {
            out += QChar(char16_t(0xDC00 + data[i]));
            ++i;
        } else {
            out += QString::fromUtf8(name.constData() + i, length);
            i += length;
        }
    }
    return out;
}

QByteArray nativeFileName(const QString& name) {
    if (std::none_of(name.cbegin(), name.cend(), [](QChar c) { return c.isSurrogate(); }))
        return name.toUtf8();
    QByteArray out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            out += QStringView(name).mid(i, 2).toUtf8();
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out += char(c - 0xDC00);  // a byte that was not UTF-8
        } else {
            out += QStringView(name).mid(i, 1).toUtf8();
        }
    }
    return out;
}

}  // namespace qelto::common
