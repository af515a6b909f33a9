// Win32_NetworkAdapter and Win32_NetworkAdapterConfiguration of a Linux machine.
//
// Which interfaces are shown: every interface of a device (PCI, USB, virtio, SDIO…), and the
// software interfaces that rest on one (bond, team, VLAN, bridge or macvlan over a device's
// interface, directly or through other software interfaces), and any interface that carries a
// default route — so a server's bond or VLAN that carries its address is there, and so is the
// veth through which a container reaches the network, while loopback, the host's pile of
// container veths, tunnels and bridges of virtual machines and containers (which rest on nothing
// but other software interfaces and carry no default route) are not.
// Interfaces without a MAC address are left out. The adapter class has one adapter per MAC
// address (the device's own interface when several share it, as a bond's members and its VLANs
// do), so that each configuration pairs with exactly one adapter.

#include "context.h"

#include <QSet>

namespace qelto::wmi::lnx {

namespace {

struct Interface {
    QString name;
    Variant mac;
    int type = 0;
    bool up = false;
    bool device = false;  // an interface of a device
    QString kind;         // software interfaces: bond, bridge, vlan, …
    QString model;        // the device's model name
    QString maker;        // the device's maker
    qint64 index = 0;
};

QString softwareLabel(const Interface& i) {
    if (i.kind == u"bond") return QStringLiteral("绑定接口 ") + i.name;
    if (i.kind == u"team") return QStringLiteral("组合接口 ") + i.name;
    if (i.kind == u"vlan") return QStringLiteral("VLAN 接口 ") + i.name;
    if (i.kind == u"bridge") return QStringLiteral("网桥 ") + i.name;
    return QStringLiteral("虚拟接口 ") + i.name;
}

QString dottedMask(int prefix) {
    const quint32 m = prefix <= 0 ? 0 : prefix >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - prefix)) - 1);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(m >> 24)
        .arg((m >> 16) & 0xFF)
        .arg((m >> 8) & 0xFF)
        .arg(m & 0xFF);
}

// The DHCP lease of an interface whose address the interface still has.
std::optional<Lease> leaseOf(const Context& c, const Interface& i,
                             const QList<Address>& addresses) {
    auto current = [&](const Lease& l) {
        if (l.address.isEmpty()) return true;
        for (const Address& a : addresses)
            if (!a.v6 && a.address == l.address) return true;
        return false;
    };
    const QString networkd = QStringLiteral("/run/systemd/netif/leases/%1").arg(i.index);
    if (c.g.file(networkd)) {
        const Lease l = parseKeyValueLease(c.g.text(networkd));
        if (current(l)) return l;
    }
    for (const QString& path : c.g.match(QStringLiteral("/var/lib/NetworkManager/*.lease")))
        if (path.endsWith(u'-' + i.name + QStringLiteral(".lease"))) {
            const Lease l = parseKeyValueLease(c.g.text(path));
            if (current(l)) return l;
        }
    for (const QString& path : c.g.match(QStringLiteral("/var/lib/dhcpcd/*.lease"))) {
        const QString file = path.section(u'/', -1);
        if (file != i.name + QStringLiteral(".lease") && !file.startsWith(i.name + u'-')) continue;
        if (auto l = parseDhcpMessage(c.g.text(path)); l && current(*l)) return l;
    }
    for (const QString& path : c.g.match(QStringLiteral("/var/lib/dhcp/*.leases")) +
                                   c.g.match(QStringLiteral("/var/lib/dhclient/*.leases"))) {
        for (const Lease& l : parseDhclientLeases(c.g.text(path))) {
            const bool mine =
                l.interface == i.name || (l.interface.isEmpty() && path.contains(i.name));
            if (mine && current(l)) return l;
        }
    }
    return std::nullopt;
}

bool ifupdownDhcp(const Context& c, const QString& name) {
    for (const QByteArray& raw : c.g.text(QStringLiteral("/etc/network/interfaces")).split('\n')) {
        const QStringList w = QString::fromUtf8(raw).simplified().split(u' ');
        if (w.size() >= 4 && w[0] == u"iface" && w[1] == name && w[2] == u"inet" && w[3] == u"dhcp")
            return true;
    }
    return false;
}

}  // namespace

