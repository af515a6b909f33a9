#pragma once

// What the class builders share: the gathered machine and what is derived from it once.

#include "gather.h"
#include "ids.h"
#include "parsers.h"
#include "smbios.h"
#include "text.h"

#include "wmi/builder.h"
#include "wmi/store.h"

#include <QTimeZone>

#include <optional>
#include <vector>

namespace qelto::wmi::lnx {

struct PciDevice {
    QString path;  // resolved sysfs folder
    QString address;
    quint16 vendor = 0, device = 0;
    quint32 classCode = 0;  // class, subclass, programming interface
    QString driver;         // the bound driver's name, empty when none
};

struct UsbDevice {
    QString path;
    QString name;  // "1-2", "usb1"
    quint16 vendor = 0, product = 0;
    QString manufacturer, productName;
    int speed = 0;  // Mbit/s
};

class Context {
  public:
    explicit Context(const Gathered& g);

    const Gathered& g;

    // uname
    QString hostname, release, kernelVersion, machine;
    // clock: now and the offset of local time from UTC
    qint64 now = 0;
    int micro = 0;
    int offset = 0;
    bool root = false;

    std::vector<smbios::Structure> smbios;
    std::vector<const smbios::Structure*> ofType(int type) const;

    std::vector<PciDevice> pci;
    std::vector<UsbDevice> usb;
    // The PCI function or USB device a sysfs folder belongs to (itself or its nearest ancestor).
    const PciDevice* pciOf(const QString& path) const;
    const UsbDevice* usbOf(const QString& path) const;

    const IdDatabase& pciIds() const;
    const IdDatabase& usbIds() const;
    QString pciVendorName(quint16 vendor) const;  // the name, else "PCI\VEN_xxxx"-free hex "8086"
    QString usbVendorName(const UsbDevice& d) const;

    // The first line of a gathered file, empty when it was not read.
    QString line(const QString& path) const { return firstLine(g.text(path)); }
    Variant dmi(const char* name) const;
    // The offset from UTC in seconds that the machine's time zone had at a moment, or at local
    // midnight of a day; the offset of now when the zone is not known.
    int offsetAt(qint64 seconds) const;
    int offsetAtMidnight(const QDate& day) const;
    QString dateTime(qint64 seconds) const { return wmiDateTime(seconds, 0, offsetAt(seconds)); }

  private:
    std::optional<QTimeZone> zone_;
    mutable std::shared_ptr<const IdDatabase> pciIds_, usbIds_;
};

// Used by the builders of the classes (classes/).
QString hex4(quint16 v);

}  // namespace qelto::wmi::lnx
