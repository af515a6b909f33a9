#pragma once

// The builders of the classes, one file per class, and what several of them share. Each builder
// adds its class to the store (empty when the machine has none of it) and then its instances,
// through the class schema (wmi/builder.h).

#include "sources/linux/context.h"
#include "sources/linux/edid.h"

#include <optional>
#include <vector>

namespace qelto::wmi::lnx {

// Every class, in the order the scan first queries them.
void buildClasses(const Context& c, InstanceStore& store);

void addComputerSystem(const Context& c, InstanceStore& store);
void addOperatingSystem(const Context& c, InstanceStore& store);
void addTerminalServiceSetting(const Context& c, InstanceStore& store);
void addUserAccounts(const Context& c, InstanceStore& store);
void addShares(const Context& c, InstanceStore& store);
void addProcessors(const Context& c, InstanceStore& store);
void addCacheMemory(const Context& c, InstanceStore& store);
void addPhysicalMemoryArrays(const Context& c, InstanceStore& store);
void addPhysicalMemory(const Context& c, InstanceStore& store);
void addBaseBoard(const Context& c, InstanceStore& store);
void addBios(const Context& c, InstanceStore& store);
void addPortConnectors(const Context& c, InstanceStore& store);
void addUsbControllers(const Context& c, InstanceStore& store);
void addSystemSlots(const Context& c, InstanceStore& store);
void addPortableBatteries(const Context& c, InstanceStore& store);
void addDiskDrives(const Context& c, InstanceStore& store);
void addVideoControllers(const Context& c, InstanceStore& store);
void addDesktopMonitors(const Context& c, InstanceStore& store);
void addSoundDevices(const Context& c, InstanceStore& store);
void addCdromDrives(const Context& c, InstanceStore& store);
void addPrinters(const Context& c, InstanceStore& store);
void addKeyboards(const Context& c, InstanceStore& store);
void addPointingDevices(const Context& c, InstanceStore& store);
struct Network;
void addNetworkAdapters(const Network& net, InstanceStore& store);
void addNetworkAdapterConfigurations(const Context& c, const Network& net, InstanceStore& store);
// Read apart from the scan (qelto-cli scan --software, --json), after the classes it queries.
void addSoftware(const Context& c, InstanceStore& store);
void addQuickFixEngineering(InstanceStore& store);

// -- Shared by several builders (classes.cpp)

// Whether a block device is an optical drive (disks leave them to Win32_CDROMDrive).
bool isCdrom(const Context& c, const QString& name);

// The displays connected to the DRM cards, with their EDID (video controllers and monitors).
struct Connector {
    QString name;  // "card0-DP-1"
    QString card;  // "card0"
    std::optional<edid::Info> edid;
    QString firstMode;
};
std::vector<Connector> connectedDisplays(const Context& c);

// The input devices of /proc/bus/input/devices (keyboards and pointing devices).
std::vector<InputDevice> inputDevices(const Context& c);

// Whether the firmware's memory table lists arrays or devices; the udev keys of what udev decoded
// of it otherwise (memory arrays and modules).
bool hasMemoryTable(const Context& c);
QHash<QString, QString> udevMemory(const Context& c);

// The network interfaces the adapters and their configurations show.
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

struct Network {
    QHash<QString, Interface> all;  // by name
    QStringList shown;              // the names of those shown, in the kernel's order
    QHash<QString, QList<Address>> addresses;
    QHash<QString, QStringList> gateways;  // default gateways by interface
};
Network network(const Context& c);
// "绑定接口 bond0": the description of a software interface.
QString softwareLabel(const Interface& i);

}  // namespace qelto::wmi::lnx
