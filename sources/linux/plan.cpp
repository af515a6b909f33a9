#include "source.h"

namespace qelto::wmi::lnx {

namespace {

// The files read whole where they exist.
QStringList planFiles() {
    return {
        // system, kernel, memory, processors
        QStringLiteral("/proc/sys/kernel/hostname"),
        QStringLiteral("/proc/cpuinfo"),
        QStringLiteral("/proc/meminfo"),
        QStringLiteral("/proc/stat"),
        QStringLiteral("/proc/loadavg"),
        QStringLiteral("/proc/cmdline"),
        QStringLiteral("/proc/crypto"),
        QStringLiteral("/proc/self/mountinfo"),
        QStringLiteral("/proc/bus/input/devices"),
        QStringLiteral("/proc/asound/cards"),
        QStringLiteral("/proc/sys/dev/cdrom/info"),
        QStringLiteral("/proc/net/route"),
        QStringLiteral("/proc/net/ipv6_route"),
        // firmware tables (readable by root only) and what the kernel and udev decode of them
        QStringLiteral("/sys/firmware/dmi/tables/DMI"),
        QStringLiteral("/sys/firmware/dmi/tables/smbios_entry_point"),
        QStringLiteral("/run/udev/data/+dmi:id"),
        QStringLiteral("/sys/class/dmi/id/sys_vendor"),
        QStringLiteral("/sys/class/dmi/id/product_name"),
        QStringLiteral("/sys/class/dmi/id/board_vendor"),
        QStringLiteral("/sys/class/dmi/id/board_name"),
        QStringLiteral("/sys/class/dmi/id/board_version"),
        QStringLiteral("/sys/class/dmi/id/board_serial"),
        QStringLiteral("/sys/class/dmi/id/bios_vendor"),
        QStringLiteral("/sys/class/dmi/id/bios_version"),
        QStringLiteral("/sys/class/dmi/id/bios_date"),
        QStringLiteral("/sys/class/dmi/id/bios_release"),
        QStringLiteral("/sys/devices/system/cpu/cpu0/cpufreq/base_frequency"),
        QStringLiteral("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"),
        QStringLiteral("/sys/class/graphics/fb0/virtual_size"),
        QStringLiteral("/sys/class/graphics/fb0/bits_per_pixel"),
        // memory without a firmware table, and what tells a virtual machine
        QStringLiteral("/sys/devices/system/memory/block_size_bytes"),
        QStringLiteral("/sys/hypervisor/type"),
        QStringLiteral("/sys/devices/system/clocksource/clocksource0/available_clocksource"),
        QStringLiteral("/sys/firmware/devicetree/base/compatible"),
        QStringLiteral("/sys/firmware/devicetree/base/hypervisor/compatible"),
        // configuration
        QStringLiteral("/etc/machine-id"),
        QStringLiteral("/etc/debian_version"),
        // the time zone: a link into the zone database or a copy of a zone file
        QStringLiteral("/etc/localtime"),
        QStringLiteral("/etc/timezone"),
        QStringLiteral("/etc/default/locale"),
        QStringLiteral("/etc/locale.conf"),
        QStringLiteral("/etc/passwd"),
        QStringLiteral("/etc/login.defs"),
        QStringLiteral("/etc/samba/smb.conf"),
        QStringLiteral("/etc/exports"),
        QStringLiteral("/etc/krb5.conf"),
        QStringLiteral("/etc/sssd/sssd.conf"),
        QStringLiteral("/etc/cups/printers.conf"),
        QStringLiteral("/etc/printcap"),
        QStringLiteral("/run/cups/printcap"),
        QStringLiteral("/etc/resolv.conf"),
        QStringLiteral("/etc/network/interfaces"),
        QStringLiteral("/run/systemd/seats/seat0"),
        QStringLiteral("/run/utmp"),
    };
}

// The patterns whose every match is read (a file) or noted (a folder).
QStringList planGlobs() {
    return {
        QStringLiteral("/sys/devices/system/cpu/cpu[0-9]*/topology/physical_package_id"),
        QStringLiteral("/sys/devices/system/cpu/cpu[0-9]*/cache/index[0-9]*/level"),
        QStringLiteral("/sys/devices/system/cpu/cpu[0-9]*/cache/index[0-9]*/type"),
        QStringLiteral("/sys/devices/system/cpu/cpu[0-9]*/cache/index[0-9]*/size"),
        QStringLiteral("/sys/devices/system/cpu/cpu[0-9]*/cache/index[0-9]*/shared_cpu_list"),
        QStringLiteral("/sys/devices/system/cpu/cpu[0-9]*/cpufreq/scaling_cur_freq"),
        QStringLiteral("/sys/class/net/*/address"),
        QStringLiteral("/sys/class/net/*/type"),
        QStringLiteral("/sys/class/net/*/flags"),
        QStringLiteral("/sys/class/net/*/ifindex"),
        QStringLiteral("/sys/class/net/*/uevent"),
        QStringLiteral("/sys/class/net/*/wireless"),
        QStringLiteral("/sys/class/net/*/bonding"),
        QStringLiteral("/sys/class/net/*/bridge"),
        QStringLiteral("/sys/class/net/*/device/vendor"),
        QStringLiteral("/sys/bus/pci/devices/*/vendor"),
        QStringLiteral("/sys/bus/pci/devices/*/device"),
        QStringLiteral("/sys/bus/pci/devices/*/class"),
        QStringLiteral("/sys/bus/usb/devices/*/idVendor"),
        QStringLiteral("/sys/bus/usb/devices/*/idProduct"),
        QStringLiteral("/sys/bus/usb/devices/*/manufacturer"),
        QStringLiteral("/sys/bus/usb/devices/*/product"),
        QStringLiteral("/sys/bus/usb/devices/*/speed"),
        QStringLiteral("/sys/bus/usb/devices/usb*/*-0:1.0/usb*-port*/connect_type"),
        QStringLiteral("/sys/bus/pci/slots/*/address"),
        QStringLiteral("/sys/block/*/size"),
        QStringLiteral("/sys/block/*/removable"),
        QStringLiteral("/sys/block/*/device/model"),
        QStringLiteral("/sys/block/*/device/vendor"),
        QStringLiteral("/sys/block/*/device/type"),
        QStringLiteral("/sys/block/*/device/name"),
        QStringLiteral("/sys/block/*/*[0-9]/partition"),  // partitions: sda1, nvme0n1p1
        QStringLiteral("/sys/class/drm/card[0-9]*-*/status"),
        QStringLiteral("/sys/class/drm/card[0-9]*-*/edid"),
        QStringLiteral("/sys/class/drm/card[0-9]*-*/modes"),
        QStringLiteral("/sys/class/drm/card[0-9]*/device/mem_info_vram_total"),
        QStringLiteral("/sys/class/drm/card[0-9]*/device/driver/module/version"),
        QStringLiteral("/proc/asound/card[0-9]*/codec#[0-9]*"),
        QStringLiteral("/sys/class/power_supply/*/type"),
        QStringLiteral("/sys/class/power_supply/*/scope"),
        QStringLiteral("/sys/class/power_supply/*/model_name"),
        QStringLiteral("/sys/class/power_supply/*/manufacturer"),
        QStringLiteral("/sys/class/power_supply/*/voltage_min_design"),
        QStringLiteral("/sys/class/power_supply/*/energy_full_design"),
        QStringLiteral("/sys/class/power_supply/*/charge_full_design"),
        QStringLiteral("/run/systemd/sessions/*"),
        QStringLiteral("/run/systemd/netif/leases/*"),
        QStringLiteral("/var/lib/dhcp/*.leases"),
        QStringLiteral("/var/lib/dhclient/*.leases"),
        QStringLiteral("/var/lib/NetworkManager/*.lease"),
        QStringLiteral("/var/lib/dhcpcd/*.lease"),
        QStringLiteral("/boot/loader/entries/*.conf"),
        QStringLiteral("/efi/loader/entries/*.conf"),
        QStringLiteral("/etc/exports.d/*.exports"),
        // installed programs beside the package databases (see docs/software.md)
        QStringLiteral("/snap/*/current/meta/snap.yaml"),
        QStringLiteral("/var/lib/flatpak/app/*/current/active/files/share/metainfo/*.xml"),
        QStringLiteral("/var/lib/flatpak/app/*/current/active/files/share/appdata/*.xml"),
    };
}

// The patterns whose every match's resolved path is noted.
QStringList planLinks() {
    return {
        QStringLiteral("/sys/class/net/*"),
        QStringLiteral("/sys/class/net/*/device"),
        QStringLiteral("/sys/class/net/*/lower_*"),
        QStringLiteral("/sys/bus/pci/devices/*"),
        QStringLiteral("/sys/bus/pci/devices/*/driver"),
        QStringLiteral("/sys/bus/usb/devices/*"),
        QStringLiteral("/sys/block/*"),
        QStringLiteral("/sys/class/drm/card[0-9]*"),
        QStringLiteral("/sys/class/drm/card[0-9]*/device"),
        QStringLiteral("/sys/class/sound/card[0-9]*/device"),
        QStringLiteral("/etc/systemd/system/default.target"),
        QStringLiteral("/etc/systemd/system/display-manager.service"),
        QStringLiteral("/etc/localtime"),
        QStringLiteral("/var/lib/flatpak/app/*/current"),
    };
}

}  // namespace

const GatherPlan& linuxPlan() {
    static const GatherPlan plan = [] {
        GatherPlan p;
        p.files = planFiles();
        p.firstOf = {
            {QStringLiteral("/etc/os-release"), QStringLiteral("/usr/lib/os-release")},
            {QStringLiteral("/boot/grub/grub.cfg"), QStringLiteral("/boot/grub2/grub.cfg")},
        };
        // The host keytab only tells that the machine joined a domain; its keys stay where they
        // are.
        p.presence = QStringList{QStringLiteral("/etc/krb5.keytab"),
                                 QStringLiteral("/sys/bus/vmbus/devices")};
        p.lockStates = QStringList{QStringLiteral("/etc/shadow")};
        p.lookups = {
            {QStringLiteral("/usr/share/misc/pci.ids"),
             QStringLiteral("/usr/share/hwdata/pci.ids")},
            {QStringLiteral("/usr/share/misc/usb.ids"),
             QStringLiteral("/usr/share/hwdata/usb.ids")},
            {QStringLiteral("/usr/share/hwdata/pnp.ids"),
             QStringLiteral("/usr/share/misc/pnp.ids")},
        };
        p.globs = planGlobs();
        // Of the package databases only the fields the programs' list shows: a fifth of dpkg's
        // status, a tiny part of apk's (which lists every file of every package).
        p.filtered = {
            {QStringLiteral("/var/lib/dpkg/status"),
             {QStringLiteral("Package:"), QStringLiteral("Status:"), QStringLiteral("Version:"),
              QStringLiteral("Architecture:"), QStringLiteral("Maintainer:")}},
            {QStringLiteral("/lib/apk/db/installed"),
             {QStringLiteral("P:"), QStringLiteral("V:"), QStringLiteral("A:"),
              QStringLiteral("m:")}},
        };
        // Any user may add a share of their own here.
        p.userGlobs = QStringList{QStringLiteral("/var/lib/samba/usershares/*")};
        p.links = planLinks();
        // Only names count here: the memory blocks, the virtio devices, the processes.
        p.lists = QStringList{QStringLiteral("/proc"), QStringLiteral("/sys/devices/system/memory"),
                              QStringLiteral("/sys/bus/virtio/devices")};
        // What hints at the installation date: the root file system's birth, else the times of
        // what the installer left behind.
        p.statPaths = QStringList{QStringLiteral("/"), QStringLiteral("/var/log/installer"),
                                  QStringLiteral("/lost+found"), QStringLiteral("/etc/machine-id")};
        p.probes = QStringList{
            QStringLiteral("uname"),    QStringLiteral("clock"),     QStringLiteral("addresses"),
            QStringLiteral("stat"),     QStringLiteral("listening"), QStringLiteral("uid"),
            QStringLiteral("printers"), QStringLiteral("zone"),      QStringLiteral("rpm")};
        return p;
    }();
    return plan;
}

}  // namespace qelto::wmi::lnx
