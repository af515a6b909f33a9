// Win32_SoundDevice of a Linux machine: the codecs of each sound card, else the card.

#include "classes.h"

#include <QRegularExpression>

namespace qelto::wmi::lnx {

void addSoundDevices(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_SoundDevice">::declare(store);
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
            InstanceBuilder<"Win32_SoundDevice"> s(store);
            s.set("Caption", name);
            s.set("Name", name);
            s.set("Manufacturer",
                  vendorId ? Variant(c.pciVendorName(quint16(*vendorId >> 16))) : Variant());
            s.set("Status", QStringLiteral("OK"));
        }
        if (anyCodec) continue;
        InstanceBuilder<"Win32_SoundDevice"> s(store);
        QString name = shortName.trimmed();
        if (usb && !usb->productName.isEmpty()) name = usb->productName;
        s.set("Caption", textOrNull(name));
        s.set("Name", textOrNull(name));
        Variant maker;
        if (usb)
            maker = Variant(c.usbVendorName(*usb));
        else if (pci)
            maker = Variant(c.pciVendorName(pci->vendor));
        s.set("Manufacturer", maker);
        s.set("Status", QStringLiteral("OK"));
    }
}

}  // namespace qelto::wmi::lnx