void addNetworkClasses(const Context& c, InstanceStore& store) {
    store.addClass(QStringLiteral("Win32_NetworkAdapter"));
    store.addClass(QStringLiteral("Win32_NetworkAdapterConfiguration"));

    QHash<QString, Interface> all;
    QStringList names;
    for (const QString& name : c.g.children(QStringLiteral("/sys/class/net"))) {
        const QString dir = QStringLiteral("/sys/class/net/") + name + u'/';
        if (!c.g.file(dir + QStringLiteral("address")) &&
            !c.g.exists(QStringLiteral("/sys/class/net/") + name))
            continue;
        Interface i;
        i.name = name;
        i.type = int(toUnsigned(c.g.text(dir + QStringLiteral("type"))).value_or(0));
        if (i.type == 772 || name == u"lo") continue;  // loopback
        i.mac = macAddress(c.line(dir + QStringLiteral("address")));
        i.up = toUnsigned(c.g.text(dir + QStringLiteral("flags")), 16).value_or(0) & 0x1;
        i.index = qint64(toUnsigned(c.g.text(dir + QStringLiteral("ifindex"))).value_or(0));
        const QString devicePath = c.g.link(dir + QStringLiteral("device"));
        i.device = !devicePath.isEmpty();
        if (i.device) {
            if (const UsbDevice* usb = c.usbOf(devicePath)) {
                i.maker = c.usbVendorName(*usb);
                i.model = usb->productName.isEmpty() ? c.usbIds().device(usb->vendor, usb->product)
                                                     : usb->productName;
            } else if (const PciDevice* pci = c.pciOf(devicePath)) {
                i.maker = c.pciVendorName(pci->vendor);
                i.model = c.pciIds().device(pci->vendor, pci->device);
            } else if (auto v = toUnsigned(c.g.text(dir + QStringLiteral("device/vendor")), 16)) {
                i.maker =
                    QStringLiteral("0x") + hex4(quint16(*v));  // a bus without a name database
            } else {
                i.maker = devicePath.section(u'/', -1);
            }
        } else {
            const auto uevent = keyValues(c.g.text(dir + QStringLiteral("uevent")));
            i.kind = uevent.value(QStringLiteral("DEVTYPE"));
            if (c.g.isDir(dir + QStringLiteral("bonding"))) i.kind = QStringLiteral("bond");
            if (c.g.isDir(dir + QStringLiteral("bridge"))) i.kind = QStringLiteral("bridge");
            i.maker = QStringLiteral("Linux");
        }
        all.insert(name, i);
        names << name;
    }

    // Software interfaces resting (through their lower interfaces) on a device's interface.
    QHash<QString, bool> rests;
    std::function<bool(const QString&, int)> restsOnDevice = [&](const QString& name,
                                                                 int depth) -> bool {
        if (depth > 8 || !all.contains(name)) return false;
        if (all.value(name).device) return true;
        if (rests.contains(name)) return rests.value(name);
        rests.insert(name, false);  // a loop of lower links rests on nothing
        bool r = false;
        for (const QString& lower :
             c.g.match(QStringLiteral("/sys/class/net/") + name + QStringLiteral("/lower_*")))
            if (restsOnDevice(lower.section(u'/', -1).mid(6), depth + 1)) r = true;
        rests.insert(name, r);
        return r;
    };
    const auto addresses =
        parseAddresses(c.g.probe(QStringLiteral("addresses")).value_or(QByteArray()));
    const auto gateways = parseDefaultGateways(c.g.text(QStringLiteral("/proc/net/route")),
                                               c.g.text(QStringLiteral("/proc/net/ipv6_route")));
    // An interface that carries a default route is how the machine reaches the network, whatever
    // it rests on: inside a container that is a veth.
    QStringList shown;
    for (const QString& n : names)
        if (!all.value(n).mac.isNull() && (restsOnDevice(n, 0) || gateways.contains(n))) shown << n;
    QString resolvDomain;
    for (const QByteArray& raw : c.g.text(QStringLiteral("/etc/resolv.conf")).split('\n')) {
        const QStringList w = QString::fromUtf8(raw).simplified().split(u' ');
        if (w.size() >= 2 && (w[0] == u"domain" || (w[0] == u"search" && resolvDomain.isEmpty())))
            resolvDomain = w[1];
    }

    // Adapters: one per MAC address, a device's interface before a software one.
    QSet<QString> macs;
    for (int pass = 0; pass < 2; ++pass)
        for (const QString& n : shown) {
            const Interface& i = all[n];
            if (i.device != (pass == 0) || macs.contains(i.mac.textValue())) continue;
            macs.insert(i.mac.textValue());
            Instance& a = newInstance(store, QStringLiteral("Win32_NetworkAdapter"));
            const QString description =
                i.device ? (i.model.isEmpty() ? i.name : i.model) : softwareLabel(i);
            a.set(QStringLiteral("Name"), Variant(description));
            a.set(QStringLiteral("Description"), Variant(description));
            a.set(QStringLiteral("NetConnectionID"), Variant(i.name));
            a.set(QStringLiteral("MACAddress"), i.mac);
            a.set(QStringLiteral("Manufacturer"), Variant(i.maker));
            QString type;
            if (i.type == 1)
                type = QStringLiteral("Ethernet 802.3");
            else if (i.type == 512)
                type = QStringLiteral("Wide Area Network (WAN)");
            else if (i.type == 24)
                type = QStringLiteral("1394");
            a.set(QStringLiteral("AdapterType"), type.isEmpty() ? Variant() : Variant(type));
            a.set(QStringLiteral("PhysicalAdapter"), Variant(i.device));
            a.set(QStringLiteral("InterfaceIndex"), Variant(i.index));
        }

    for (const QString& n : shown) {
        const Interface& i = all[n];
        const QList<Address> addrs = addresses.value(n);
        Instance& cfg = newInstance(store, QStringLiteral("Win32_NetworkAdapterConfiguration"));
        QString description =
            i.device ? (i.model.isEmpty() ? i.name : i.model + QStringLiteral(" (") + i.name + u')')
                     : softwareLabel(i);
        cfg.set(QStringLiteral("Description"), Variant(description));
        cfg.set(QStringLiteral("MACAddress"), i.mac);
        cfg.set(QStringLiteral("IPEnabled"), Variant(i.up && !addrs.isEmpty()));
        cfg.set(QStringLiteral("InterfaceIndex"), Variant(i.index));
        Variant::Array ips, masks, gws;
        for (bool v6 : {false, true})
            for (const Address& a : addrs) {
                if (a.v6 != v6) continue;
                ips.emplace_back(a.address);
                masks.emplace_back(v6 ? QString::number(a.prefix) : dottedMask(a.prefix));
            }
        for (const QString& g : gateways.value(n)) gws.emplace_back(g);
        cfg.set(QStringLiteral("IPAddress"), ips.empty() ? Variant() : Variant(std::move(ips)));
        cfg.set(QStringLiteral("IPSubnet"), masks.empty() ? Variant() : Variant(std::move(masks)));
        cfg.set(QStringLiteral("DefaultIPGateway"),
                gws.empty() ? Variant() : Variant(std::move(gws)));
        const std::optional<Lease> lease = leaseOf(c, i, addrs);
        cfg.set(QStringLiteral("DHCPEnabled"), Variant(lease.has_value() || ifupdownDhcp(c, n)));
        cfg.set(QStringLiteral("DHCPServer"), lease ? textOrNull(lease->server) : Variant());
        QString domain = lease ? lease->domain : QString();
        if (domain.isEmpty() && !addrs.isEmpty()) domain = resolvDomain;
        cfg.set(QStringLiteral("DNSDomain"), textOrNull(domain));
        cfg.set(QStringLiteral("WINSPrimaryServer"), lease && lease->netbiosServers.size() > 0
                                                         ? Variant(lease->netbiosServers[0])
                                                         : Variant());
        cfg.set(QStringLiteral("WINSSecondaryServer"), lease && lease->netbiosServers.size() > 1
                                                           ? Variant(lease->netbiosServers[1])
                                                           : Variant());
    }
}

}  // namespace qelto::wmi::lnx
