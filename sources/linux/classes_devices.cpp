// Win32_DiskDrive, Win32_VideoController, Win32_DesktopMonitor, Win32_SoundDevice,
// Win32_CDROMDrive, Win32_Printer, Win32_Keyboard and Win32_PointingDevice of a Linux machine.

#include "context.h"
#include "edid.h"

#include <QRegularExpression>

namespace qelto::wmi::lnx {

namespace {

const QString kStandardDisk = QStringLiteral("(标准磁盘驱动器)");
const QString kStandardCdrom = QStringLiteral("(标准 CD-ROM 驱动器)");

bool isCdrom(const Context& c, const QString& name) {
    return name.startsWith(u"sr") ||
           c.line(QStringLiteral("/sys/block/") + name + QStringLiteral("/device/type")) == u"5";
}

void addDisks(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_DiskDrive"));
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
        Instance& d = newInstance(store, QStringLiteral("Win32_DiskDrive"));
        d.set(QStringLiteral("Caption"), Variant(caption));
        d.set(QStringLiteral("Model"), Variant(caption));
        d.set(QStringLiteral("Manufacturer"), Variant(maker));
        const bool removable = c.line(dir + QStringLiteral("removable")) == u"1";
        d.set(QStringLiteral("MediaType"),
              Variant(removable ? QStringLiteral("Removable Media")
                      : usb     ? QStringLiteral("External hard disk media")
                                : QStringLiteral("Fixed hard disk media")));
        d.set(QStringLiteral("Size"), uint64Text(sectors * 512));
        d.set(QStringLiteral("InterfaceType"), Variant(usb   ? QStringLiteral("USB")
                                                       : ata ? QStringLiteral("IDE")
                                                       : mmc ? QStringLiteral("SDC")
                                                             : QStringLiteral("SCSI")));
        d.set(QStringLiteral("Partitions"),
              Variant(qint64(
                  c.g.match(QStringLiteral("/sys/block/") + name + QStringLiteral("/*/partition"))
                      .size())));
        d.set(QStringLiteral("DeviceID"), Variant(QStringLiteral("/dev/") + name));
        d.set(QStringLiteral("Index"), Variant(qint64(index++)));
    }
}

struct Connector {
    QString name;  // "card0-DP-1"
    QString card;  // "card0"
    std::optional<edid::Info> edid;
    QString firstMode;
};

std::vector<Connector> connectedDisplays(const Context& c) {
    std::vector<Connector> out;
    for (const QString& path : c.g.match(QStringLiteral("/sys/class/drm/card*-*/status"))) {
        if (c.line(path) != u"connected") continue;
        const QString dir = path.left(path.size() - 6);  // with its closing '/'
        Connector k;
        k.name = dir.section(u'/', -2, -2);
        k.card = k.name.section(u'-', 0, 0);
        k.edid = edid::parse(c.g.text(dir + QStringLiteral("edid")));
        k.firstMode = c.line(dir + QStringLiteral("modes"));
        out.push_back(std::move(k));
    }
    return out;
}

void addDisplay(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_VideoController"));
    store.addClass(QStringLiteral("Win32_DesktopMonitor"));
    const std::vector<Connector> displays = connectedDisplays(c);

    for (const PciDevice& d : c.pci) {
        if ((d.classCode >> 16) != 0x03) continue;
        // The DRM card of this function, and its first connected display.
        QString card;
        for (const QString& link : c.g.match(QStringLiteral("/sys/class/drm/card*/device")))
            if (c.g.link(link) == d.path) card = link.section(u'/', -2, -2);
        const Connector* shown = nullptr;
        for (const Connector& k : displays)
            if (!card.isEmpty() && k.card == card) {
                shown = &k;
                break;
            }
        QString device = c.pciIds().device(d.vendor, d.device);
        if (device.isEmpty())
            device =
                QStringLiteral("Display controller [%1:%2]").arg(hex4(d.vendor), hex4(d.device));
        Instance& v = newInstance(store, QStringLiteral("Win32_VideoController"));
        v.set(QStringLiteral("Caption"), Variant(device));
        v.set(QStringLiteral("Name"), Variant(device));
        const qsizetype bracket = device.indexOf(u'[');
        v.set(QStringLiteral("VideoProcessor"),
              Variant(bracket > 0 ? device.left(bracket).trimmed() : device));
        v.set(QStringLiteral("AdapterCompatibility"), Variant(c.pciVendorName(d.vendor)));
        v.set(QStringLiteral("AdapterDACType"), Variant());
        Variant width, height, bpp, refresh, minHz, maxHz;
        if (shown) {
            const QStringList wh = shown->firstMode.split(u'x');
            if (wh.size() == 2) {
                if (auto w = toUnsigned(wh[0])) width = Variant(qint64(*w));
                if (auto h = toUnsigned(wh[1])) height = Variant(qint64(*h));
            }
            if (shown->edid) {
                if (width.isNull() && shown->edid->width)
                    width = Variant(qint64(shown->edid->width));
                if (height.isNull() && shown->edid->height)
                    height = Variant(qint64(shown->edid->height));
                if (shown->edid->refreshHz) refresh = Variant(qint64(*shown->edid->refreshHz));
                if (shown->edid->minVerticalHz)
                    minHz = Variant(qint64(*shown->edid->minVerticalHz));
                if (shown->edid->maxVerticalHz)
                    maxHz = Variant(qint64(*shown->edid->maxVerticalHz));
            }
        }
        // The frame buffer console's mode, when there is one.
        if (width.isNull()) {
            const QStringList fb =
                c.line(QStringLiteral("/sys/class/graphics/fb0/virtual_size")).split(u',');
            if (fb.size() == 2) {
                if (auto w = toUnsigned(fb[0])) width = Variant(qint64(*w));
                if (auto h = toUnsigned(fb[1])) height = Variant(qint64(*h));
            }
        }
        if (auto b = toUnsigned(c.g.text(QStringLiteral("/sys/class/graphics/fb0/bits_per_pixel")));
            b && *b && !width.isNull())
            bpp = Variant(qint64(*b));
        v.set(QStringLiteral("CurrentHorizontalResolution"), width);
        v.set(QStringLiteral("CurrentVerticalResolution"), height);
        v.set(QStringLiteral("CurrentBitsPerPixel"), bpp);
        v.set(QStringLiteral("CurrentRefreshRate"), refresh);
        v.set(QStringLiteral("MinRefreshRate"), minHz);
        v.set(QStringLiteral("MaxRefreshRate"), maxHz);
        Variant ram;
        if (!card.isEmpty())
            if (auto b = toUnsigned(c.g.text(QStringLiteral("/sys/class/drm/") + card +
                                             QStringLiteral("/device/mem_info_vram_total")));
                b && *b)
                ram = Variant(qint64(*b));
        v.set(QStringLiteral("AdapterRAM"), ram);
        QString version = card.isEmpty() ? QString()
                                         : c.line(QStringLiteral("/sys/class/drm/") + card +
                                                  QStringLiteral("/device/driver/module/version"));
        if (version.isEmpty() && !d.driver.isEmpty()) version = c.release;  // an in-tree driver
        v.set(QStringLiteral("DriverVersion"), textOrNull(version));
        v.set(QStringLiteral("InstalledDisplayDrivers"), textOrNull(d.driver));
        v.set(QStringLiteral("DriverDate"), Variant());
    }

    QHash<QString, QString> pnp;
    bool pnpRead = false;
    for (const Connector& k : displays) {
        if (!k.edid) continue;
        if (!pnpRead) {
            for (const QString& f : {QStringLiteral("/usr/share/hwdata/pnp.ids"),
                                     QStringLiteral("/usr/share/misc/pnp.ids")})
                if (const QByteArray* t = c.g.file(f)) {
                    pnp = parsePnpIds(*t);
                    break;
                }
            pnpRead = true;
        }
        Instance& m = newInstance(store, QStringLiteral("Win32_DesktopMonitor"));
        m.set(
            QStringLiteral("Name"),
            Variant(k.edid->name.isEmpty() ? QStringLiteral("通用即插即用监视器") : k.edid->name));
        m.set(
            QStringLiteral("PNPDeviceID"),
            Variant(QStringLiteral("DISPLAY\\%1%2\\%3")
                        .arg(k.edid->manufacturerId, hex4(k.edid->productCode).toUpper(), k.name)));
        const QString maker = pnp.value(k.edid->manufacturerId);
        m.set(QStringLiteral("MonitorManufacturer"),
              Variant(maker.isEmpty() ? k.edid->manufacturerId : maker));
        if (k.edid->width) m.set(QStringLiteral("ScreenWidth"), Variant(qint64(k.edid->width)));
        if (k.edid->height) m.set(QStringLiteral("ScreenHeight"), Variant(qint64(k.edid->height)));
    }
}

void addSound(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_SoundDevice"));
    static const QRegularExpression cardLine(
        QStringLiteral("^\\s*(\\d+)\\s+\\[[^\\]]*\\]:\\s*(.*)$"));
    for (const QByteArray& raw : c.g.text(QStringLiteral("/proc/asound/cards")).split('\n')) {
        const auto m = cardLine.match(QString::fromUtf8(raw));
        if (!m.hasMatch()) continue;
        const QString n = m.captured(1);
        QString shortName = m.captured(2);
        if (const qsizetype dash = shortName.indexOf(QLatin1String(" - ")); dash >= 0)
            shortName = shortName.mid(dash + 3);
        const QString devLink =
            c.g.link(QStringLiteral("/sys/class/sound/card") + n + QStringLiteral("/device"));
        const PciDevice* pci = devLink.isEmpty() ? nullptr : c.pciOf(devLink);
        const UsbDevice* usb = devLink.isEmpty() ? nullptr : c.usbOf(devLink);
        bool anyCodec = false;
        for (const QString& codec :
             c.g.match(QStringLiteral("/proc/asound/card") + n + QStringLiteral("/codec#*"))) {
            QString name;
            std::optional<quint64> vendorId;
            for (const QByteArray& line : c.g.text(codec).split('\n')) {
                if (line.startsWith("Codec: ")) name = QString::fromUtf8(line.mid(7)).trimmed();
                if (line.startsWith("Vendor Id: ")) vendorId = toUnsigned(line.mid(11), 16);
            }
            if (name.isEmpty()) continue;
            anyCodec = true;
            Instance& s = newInstance(store, QStringLiteral("Win32_SoundDevice"));
            s.set(QStringLiteral("Caption"), Variant(name));
            s.set(QStringLiteral("Name"), Variant(name));
            s.set(QStringLiteral("Manufacturer"),
                  vendorId ? Variant(c.pciVendorName(quint16(*vendorId >> 16))) : Variant());
            s.set(QStringLiteral("Status"), Variant(QStringLiteral("OK")));
        }
        if (anyCodec) continue;
        Instance& s = newInstance(store, QStringLiteral("Win32_SoundDevice"));
        QString name = shortName.trimmed();
        if (usb && !usb->productName.isEmpty()) name = usb->productName;
        s.set(QStringLiteral("Caption"), textOrNull(name));
        s.set(QStringLiteral("Name"), textOrNull(name));
        Variant maker;
        if (usb)
            maker = Variant(c.usbVendorName(*usb));
        else if (pci)
            maker = Variant(c.pciVendorName(pci->vendor));
        s.set(QStringLiteral("Manufacturer"), maker);
        s.set(QStringLiteral("Status"), Variant(QStringLiteral("OK")));
    }
}

void addOptical(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_CDROMDrive"));
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
        Instance& d = newInstance(store, QStringLiteral("Win32_CDROMDrive"));
        QString caption = QString(vendor + u' ' + model).simplified();
        if (caption.isEmpty()) caption = name;
        d.set(QStringLiteral("Caption"),
              Variant(caption + (usb ? QStringLiteral(" USB Device") : QString())));
        d.set(QStringLiteral("Name"), Variant(caption));
        d.set(QStringLiteral("Manufacturer"),
              Variant(vendor.isEmpty() || vendor == u"ATA" ? kStandardCdrom : vendor));
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
        d.set(QStringLiteral("MediaType"), Variant(media));
        QString drive = QStringLiteral("/dev/") + name;
        for (const Mount& m : mounts)
            if (m.source == drive) drive = m.mountPoint;
        d.set(QStringLiteral("Drive"), Variant(drive));
    }
}

