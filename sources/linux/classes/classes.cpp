// The order of the classes, and what several builders share.

#include "classes.h"

#include <functional>

namespace qelto::wmi::lnx {

void buildClasses(const Context& c, InstanceStore& store) {
    addComputerSystem(c, store);
    addOperatingSystem(c, store);
    addTerminalServiceSetting(c, store);
    addUserAccounts(c, store);
    addShares(c, store);
    addProcessors(c, store);
    addCacheMemory(c, store);
    addPhysicalMemoryArrays(c, store);
    addPhysicalMemory(c, store);
    addBaseBoard(c, store);
    addBios(c, store);
    addPortConnectors(c, store);
    addUsbControllers(c, store);
    addSystemSlots(c, store);
    addPortableBatteries(c, store);
    addDiskDrives(c, store);
    addVideoControllers(c, store);
    addDesktopMonitors(c, store);
    addSoundDevices(c, store);
    addCdromDrives(c, store);
    addPrinters(c, store);
    addKeyboards(c, store);
    addPointingDevices(c, store);
    const Network net = network(c);
    addNetworkAdapters(net, store);
    addNetworkAdapterConfigurations(c, net, store);
    addSoftware(c, store);
    addQuickFixEngineering(store);
}

bool isCdrom(const Context& c, const QString& name) {
    return name.startsWith(u"sr") ||
           c.line(QStringLiteral("/sys/block/") + name + QStringLiteral("/device/type")) == u"5";
}

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

std::vector<InputDevice> inputDevices(const Context& c) {
    const int bits =
        c.machine.contains(u"64") || c.machine.isEmpty() || c.machine == u"s390x" ? 64 : 32;
    return parseInputDevices(c.g.text(QStringLiteral("/proc/bus/input/devices")), bits);
}

bool hasMemoryTable(const Context& c) {
    return !c.ofType(16).empty() || !c.ofType(17).empty();
}

QHash<QString, QString> udevMemory(const Context& c) {
    return keyValues(c.g.text(QStringLiteral("/run/udev/data/+dmi:id")), u"E:");
}

namespace {

// An interface of /sys/class/net; nullopt for loopback and for a name that is not there.
std::optional<Interface> readInterface(const Context& c, const QString& name) {
    const QString dir = QStringLiteral("/sys/class/net/") + name + u'/';
    if (!c.g.file(dir + QStringLiteral("address")) &&
        !c.g.exists(QStringLiteral("/sys/class/net/") + name))
        return std::nullopt;
    Interface i;
    i.name = name;
    i.type = int(toUnsigned(c.g.text(dir + QStringLiteral("type"))).value_or(0));
    if (i.type == 772 || name == u"lo") return std::nullopt;  // loopback
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
            i.maker = QStringLiteral("0x") + hex4(quint16(*v));  // a bus without a name database
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
    return i;
}

}  // namespace

Network network(const Context& c) {
    Network net;
    QHash<QString, Interface>& all = net.all;
    QStringList names;
    for (const QString& name : c.g.children(QStringLiteral("/sys/class/net"))) {
        if (std::optional<Interface> i = readInterface(c, name)) {
            all.insert(name, *i);
            names << name;
        }
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
    net.addresses = parseAddresses(c.g.probe(QStringLiteral("addresses")).value_or(QByteArray()));
    net.gateways = parseDefaultGateways(c.g.text(QStringLiteral("/proc/net/route")),
                                        c.g.text(QStringLiteral("/proc/net/ipv6_route")));
    // An interface that carries a default route is how the machine reaches the network, whatever
    // it rests on: inside a container that is a veth.
    for (const QString& n : names)
        if (!all.value(n).mac.isNull() && (restsOnDevice(n, 0) || net.gateways.contains(n)))
            net.shown << n;
    return net;
}

QString softwareLabel(const Interface& i) {
    if (i.kind == u"bond") return QStringLiteral("绑定接口 ") + i.name;
    if (i.kind == u"team") return QStringLiteral("组合接口 ") + i.name;
    if (i.kind == u"vlan") return QStringLiteral("VLAN 接口 ") + i.name;
    if (i.kind == u"bridge") return QStringLiteral("网桥 ") + i.name;
    return QStringLiteral("虚拟接口 ") + i.name;
}

}  // namespace qelto::wmi::lnx
