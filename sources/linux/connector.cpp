#include "connector.h"
#include "local.h"

#include "classes/classes.h"
#include "context.h"
#include "source.h"
#include "zone.h"

#include "wmi/error.h"

#include <unistd.h>

#include <algorithm>

namespace qelto::wmi::lnx {

namespace {

// The time zone of the gathered machine: the gatherer's TZ, else the zone /etc/localtime links to,
// else /etc/timezone, else the rule at the end of /etc/localtime itself (a copied zone file). The
// rules are the scanning machine's for a named zone, and only names of its zone database count
// (zoneNamed()): these names come from the gathered machine. A zone that disagrees with the offset
// the clock gave for now is not the machine's and is not used.
std::optional<QTimeZone> machineZone(const Gathered& g, qint64 now, int offsetNow) {
    QStringList names;
    QByteArray tz = g.probe(QStringLiteral("zone")).value_or(QByteArray()).trimmed();
    if (tz.startsWith(':')) tz = tz.mid(1);
    const qsizetype under = tz.indexOf("zoneinfo/");
    if (under >= 0) tz = tz.mid(under + 9);
    if (!tz.isEmpty()) names << QString::fromUtf8(tz);
    const QString link = g.link(QStringLiteral("/etc/localtime"));
    if (const qsizetype at = link.indexOf(u"zoneinfo/"); at >= 0) names << link.mid(at + 9);
    names << firstLine(g.text(QStringLiteral("/etc/timezone")));
    const QByteArray tzif = g.text(QStringLiteral("/etc/localtime"));
    if (tzif.startsWith("TZif") && tzif.endsWith('\n')) {
        const qsizetype start = tzif.lastIndexOf('\n', tzif.size() - 2);
        if (start >= 0) names << QString::fromLatin1(tzif.mid(start + 1).trimmed());
    }
    for (const QString& name : names) {
        const std::optional<QTimeZone> zone = zoneNamed(name);
        if (!zone) continue;
        if (now > 0 && zone->offsetFromUtc(QDateTime::fromSecsSinceEpoch(now)) != offsetNow)
            continue;
        return zone;
    }
    return std::nullopt;
}

}  // namespace

QString hex4(quint16 v) {
    return QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0'));
}

Context::Context(const Gathered& gathered) : g(gathered) {
    const QStringList u =
        QString::fromUtf8(g.probe(QStringLiteral("uname")).value_or(QByteArray())).split(u'\n');
    if (u.size() >= 5) {
        hostname = u[1].trimmed();
        release = u[2].trimmed();
        kernelVersion = u[3].trimmed();
        machine = u[4].trimmed();
    }
    if (const QString h = line(QStringLiteral("/proc/sys/kernel/hostname")); !h.isEmpty())
        hostname = h;
    if (release.isEmpty()) release = line(QStringLiteral("/proc/sys/kernel/osrelease"));
    const QList<QByteArray> clock =
        g.probe(QStringLiteral("clock")).value_or(QByteArray()).trimmed().split(' ');
    if (clock.size() == 3) {
        now = clock[0].toLongLong();
        micro = clock[1].toInt();
        offset = clock[2].toInt();
        if (offset < -16 * 3600 || offset > 16 * 3600) offset = 0;
    }
    zone_ = machineZone(g, now, offset);
    root = g.probe(QStringLiteral("uid")).value_or(QByteArray("1")).trimmed() == "0";
    if (const QByteArray* dmi = g.file(QStringLiteral("/sys/firmware/dmi/tables/DMI")))
        smbios = smbios::parseTable(*dmi);

    for (const QString& link : g.match(QStringLiteral("/sys/bus/pci/devices/*"))) {
        PciDevice d;
        d.path = g.link(link);
        if (d.path.isEmpty()) continue;
        d.address = link.section(u'/', -1);
        d.vendor = quint16(toUnsigned(g.text(link + QStringLiteral("/vendor")), 16).value_or(0));
        d.device = quint16(toUnsigned(g.text(link + QStringLiteral("/device")), 16).value_or(0));
        d.classCode = quint32(toUnsigned(g.text(link + QStringLiteral("/class")), 16).value_or(0));
        d.driver = g.link(link + QStringLiteral("/driver")).section(u'/', -1);
        pci.push_back(d);
    }
    for (const QString& link : g.match(QStringLiteral("/sys/bus/usb/devices/*"))) {
        if (!g.file(link + QStringLiteral("/idVendor"))) continue;  // an interface, not a device
        UsbDevice d;
        d.path = g.link(link);
        if (d.path.isEmpty()) continue;
        d.name = link.section(u'/', -1);
        d.vendor = quint16(toUnsigned(g.text(link + QStringLiteral("/idVendor")), 16).value_or(0));
        d.product =
            quint16(toUnsigned(g.text(link + QStringLiteral("/idProduct")), 16).value_or(0));
        d.manufacturer = line(link + QStringLiteral("/manufacturer"));
        d.productName = line(link + QStringLiteral("/product"));
        d.speed = int(toUnsigned(g.text(link + QStringLiteral("/speed"))).value_or(0));
        usb.push_back(d);
    }
}

std::vector<const smbios::Structure*> Context::ofType(int type) const {
    std::vector<const smbios::Structure*> out;
    for (const smbios::Structure& s : smbios)
        if (s.type == type) out.push_back(&s);
    return out;
}

namespace {
template <typename T>
const T* nearest(const std::vector<T>& list, const QString& path) {
    const T* best = nullptr;
    for (const T& d : list)
        if ((path == d.path || path.startsWith(d.path + u'/')) &&
            (!best || d.path.size() > best->path.size()))
            best = &d;
    return best;
}
}  // namespace

const PciDevice* Context::pciOf(const QString& path) const {
    return nearest(pci, path);
}
const UsbDevice* Context::usbOf(const QString& path) const {
    return nearest(usb, path);
}

const IdDatabase& Context::pciIds() const {
    if (!pciIds_) {
        const QByteArray* t = g.file(QStringLiteral("/usr/share/misc/pci.ids"));
        if (!t) t = g.file(QStringLiteral("/usr/share/hwdata/pci.ids"));
        pciIds_ = sharedIdDatabase(t ? *t : QByteArray());
    }
    return *pciIds_;
}

const IdDatabase& Context::usbIds() const {
    if (!usbIds_) {
        const QByteArray* t = g.file(QStringLiteral("/usr/share/misc/usb.ids"));
        if (!t) t = g.file(QStringLiteral("/usr/share/hwdata/usb.ids"));
        usbIds_ = sharedIdDatabase(t ? *t : QByteArray());
    }
    return *usbIds_;
}

QString Context::pciVendorName(quint16 vendor) const {
    const QString name = pciIds().vendor(vendor);
    return name.isEmpty() ? hex4(vendor) : name;
}

QString Context::usbVendorName(const UsbDevice& d) const {
    QString name = usbIds().vendor(d.vendor);
    if (name.isEmpty()) name = d.manufacturer;
    return name.isEmpty() ? hex4(d.vendor) : name;
}

int Context::offsetAt(qint64 seconds) const {
    if (!zone_) return offset;
    return zone_->offsetFromUtc(QDateTime::fromSecsSinceEpoch(seconds));
}

int Context::offsetAtMidnight(const QDate& day) const {
    if (!zone_ || !day.isValid()) return offset;
    return QDateTime(day, QTime(0, 0), *zone_).offsetFromUtc();
}

Variant Context::dmi(const char* name) const {
    return textOrNull(line(QStringLiteral("/sys/class/dmi/id/") + QLatin1String(name)));
}

std::shared_ptr<InstanceStore> buildStore(const Gathered& gathered) {
    auto store = std::make_shared<InstanceStore>();
    const Context c(gathered);
    buildClasses(c, *store);
    return store;
}

std::shared_ptr<InstanceStore> scanLocal(const QString& root) {
    return buildStore(gatherLocal(linuxPlan(), root));
}

bool isThisMachine(const QString& host) {
    const QString h = host.trimmed();
    if (h.isEmpty() || h == u"." || h.compare(u"localhost", Qt::CaseInsensitive) == 0 ||
        h == u"127.0.0.1" || h == u"::1" || h == u"[::1]")
        return true;
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return false;
    const QString own = QString::fromLocal8Bit(buf);
    const QString ownShort = own.section(u'.', 0, 0);
    if (h.compare(own, Qt::CaseInsensitive) == 0 || h.compare(ownShort, Qt::CaseInsensitive) == 0)
        return true;
    // The full name of this machine when the system knows only its short name.
    const bool address = h.contains(u':') || std::all_of(h.begin(), h.end(), [](QChar ch) {
                             return ch.isDigit() || ch == u'.';
                         });
    return !address && !ownShort.isEmpty() &&
           h.section(u'.', 0, 0).compare(ownShort, Qt::CaseInsensitive) == 0;
}

std::unique_ptr<Service> LocalConnector::connect(const ConnectRequest& request) {
    if (request.road == Road::Credentials)
        throw Error(code::LocalCredentials, QStringLiteral("用户凭据不能用于本地连接。"));
    return std::make_unique<StoreService>(scanLocal(root_));
}

}  // namespace qelto::wmi::lnx