void addPrinters(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_Printer"));
    // The scheduler's own file (readable by root and lp only) tells the most, but it and the
    // printcap it publishes for everyone are written a while after a change. The queues the
    // scheduler answers for are those of this moment: when it answered, they are the queues, and
    // the files only add what they know of each.
    std::vector<PrinterEntry> conf;
    if (const QByteArray* text = c.g.file(QStringLiteral("/etc/cups/printers.conf")))
        conf = parsePrintersConf(*text);
    const auto known = [&](const QString& name) -> const PrinterEntry* {
        for (const PrinterEntry& p : conf)
            if (p.name == name) return &p;
        return nullptr;
    };
    std::vector<QueueDevice> queues =
        parseLpstatDevices(c.g.probe(QStringLiteral("printers")).value_or(QByteArray()));
    if (queues.empty()) {
        QSet<QString> names;
        for (const PrinterEntry& p : conf) {
            queues.push_back({p.name, p.deviceUri});
            names.insert(p.name);
        }
        for (const QString& path :
             {QStringLiteral("/etc/printcap"), QStringLiteral("/run/cups/printcap")})
            for (const QString& name : parsePrintcapNames(c.g.text(path)))
                if (!names.contains(name)) {
                    queues.push_back({name, {}});
                    names.insert(name);
                }
    }
    for (const QueueDevice& q : queues) {
        const PrinterEntry* p = known(q.name);
        Instance& i = newInstance(store, QStringLiteral("Win32_Printer"));
        i.set(QStringLiteral("Name"), Variant(q.name));
        i.set(QStringLiteral("PortName"),
              textOrNull(
                  withoutCredentials(p && !p->deviceUri.isEmpty() ? p->deviceUri : q.deviceUri)));
        i.set(QStringLiteral("Shared"), p ? Variant(p->shared) : Variant());
        i.set(QStringLiteral("ShareName"), p && p->shared ? Variant(p->name) : Variant());
        i.set(QStringLiteral("Default"), p ? Variant(p->isDefault) : Variant());
    }
}

