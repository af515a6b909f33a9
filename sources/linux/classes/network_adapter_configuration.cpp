// Win32_NetworkAdapterConfiguration of a Linux machine: one configuration per interface shown
// (see network() in classes.h), with its addresses, gateways and DHCP lease.

#include "classes.h"

namespace qelto::wmi::lnx {

namespace {

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

void addNetworkAdapterConfigurations(const Context& c, const Network& net, InstanceStore& store) {
    InstanceBuilder<"Win32_NetworkAdapterConfiguration">::declare(store);
    QString resolvDomain;
    for (const QByteArray& raw : c.g.text(QStringLiteral("/etc/resolv.conf")).split('\n')) {
        const QStringList w = QString::fromUtf8(raw).simplified().split(u' ');
        if (w.size() >= 2 && (w[0] == u"domain" || (w[0] == u"search" && resolvDomain.isEmpty())))
            resolvDomain = w[1];
    }
    for (const QString& n : net.shown) {
        const Interface& i = net.all[n];
        const QList<Address> addrs = net.addresses.value(n);
        InstanceBuilder<"Win32_NetworkAdapterConfiguration"> cfg(store);
        QString description =
            i.device ? (i.model.isEmpty() ? i.name : i.model + QStringLiteral(" (") + i.name + u')')
                     : softwareLabel(i);
        cfg.set("Description", description);
        cfg.set("MACAddress", i.mac);
        cfg.set("IPEnabled", i.up && !addrs.isEmpty());
        cfg.set("InterfaceIndex", i.index);
        Variant::Array ips, masks, gws;
        for (bool v6 : {false, true})
            for (const Address& a : addrs) {
                if (a.v6 != v6) continue;
                ips.emplace_back(a.address);
                masks.emplace_back(v6 ? QString::number(a.prefix) : dottedMask(a.prefix));
            }
        for (const QString& g : net.gateways.value(n)) gws.emplace_back(g);
        cfg.set("IPAddress", ips.empty() ? Variant() : Variant(std::move(ips)));
        cfg.set("IPSubnet", masks.empty() ? Variant() : Variant(std::move(masks)));
        cfg.set("DefaultIPGateway", gws.empty() ? Variant() : Variant(std::move(gws)));
        const std::optional<Lease> lease = leaseOf(c, i, addrs);
        cfg.set("DHCPEnabled", lease.has_value() || ifupdownDhcp(c, n));
        cfg.set("DHCPServer", lease ? textOrNull(lease->server) : Variant());
        QString domain = lease ? lease->domain : QString();
        if (domain.isEmpty() && !addrs.isEmpty()) domain = resolvDomain;
        cfg.set("DNSDomain", textOrNull(domain));
        cfg.set("WINSPrimaryServer", lease && lease->netbiosServers.size() > 0
                                         ? Variant(lease->netbiosServers[0])
                                         : Variant());
        cfg.set("WINSSecondaryServer", lease && lease->netbiosServers.size() > 1
                                           ? Variant(lease->netbiosServers[1])
                                           : Variant());
    }
}

}  // namespace qelto::wmi::lnx
