// Win32_VideoController of a Linux machine: the PCI functions of the display class, with the mode
// of the first display connected to each.

#include "classes.h"

namespace qelto::wmi::lnx {

namespace {

// The mode shown: the first mode of the connected display, else what its EDID prefers, else the
// frame buffer console's.
struct Mode {
    Variant width, height, bpp, refresh, minHz, maxHz;
};

Mode modeOf(const Context& c, const Connector* shown) {
    Mode m;
    Variant &width = m.width, &height = m.height;
    if (shown) {
        const QStringList wh = shown->firstMode.split(u'x');
        if (wh.size() == 2) {
            if (auto w = toUnsigned(wh[0])) width = Variant(qint64(*w));
            if (auto h = toUnsigned(wh[1])) height = Variant(qint64(*h));
        }
        if (shown->edid) {
            if (width.isNull() && shown->edid->width) width = Variant(qint64(shown->edid->width));
            if (height.isNull() && shown->edid->height)
                height = Variant(qint64(shown->edid->height));
            if (shown->edid->refreshHz) m.refresh = Variant(qint64(*shown->edid->refreshHz));
            if (shown->edid->minVerticalHz) m.minHz = Variant(qint64(*shown->edid->minVerticalHz));
            if (shown->edid->maxVerticalHz) m.maxHz = Variant(qint64(*shown->edid->maxVerticalHz));
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
        m.bpp = Variant(qint64(*b));
    return m;
}

}  // namespace

void addVideoControllers(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_VideoController">::declare(store);
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
        InstanceBuilder<"Win32_VideoController"> v(store);
        v.set("Caption", device);
        v.set("Name", device);
        const qsizetype bracket = device.indexOf(u'[');
        v.set("VideoProcessor", bracket > 0 ? device.left(bracket).trimmed() : device);
        v.set("AdapterCompatibility", c.pciVendorName(d.vendor));
        v.set("AdapterDACType", Variant());
        const Mode m = modeOf(c, shown);
        v.set("CurrentHorizontalResolution", m.width);
        v.set("CurrentVerticalResolution", m.height);
        v.set("CurrentBitsPerPixel", m.bpp);
        v.set("CurrentRefreshRate", m.refresh);
        v.set("MinRefreshRate", m.minHz);
        v.set("MaxRefreshRate", m.maxHz);
        Variant ram;
        if (!card.isEmpty())
            if (auto b = toUnsigned(c.g.text(QStringLiteral("/sys/class/drm/") + card +
                                             QStringLiteral("/device/mem_info_vram_total")));
                b && *b)
                ram = Variant(qint64(*b));
        v.set("AdapterRAM", ram);
        QString version = card.isEmpty() ? QString()
                                         : c.line(QStringLiteral("/sys/class/drm/") + card +
                                                  QStringLiteral("/device/driver/module/version"));
        if (version.isEmpty() && !d.driver.isEmpty()) version = c.release;  // an in-tree driver
        v.set("DriverVersion", textOrNull(version));
        v.set("InstalledDisplayDrivers", textOrNull(d.driver));
        v.set("DriverDate", Variant());
    }
}

}  // namespace qelto::wmi::lnx