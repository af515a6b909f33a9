// Win32_DiskDrive of a Linux machine: the block devices of a device, optical drives left out.

#include "classes.h"

namespace qelto::wmi::lnx {

namespace {

const QString kStandardDisk = QStringLiteral("(标准磁盘驱动器)");

}  // namespace

void addDiskDrives(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_DiskDrive">::declare(store);
    int index = 0;
    for (const QString& name : c.g.children(QStringLiteral("/sys/block"))) {
        const QString dir = QStringLiteral("/sys/block/") + name + u'/';
        const QString real = c.g.link(QStringLiteral("/sys/block/") + name);
        // Disks of a device: loop, RAM, zram, device-mapper, md and nbd disks are virtual.
        if (real.isEmpty() || real.contains(u"/devices/virtual/")) continue;
        if (isCdrom(c, name)) continue;
        if (name.startsWith(u"mmcblk") && (name.contains(u"boot") || name.contains(u"rpmb")))
            continue;
        const quint64 sectors = toUnsigned(c.g.text(dir + QStringLiteral("size"))).value_or(0);
        if (sectors == 0) continue;  // a card reader without a card
        const bool usb = real.contains(u"/usb");
        const bool nvme = name.startsWith(u"nvme");
        const bool mmc = real.contains(u"/mmc_host/");
        const bool ata = real.contains(u"/ata");
        const bool virtio = real.contains(u"/virtio");
        const QString vendor = c.line(dir + QStringLiteral("device/vendor"));
        QString model = c.line(dir + QStringLiteral("device/model"));
        if (mmc && model.isEmpty()) model = c.line(dir + QStringLiteral("device/name"));
        const PciDevice* pci = c.pciOf(real);
        QString caption;
        if (ata || nvme || mmc)
            caption = model;
        else if (!model.isEmpty())
            caption = QString(vendor + u' ' + model).simplified();
        if (caption.isEmpty() && pci) caption = c.pciIds().device(pci->vendor, pci->device);
        if (caption.isEmpty()) caption = virtio ? QStringLiteral("Virtio Block Device") : name;
        if (usb) caption += QStringLiteral(" USB Device");
        QString maker;
        if ((nvme || virtio) && pci)
            maker = c.pciVendorName(pci->vendor);
        else if (!vendor.isEmpty() && vendor != u"ATA")
            maker = vendor;
        if (maker.isEmpty()) maker = kStandardDisk;
        InstanceBuilder<"Win32_DiskDrive"> d(store);
        d.set("Caption", caption);
        d.set("Model", caption);
        d.set("Manufacturer", maker);
        const bool removable = c.line(dir + QStringLiteral("removable")) == u"1";
        d.set("MediaType", removable ? QStringLiteral("Removable Media")
                           : usb     ? QStringLiteral("External hard disk media")
                                     : QStringLiteral("Fixed hard disk media"));
        d.set("Size", uint64Text(sectors * 512));
        d.set("InterfaceType", usb   ? QStringLiteral("USB")
                               : ata ? QStringLiteral("IDE")
                               : mmc ? QStringLiteral("SDC")
                                     : QStringLiteral("SCSI"));
        d.set("Partitions", qint64(c.g.match(QStringLiteral("/sys/block/") + name +
                                             QStringLiteral("/*/partition"))
                                       .size()));
        d.set("DeviceID", QStringLiteral("/dev/") + name);
        d.set("Index", qint64(index++));
    }
}

}  // namespace qelto::wmi::lnx
