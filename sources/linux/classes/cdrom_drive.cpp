// Win32_CDROMDrive of a Linux machine: the optical drives, with what they can read and write.

#include "classes.h"

#include <QRegularExpression>

namespace qelto::wmi::lnx {

namespace {

const QString kStandardCdrom = QStringLiteral("(标准 CD-ROM 驱动器)");

}  // namespace

void addCdromDrives(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_CDROMDrive">::declare(store);
    // /proc/sys/dev/cdrom/info: one column per drive.
    QHash<QString, QStringList> info;
    for (const QByteArray& raw : c.g.text(QStringLiteral("/proc/sys/dev/cdrom/info")).split('\n')) {
        const qsizetype colon = raw.indexOf(':');
        if (colon <= 0) continue;
        info.insert(QString::fromUtf8(raw.left(colon)).trimmed(),
                    QString::fromUtf8(raw.mid(colon + 1))
                        .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts));
    }
    const QStringList drives = info.value(QStringLiteral("drive name"));
    const auto mounts = parseMountinfo(c.g.text(QStringLiteral("/proc/self/mountinfo")));
    for (const QString& name : c.g.children(QStringLiteral("/sys/block"))) {
        if (!isCdrom(c, name)) continue;
        const QString dir = QStringLiteral("/sys/block/") + name + QStringLiteral("/device/");
        const QString vendor = c.line(dir + QStringLiteral("vendor"));
        const QString model = c.line(dir + QStringLiteral("model"));
        const bool usb = c.g.link(QStringLiteral("/sys/block/") + name).contains(u"/usb");
        InstanceBuilder<"Win32_CDROMDrive"> d(store);
        QString caption = QString(vendor + u' ' + model).simplified();
        if (caption.isEmpty()) caption = name;
        d.set("Caption", caption + (usb ? QStringLiteral(" USB Device") : QString()));
        d.set("Name", caption);
        d.set("Manufacturer", vendor.isEmpty() || vendor == u"ATA" ? kStandardCdrom : vendor);
        const qsizetype col = drives.indexOf(name);
        auto can = [&](const char* key) {
            const QStringList v = info.value(QString::fromLatin1(key));
            return col >= 0 && col < v.size() && v[col] == u"1";
        };
        QString media = QStringLiteral("CD-ROM");
        if (can("Can write DVD-R") || can("Can write DVD-RAM"))
            media = QStringLiteral("DVD Writer");
        else if (can("Can read DVD"))
            media = QStringLiteral("DVD-ROM");
        else if (can("Can write CD-R") || can("Can write CD-RW"))
            media = QStringLiteral("CD Writer");
        d.set("MediaType", media);
        QString drive = QStringLiteral("/dev/") + name;
        for (const Mount& m : mounts)
            if (m.source == drive) drive = m.mountPoint;
        d.set("Drive", drive);
    }
}

}  // namespace qelto::wmi::lnx