void addInput(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_Keyboard"));
    store.addClass(QStringLiteral("Win32_PointingDevice"));
    const int bits =
        c.machine.contains(u"64") || c.machine.isEmpty() || c.machine == u"s390x" ? 64 : 32;
    for (const InputDevice& d :
         parseInputDevices(c.g.text(QStringLiteral("/proc/bus/input/devices")), bits)) {
        // A keyboard has the keys Esc, 1…0, Q…P among its first 32 (what udev asks of one).
        bool letters = d.hasHandler(u"kbd");
        for (int k = 1; k < 32 && letters; ++k) letters = d.bit(QStringLiteral("KEY"), k);
        if (letters) {
            Instance& k = newInstance(store, QStringLiteral("Win32_Keyboard"));
            k.set(QStringLiteral("Name"), textOrNull(d.name));
            k.set(QStringLiteral("Caption"), textOrNull(d.name));
            int fkeys = 0;
            for (int code : {59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 87, 88})
                if (d.bit(QStringLiteral("KEY"), code)) ++fkeys;
            k.set(QStringLiteral("NumberOfFunctionKeys"), Variant(qint64(fkeys)));
            // Win32_Keyboard has no Manufacturer: reading it fails, as it does on Windows.
        }
        if (!d.hasHandler(u"mouse")) continue;
        Instance& p = newInstance(store, QStringLiteral("Win32_PointingDevice"));
        p.set(QStringLiteral("Caption"), textOrNull(d.name));
        p.set(QStringLiteral("Name"), textOrNull(d.name));
        const UsbDevice* usb =
            d.sysfs.isEmpty() ? nullptr : c.usbOf(QStringLiteral("/sys") + d.sysfs);
        Variant maker;
        if (usb) maker = Variant(c.usbVendorName(*usb));
        p.set(QStringLiteral("Manufacturer"), maker);
        qint64 iface = 1;  // other
        switch (d.bus) {
            case 0x11:
                iface = 4;
                break;  // i8042: PS/2
            case 0x03:
                iface = 162;
                break;  // USB
            case 0x13:
                iface = 3;
                break;  // RS-232: serial
            default:
                break;
        }
        p.set(QStringLiteral("DeviceInterface"), Variant(iface));
        p.set(QStringLiteral("Handedness"), Variant());
        int buttons = 0;
        for (int b = 0x110; b <= 0x117; ++b)
            if (d.bit(QStringLiteral("KEY"), b)) ++buttons;
        p.set(QStringLiteral("NumberOfButtons"), buttons ? Variant(qint64(buttons)) : Variant());
    }
}

}  // namespace

void addDeviceClasses(const Context& c, InstanceStore& store) {
    addDisks(c, store);
    addDisplay(c, store);
    addSound(c, store);
    addOptical(c, store);
    addPrinters(c, store);
    addInput(c, store);
}

}  // namespace qelto::wmi::lnx
