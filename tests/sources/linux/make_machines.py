#!/usr/bin/env python3
"""Writes the recorded Linux machines the tests scan: each a folder laid out like the machine's
own tree (proc, sys, etc, run, var, usr, boot) plus `.probes/<name>` with the answers of the
gatherer's probes. The SMBIOS tables and EDID blocks come from the fixture generators of the
shared tools folder (given as the first argument); each machine's excerpt of the id databases is
taken from the system's pci.ids, usb.ids and pnp.ids (packages pci.ids, usb.ids, hwdata);
everything else is written here. The output is committed, so the tests need none of these.

    tests/sources/linux/make_machines.py /path/to/shared/tools

Run it again after changing a machine, then review the goldens (see linux_machines_test.cpp)."""
import os, shutil, struct, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "machines")
TOOLS = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "../../../../shared/tools")


class Machine:
    def __init__(self, name):
        self.root = os.path.join(OUT, name)
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)

    def path(self, p):
        return os.path.join(self.root, p.lstrip("/"))

    def write(self, p, content, binary=False):
        full = self.path(p)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(content if binary else content.encode("utf-8"))

    def link(self, p, target):
        """A relative symbolic link at p pointing to the absolute machine path target."""
        full = self.path(p)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        rel = os.path.relpath(self.path(target), os.path.dirname(full))
        os.symlink(rel, full)

    def probe(self, name, text):
        self.write("/.probes/" + name, text)

    def zone(self, name, how="link"):
        """The machine's time zone: /etc/localtime linking into its copy of the zone database, or
        a copy of the zone file with /etc/timezone naming it."""
        data = open("/usr/share/zoneinfo/" + name, "rb").read()
        if how == "link":
            self.write("/usr/share/zoneinfo/" + name, data, binary=True)
            self.link("/etc/localtime", "/usr/share/zoneinfo/" + name)
        else:
            self.write("/etc/localtime", data, binary=True)
            self.write("/etc/timezone", name + "\n")

    def memory_blocks(self, count, block=128 << 20):
        self.write("/sys/devices/system/memory/block_size_bytes", "%x\n" % block)
        for n in range(count):
            self.write("/sys/devices/system/memory/memory%d/state" % n, "online\n")

    def processes(self, n):
        for pid in range(1, n + 1):
            self.write("/proc/%d/comm" % pid, "task\n")

    # -- devices -------------------------------------------------------------------------------
    def pci(self, addr, vendor, device, cls, driver=None, bus="/sys/devices/pci0000:00"):
        d = "%s/%s" % (bus, addr)
        self.write(d + "/vendor", "0x%04x\n" % vendor)
        self.write(d + "/device", "0x%04x\n" % device)
        self.write(d + "/class", "0x%06x\n" % cls)
        self.link("/sys/bus/pci/devices/" + addr, d)
        if driver:
            self.write("/sys/bus/pci/drivers/%s/module" % driver, "")
            self.link(d + "/driver", "/sys/bus/pci/drivers/" + driver)
        return d

    def usb(self, parent, name, vendor, product, manufacturer=None, product_name=None, speed="480"):
        d = parent + "/" + name
        self.write(d + "/idVendor", "%04x\n" % vendor)
        self.write(d + "/idProduct", "%04x\n" % product)
        if manufacturer:
            self.write(d + "/manufacturer", manufacturer + "\n")
        if product_name:
            self.write(d + "/product", product_name + "\n")
        self.write(d + "/speed", speed + "\n")
        self.link("/sys/bus/usb/devices/" + name, d)
        return d

    def root_hub(self, controller, n, ports, speed, unused=()):
        d = self.usb(controller, "usb%d" % n, 0x1d6b, 2 if speed == "480" else 3,
                     "Linux 6.1.0 xhci-hcd", "xHCI Host Controller", speed)
        for p in range(1, ports + 1):
            self.write("%s/%d-0:1.0/usb%d-port%d/connect_type" % (d, n, n, p),
                       ("not used" if p in unused else "hotplug") + "\n")
        return d

    def net(self, name, mac, index, device=None, flags=0x1003, kind=None, lowers=(), wireless=False, typ=1):
        if device:
            d = device + "/net/" + name
        else:
            d = "/sys/devices/virtual/net/" + name
        self.write(d + "/address", mac + "\n")
        self.write(d + "/type", "%d\n" % typ)
        self.write(d + "/flags", "0x%x\n" % flags)
        self.write(d + "/ifindex", "%d\n" % index)
        uevent = "INTERFACE=%s\nIFINDEX=%d\n" % (name, index)
        if kind in ("vlan", "wlan"):
            uevent = "DEVTYPE=%s\n" % kind + uevent
        self.write(d + "/uevent", uevent)
        if kind == "bond":
            self.write(d + "/bonding/mode", "802.3ad 4\n")
        if kind == "bridge":
            self.write(d + "/bridge/stp_state", "0\n")
        if wireless:
            self.write(d + "/wireless/.present", "")
        if device:
            self.link(d + "/device", device)
        for lower in lowers:
            self.link(d + "/lower_" + lower, "/sys/class/net/" + lower)
        self.link("/sys/class/net/" + name, d)
        return d

    def block(self, name, parent, sectors, model=None, vendor=None, removable=0, partitions=0, scsi_type=None):
        d = parent + "/block/" + name
        self.write(d + "/size", "%d\n" % sectors)
        self.write(d + "/removable", "%d\n" % removable)
        if model is not None:
            self.write(parent + "/model", model + "\n")
        if vendor is not None:
            self.write(parent + "/vendor", vendor + "\n")
        if scsi_type is not None:
            self.write(parent + "/type", "%d\n" % scsi_type)
        self.link(d + "/device", parent)
        for p in range(1, partitions + 1):
            pn = ("%sp%d" if name[-1].isdigit() else "%s%d") % (name, p)
            self.write("%s/%s/partition" % (d, pn), "%d\n" % p)
        self.link("/sys/block/" + name, d)
        return d

    def virtual_block(self, name, sectors):
        d = "/sys/devices/virtual/block/" + name
        self.write(d + "/size", "%d\n" % sectors)
        self.write(d + "/removable", "0\n")
        self.link("/sys/block/" + name, d)

    def cpus(self, packages, cores, threads, model_name, vendor, family, model, stepping, mhz, flags, caches):
        """caches: (index, level, type, size, shared) with shared = 'core' | 'package'."""
        blocks = []
        n = 0
        for pkg in range(packages):
            for core in range(cores):
                for t in range(threads):
                    blocks.append((n, pkg, core))
                    n += 1
        text = ""
        for (cpu, pkg, core) in blocks:
            text += ("processor\t: %d\nvendor_id\t: %s\ncpu family\t: %d\nmodel\t\t: %d\nmodel name\t: %s\n"
                     "stepping\t: %d\ncpu MHz\t\t: %.3f\ncache size\t: 1024 KB\nphysical id\t: %d\nsiblings\t: %d\n"
                     "core id\t\t: %d\ncpu cores\t: %d\nflags\t\t: %s\n\n") % (
                cpu, vendor, family, model, model_name, stepping, mhz, pkg, cores * threads, core, cores, flags)
            base = "/sys/devices/system/cpu/cpu%d" % cpu
            self.write(base + "/topology/physical_package_id", "%d\n" % pkg)
            for (idx, level, typ, size, shared) in caches:
                if shared == "core":
                    sib = [c for (c, p, k) in blocks if p == pkg and k == core]
                else:
                    sib = [c for (c, p, k) in blocks if p == pkg]
                cdir = "%s/cache/index%d" % (base, idx)
                self.write(cdir + "/level", "%d\n" % level)
                self.write(cdir + "/type", typ + "\n")
                self.write(cdir + "/size", size + "\n")
                self.write(cdir + "/shared_cpu_list", "%d-%d\n" % (sib[0], sib[-1]) if len(sib) > 1 else "%d\n" % sib[0])
        self.write("/proc/cpuinfo", text)

    def common(self, hostname, pretty, name, release, machine="x86_64", now=1765095000, offset=28800,
               btime=1765000000, mem_total=16318412, mem_avail=9876543, swap=2097148, version_id="12",
               distro="debian", debian_version=None):
        self.write("/proc/sys/kernel/hostname", hostname + "\n")
        self.write("/etc/os-release", 'PRETTY_NAME="%s"\nNAME="%s"\nVERSION_ID="%s"\nID=%s\n'
                   % (pretty, name, version_id, distro))
        if debian_version:
            self.write("/etc/debian_version", debian_version + "\n")
        self.write("/proc/meminfo", "MemTotal:       %d kB\nMemFree:         1234567 kB\nMemAvailable:   %d kB\n"
                   "Buffers:          100000 kB\nCached:          2000000 kB\nSwapTotal:      %d kB\nSwapFree:       %d kB\n"
                   % (mem_total, mem_avail, swap, swap))
        self.write("/proc/stat", "cpu  100 0 100 1000 0 0 0 0 0 0\nbtime %d\nprocesses 4242\n" % btime)
        self.write("/proc/loadavg", "0.52 0.40 0.33 2/310 4242\n")
        self.write("/proc/crypto", "name         : aes\ndriver       : aes-aesni\nmin keysize  : 16\nmax keysize  : 32\n\n"
                   "name         : sha256\ndriver       : sha256-generic\n\n")
        self.write("/etc/machine-id", "0123456789abcdef0123456789abcdef\n")
        self.probe("uname", "Linux\n%s\n%s\n#1 SMP PREEMPT_DYNAMIC Debian %s\n%s\n" % (hostname, release, release, machine))
        self.probe("clock", "%d 250000 %d\n" % (now, offset))


def ids_excerpt(path, wanted):
    """The lines of an id database (pci.ids, usb.ids) for the wanted vendors and (vendor, device)
    pairs, so that a machine carries the names its devices have without the whole file."""
    out = ["# excerpt of %s for the recorded machine\n" % os.path.basename(path)]
    vendor = None
    for line in open(path, encoding="utf-8", errors="replace"):
        if line.startswith("C ") or line.startswith("AT "):
            break
        if line[:1] not in ("\t", "#", "\n") and len(line) > 6:
            vendor = int(line[:4], 16)
            if vendor in {w if isinstance(w, int) else w[0] for w in wanted}:
                out.append(line)
        elif line.startswith("\t") and not line.startswith("\t\t") and vendor is not None:
            if (vendor, int(line[1:5], 16)) in wanted:
                out.append(line)
    return "".join(out)


def id_files(m, pci=(), usb=(), pnp=()):
    for name, wanted in (("pci.ids", pci), ("usb.ids", usb)):
        if wanted:
            m.write("/usr/share/misc/" + name, ids_excerpt("/usr/share/misc/" + name, set(wanted)))
    if pnp:
        lines = [l for l in open("/usr/share/hwdata/pnp.ids", encoding="utf-8") if l[:3] in pnp]
        m.write("/usr/share/hwdata/pnp.ids", "".join(lines))


def tool(script, *args):
    return subprocess.run([sys.executable, os.path.join(TOOLS, script)] + list(args), check=True,
                          capture_output=True).stdout


def smbios_structures():
    """The generator's table as [type, formatted area (header included), strings]."""
    with tempfile.TemporaryDirectory() as tmp:
        tool("make-smbios-fixture.py", tmp)
        table = open(os.path.join(tmp, "DMI"), "rb").read()
    out = []
    pos = 0
    while pos + 4 <= len(table):
        typ, length = table[pos], table[pos + 1]
        end = table.index(b"\0\0", pos + length) + 2
        strs = [s.decode() for s in table[pos + length:end].split(b"\0") if s]
        out.append([typ, bytearray(table[pos:pos + length]), strs])
        pos = end
        if typ == 127:
            break
    return out


def smbios_for(cpu, memory, drop=()):
    """The generator's table fitted to the machine it is recorded for, so that the firmware tells
    the same as the kernel: one processor structure per socket with the machine's CPUID, name and
    core counts, the machine's caches, and its memory modules in the array's slots.

    cpu: dict(sockets, eax, edx, family, maker, name, socket, cores, threads, mhz, max_mhz, caches_kb)
    memory: dict(max_gib, slots, modules: {slot index: (MiB, type, MT/s, maker, part)})"""
    s = [x for x in smbios_structures() if x[0] not in drop]
    handle = max(struct.unpack_from("<H", x[1], 2)[0] for x in s) + 1
    caches = {}
    for x in s:
        if x[0] == 7:
            level = (struct.unpack_from("<H", x[1], 5)[0] & 7) + 1
            kb = cpu["caches_kb"][level - 1]
            short = kb if kb < 0x8000 else 0x8000 | (kb // 64)
            struct.pack_into("<HH", x[1], 7, short, short)
            struct.pack_into("<II", x[1], 0x13, kb, kb)
            caches[level] = x
    proc = next(x for x in s if x[0] == 4)
    at = s.index(proc)
    procs = []
    for n in range(cpu["sockets"]):
        socket = cpu["socket"] % (n + 1) if "%" in cpu["socket"] else cpu["socket"]
        p = [4, bytearray(proc[1]), [socket, cpu["maker"], cpu["name"]]]
        if n:
            struct.pack_into("<H", p[1], 2, handle)
            handle += 1
        struct.pack_into("<II", p[1], 8, cpu["eax"], cpu["edx"])
        p[1][6] = cpu["family"]
        struct.pack_into("<H", p[1], 0x28, cpu["family"])
        struct.pack_into("<HH", p[1], 0x14, cpu["max_mhz"], cpu["mhz"])
        p[1][0x23], p[1][0x24], p[1][0x25] = cpu["cores"], cpu["cores"], cpu["threads"]
        struct.pack_into("<HHH", p[1], 0x2A, cpu["cores"], cpu["cores"], cpu["threads"])
        procs.append(p)
    s[at:at + 1] = procs
    array = next(x for x in s if x[0] == 16)
    struct.pack_into("<I", array[1], 7, memory["max_gib"] << 20)
    struct.pack_into("<H", array[1], 0x0D, memory["slots"])
    dimms = [x for x in s if x[0] == 17]
    at = s.index(dimms[0])
    s = [x for x in s if x[0] != 17]
    template = dimms[0][1]
    new = []
    for slot in range(memory["slots"]):
        d = bytearray(template)
        struct.pack_into("<H", d, 2, handle)
        handle += 1
        size, mtype, speed, maker, part = memory["modules"].get(slot, (0, 0x02, 0, "Not Specified", "Not Specified"))
        # 32 GiB and more do not fit the size field: 0x7FFF there, the size in the extended field.
        struct.pack_into("<H", d, 0x0C, min(size, 0x7FFF))
        struct.pack_into("<I", d, 0x1C, size if size >= 0x7FFF else 0)
        d[0x12] = mtype
        struct.pack_into("<H", d, 0x15, speed)
        struct.pack_into("<H", d, 0x20, speed)
        serial = "%08X" % (0x1A2B3C00 + slot) if size else "Not Specified"
        new.append([17, d, ["DIMM_%s%d" % ("ABCDEFGH"[slot // 2 % 8], slot % 2 + 1), "BANK %d" % slot, maker,
                            serial, "Not Specified", part]])
    s[at:at] = new
    table = b""
    for typ, formatted, strs in s:
        table += bytes(formatted) + (b"".join(x.encode() + b"\0" for x in strs) + b"\0" if strs else b"\0\0")
    ep = bytearray(struct.pack("<5sBBBBBBBIQ", b"_SM3_", 0, 0x18, 3, 4, 0, 1, 0, len(table), 0))
    ep[5] = (-sum(ep)) & 0xFF
    return table, bytes(ep)


def utmp(entries):
    data = b""
    for (typ, line, user) in entries:
        rec = bytearray(384)
        struct.pack_into("<hxxi32s4s32s", rec, 0, typ, 1000, line.encode(), b"", user.encode())
        data += bytes(rec)
    return data


def input_block(bus, vendor, product, name, sysfs, handlers, bitmaps):
    text = "I: Bus=%04x Vendor=%04x Product=%04x Version=0111\nN: Name=\"%s\"\nP: Phys=\nS: Sysfs=%s\nU: Uniq=\nH: Handlers=%s \n" % (
        bus, vendor, product, name, sysfs, handlers)
    for k, v in bitmaps:
        text += "B: %s=%s\n" % (k, v)
    return text + "\n"


# Esc…F10 (1..68), F11/F12 (87, 88): all of bits 1-63 and 87/88 set.
KBD_KEYS = "1 0 180001f fffffffffffffffe"
MOUSE_KEYS = "1f0000 0 0 0 0"        # BTN_LEFT … BTN_EXTRA (5 buttons)
TOUCHPAD_KEYS = "6420 30000 0 0 0 0"  # BTN_LEFT, BTN_RIGHT, tool bits
LID_KEYS = ""


def laptop():
    m = Machine("laptop")
    m.common("lt-zhang", "Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux", "6.1.0-18-amd64",
             debian_version="12.11")
    m.zone("Asia/Shanghai")
    m.probe("uid", "1000\n")
    m.probe("stat", "/ 1700000000 1765000000\n/etc/machine-id 0 1700000300\n")
    m.probe("listening", "tcp 22\ntcp 631\n")
    m.probe("addresses", "lo inet 127.0.0.1/8\nlo inet6 ::1/128\nwlp0s20f3 inet 192.168.1.23/24\n"
            "wlp0s20f3 inet6 fe80::1e2:3ff:fe44:5566/64\n")
    m.processes(25)
    m.cpus(1, 4, 2, "11th Gen Intel(R) Core(TM) i7-1165G7 @ 2.80GHz", "GenuineIntel", 6, 140, 1, 1197.621,
           "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush dts acpi mmx fxsr sse sse2 ss ht tm pbe lm",
           [(0, 1, "Data", "48K", "core"), (1, 1, "Instruction", "32K", "core"), (2, 2, "Unified", "1280K", "core"),
            (3, 3, "Unified", "12288K", "package")])
    m.write("/sys/devices/system/cpu/cpu0/cpufreq/base_frequency", "2800000\n")
    for cpu in range(8):
        m.write("/sys/devices/system/cpu/cpu%d/cpufreq/scaling_cur_freq" % cpu, "%d\n" % (1200000 + cpu * 100000))
    for k, v in {"sys_vendor": "LENOVO", "product_name": "20XW0055CD", "board_vendor": "LENOVO",
                 "board_name": "20XW0055CD", "board_version": "SDK0J40697 WIN", "bios_vendor": "LENOVO",
                 "bios_version": "N32ET75W (1.51 )", "bios_date": "07/11/2023", "bios_release": "1.51"}.items():
        m.write("/sys/class/dmi/id/" + k, v + "\n")
    m.write("/run/udev/data/+dmi:id", "E:MEMORY_ARRAY_LOCATION=System Board Or Motherboard\n"
            "E:MEMORY_ARRAY_MAX_CAPACITY=34359738368\nE:MEMORY_ARRAY_NUM_DEVICES=2\n"
            "E:MEMORY_DEVICE_0_SIZE=8589934592\nE:MEMORY_DEVICE_0_TYPE=DDR4\nE:MEMORY_DEVICE_0_SPEED_MTS=3200\n"
            "E:MEMORY_DEVICE_0_MANUFACTURER=Samsung\nE:MEMORY_DEVICE_0_LOCATOR=ChannelA-DIMM0\nE:MEMORY_DEVICE_0_PRESENT=1\n"
            "E:MEMORY_DEVICE_1_SIZE=8589934592\nE:MEMORY_DEVICE_1_TYPE=DDR4\nE:MEMORY_DEVICE_1_SPEED_MTS=3200\n"
            "E:MEMORY_DEVICE_1_MANUFACTURER=Samsung\nE:MEMORY_DEVICE_1_LOCATOR=ChannelB-DIMM0\nE:MEMORY_DEVICE_1_PRESENT=1\n")
    m.write("/etc/default/locale", "LANG=zh_CN.UTF-8\n")
    m.write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\ndaemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
            "zhang:x:1000:1000:Zhang Wei,,,:/home/zhang:/bin/bash\nnobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n")
    m.link("/etc/systemd/system/default.target", "/lib/systemd/system/graphical.target")
    m.write("/lib/systemd/system/graphical.target", "[Unit]\n")
    m.write("/proc/cmdline", "BOOT_IMAGE=/vmlinuz-6.1.0-18-amd64 root=/dev/mapper/vg-root ro quiet splash\n")
    m.write("/proc/self/mountinfo", "22 1 253:1 / / rw,relatime shared:1 - ext4 /dev/mapper/vg-root rw\n"
            "23 22 259:1 / /boot/efi rw - vfat /dev/nvme0n1p1 rw\n")
    m.write("/run/systemd/seats/seat0", "IS_SEAT0=1\nCAN_GRAPHICAL=1\nACTIVE=2\nACTIVE_UID=1000\nSESSIONS=2\n")
    m.write("/run/systemd/sessions/2", "UID=1000\nUSER=zhang\nACTIVE=1\nSEAT=seat0\nTYPE=wayland\n")
    m.write("/boot/loader/entries/debian-6.1.0-18.conf", "title Debian GNU/Linux 12\nlinux /vmlinuz-6.1.0-18-amd64\n")
    m.write("/boot/loader/entries/debian-6.1.0-17.conf", "title      Debian GNU/Linux 12 (6.1.0-17)\n")
    # Intel Tiger Lake: graphics, Wi-Fi, sound, xHCI, NVMe.
    gpu = m.pci("0000:00:02.0", 0x8086, 0x9a49, 0x030000, "i915")
    m.link("/sys/class/drm/card0", gpu + "/drm/card0")
    m.link(gpu + "/drm/card0/device", gpu)
    m.write(gpu + "/drm/card0/card0-eDP-1/status", "connected\n")
    m.write(gpu + "/drm/card0/card0-eDP-1/modes", "1920x1080\n1680x1050\n")
    m.write(gpu + "/drm/card0/card0-eDP-1/edid", tool("make-edid-fixture.py", "LEN"), binary=True)
    m.write(gpu + "/drm/card0/card0-HDMI-A-1/status", "disconnected\n")
    m.link("/sys/class/drm/card0-eDP-1", gpu + "/drm/card0/card0-eDP-1")
    m.link("/sys/class/drm/card0-HDMI-A-1", gpu + "/drm/card0/card0-HDMI-A-1")
    wifi = m.pci("0000:00:14.3", 0x8086, 0xa0f0, 0x028000, "iwlwifi")
    m.net("wlp0s20f3", "f0:9e:4a:12:34:56", 3, device=wifi, kind="wlan", wireless=True)
    m.net("lo", "00:00:00:00:00:00", 1, typ=772, flags=0x9)
    m.write("/var/lib/NetworkManager/internal-5c9a8e2e-wlp0s20f3.lease",
            "# This is private data. Do not parse.\nADDRESS=192.168.1.23\nNETMASK=255.255.255.0\nROUTER=192.168.1.1\n"
            "SERVER_ADDRESS=192.168.1.1\nDOMAINNAME=home.lan\n")
    m.write("/proc/net/route", "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "wlp0s20f3\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
            "wlp0s20f3\t0001A8C0\t00000000\t0001\t0\t0\t600\t00FFFFFF\t0\t0\t0\n")
    snd = m.pci("0000:00:1f.3", 0x8086, 0xa0c8, 0x040100, "snd_hda_intel")
    m.write("/proc/asound/cards", " 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n                      HDA Intel PCH at 0x6001238000 irq 159\n")
    m.link("/sys/class/sound/card0/device", snd)
    m.write("/proc/asound/card0/codec#0", "Codec: Realtek ALC287\nAddress: 0\nVendor Id: 0x10ec0287\n")
    m.write("/proc/asound/card0/codec#2", "Codec: Intel Tigerlake HDMI\nAddress: 2\nVendor Id: 0x80862812\n")
    xhci = m.pci("0000:00:14.0", 0x8086, 0xa0ed, 0x0c0330, "xhci_hcd")
    m.root_hub(xhci, 1, 12, "480", unused=(5, 6, 7, 8, 11, 12))
    m.root_hub(xhci, 2, 4, "10000")
    nvme = m.pci("0000:04:00.0", 0x144d, 0xa80a, 0x010802, "nvme")
    m.block("nvme0n1", nvme + "/nvme/nvme0", 1000215216, model="SAMSUNG MZVL2512HCJQ-00BL7", partitions=3)
    m.virtual_block("dm-0", 976773120)
    m.virtual_block("loop0", 0)
    m.virtual_block("zram0", 8388608)
    bat = "/sys/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0A:00/power_supply/BAT0"
    for k, v in {"type": "Battery", "model_name": "5B10W13930", "manufacturer": "SMP", "voltage_min_design": "11520000",
                 "energy_full_design": "57000000"}.items():
        m.write(bat + "/" + k, v + "\n")
    m.link("/sys/class/power_supply/BAT0", bat)
    ac = "/sys/devices/LNXSYSTM:00/LNXSYBUS:00/ACPI0003:00/power_supply/AC"
    m.write(ac + "/type", "Mains\n")
    m.link("/sys/class/power_supply/AC", ac)
    mb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/0003:046D:4082.0002/power_supply/hidpp_battery_0"
    m.write(mb + "/type", "Battery\n")
    m.write(mb + "/scope", "Device\n")
    m.write(mb + "/model_name", "MX Anywhere 3\n")
    m.link("/sys/class/power_supply/hidpp_battery_0", mb)
    m.write("/proc/bus/input/devices",
            input_block(0x19, 0, 5, "Lid Switch", "/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0D:00/input/input0", "event0", [("EV", "21"), ("SW", "1")]) +
            input_block(0x19, 0, 1, "Power Button", "/devices/LNXSYSTM:00/LNXPWRBN:00/input/input2", "kbd event2", [("EV", "3"), ("KEY", "10000000000000 0")]) +
            input_block(0x11, 1, 1, "AT Translated Set 2 keyboard", "/devices/platform/i8042/serio0/input/input3", "sysrq kbd leds event3",
                        [("EV", "120013"), ("KEY", KBD_KEYS)]) +
            input_block(0x18, 0x6cb, 0xcdd6, "SYNA8004:00 06CB:CDD6 Touchpad", "/devices/pci0000:00/0000:00:15.0/i2c_designware.0/i2c-1/i2c-SYNA8004:00/0018:06CB:CDD6.0001/input/input8",
                        "mouse0 event8", [("EV", "1b"), ("KEY", TOUCHPAD_KEYS), ("ABS", "2e0800000000003")]) +
            input_block(0x19, 0, 6, "Video Bus", "/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/LNXVIDEO:00/input/input9", "kbd event9",
                        [("EV", "3"), ("KEY", "3e000b00000000 0 0 0")]))
    id_files(m, pci={(0x8086, 0x9a49), (0x8086, 0xa0f0), (0x8086, 0xa0c8), (0x8086, 0xa0ed), (0x144d, 0xa80a), 0x10ec},
             usb={0x1d6b}, pnp={"LEN"})
    m.write("/etc/printcap", "# This file was automatically generated by cupsd(8) from the\n# /etc/cups/printers.conf file.\n"
            "Office_HP|HP LaserJet Pro M404:rm=lt-zhang:rp=Office_HP:\n")
    # The scheduler knows a queue added a moment ago that its printcap does not list yet.
    m.probe("printers", "device for Label_Zebra: usb://Zebra%20Technologies/ZTC%20GK420d?serial=28J1\n"
            "device for Office_HP: ipp://192.168.1.40/ipp/print\n")


def server():
    m = Machine("server")
    m.common("db01", "Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux", "6.1.0-18-amd64",
             mem_total=263842104, mem_avail=201234567, swap=0, debian_version="12.9")
    m.zone("Asia/Shanghai", how="copy")
    m.probe("uid", "0\n")
    m.probe("stat", "/ 1690000000 1765000000\n/lost+found 0 1690000010\n")
    m.probe("listening", "tcp 22\ntcp 5432\ntcp 445\ntcp 2049\n")
    m.probe("addresses", "lo inet 127.0.0.1/8\nbond0 inet 10.20.0.15/24\nbond0.100 inet 10.100.0.15/22\n"
            "bond0 inet6 2001:db8:20::15/64\nbond0 inet6 fe80::3efd:feff:fe01:a0/64\ndocker0 inet 172.17.0.1/16\n")
    m.processes(64)
    m.cpus(2, 8, 2, "Intel(R) Xeon(R) Silver 4215R CPU @ 3.20GHz", "GenuineIntel", 6, 85, 7, 3200.0,
           "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush dts acpi mmx fxsr sse sse2 ss ht tm pbe lm",
           [(0, 1, "Data", "32K", "core"), (1, 1, "Instruction", "32K", "core"), (2, 2, "Unified", "1024K", "core"),
            (3, 3, "Unified", "11264K", "package")])
    # Two Xeon Silver 4215R; eight 32 GiB RDIMMs in sixteen slots.
    table, ep = smbios_for(dict(sockets=2, eax=0x50657, edx=0xBFEBFBFF, family=0xB3, maker="Intel(R) Corporation",
                                name="Intel(R) Xeon(R) Silver 4215R CPU @ 3.20GHz", socket="CPU%d", cores=8, threads=16,
                                mhz=3200, max_mhz=4000, caches_kb=(512, 8192, 11264)),
                           dict(max_gib=1024, slots=16,
                                modules={i: (32768, 0x1A, 2400, "Samsung", "M393A4K40CB2-CTD") for i in range(0, 16, 2)}),
                           drop={22})
    m.write("/sys/firmware/dmi/tables/DMI", table, binary=True)
    m.write("/sys/firmware/dmi/tables/smbios_entry_point", ep, binary=True)
    for k, v in {"sys_vendor": "Example Corp", "product_name": "Model X100", "board_vendor": "Example Boards Inc.",
                 "board_name": "XB-550", "board_version": "Rev 1.02", "board_serial": "BOARD-SN-42",
                 "bios_vendor": "Example BIOS Vendor", "bios_version": "FX1.23", "bios_date": "03/15/2024"}.items():
        m.write("/sys/class/dmi/id/" + k, v + "\n")
    m.write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\npostgres:x:106:113:PostgreSQL administrator:/var/lib/postgresql:/bin/bash\n"
            "ops:x:1000:1000:Ops:/home/ops:/bin/bash\nlegacy:x:1001:1001::/home/legacy:/bin/bash\n"
            "svc-backup:x:1002:1002::/home/svc-backup:/bin/sh\n")
    m.write("/etc/shadow", "root:$y$j9T$abc:19700:0:99999:7:::\npostgres:*:19700:0:99999:7:::\n"
            "ops:$y$j9T$def:19700:0:99999:7:::\nlegacy:!$y$j9T$ghi:19700:0:99999:7:::\nsvc-backup:$y$j9T$jkl:19700:0:99999:7::20000:\n")
    m.write("/etc/samba/smb.conf", "[global]\n   workgroup = corp\n   security = ads\n   realm = CORP.EXAMPLE.COM\n\n"
            "[homes]\n   browseable = no\n\n[backup]\n   path = /srv/backup\n   read only = no\n")
    m.write("/etc/exports", "# NFS\n/srv/nfs/data   10.20.0.0/24(rw,sync)\n\"/srv/nfs/with space\" *(ro)\n")
    m.write("/etc/krb5.keytab", "\x05\x02", binary=False)
    m.write("/etc/krb5.conf", "[libdefaults]\n    default_realm = CORP.EXAMPLE.COM\n")
    m.link("/etc/systemd/system/default.target", "/lib/systemd/system/multi-user.target")
    m.write("/lib/systemd/system/multi-user.target", "[Unit]\n")
    m.write("/proc/cmdline", "BOOT_IMAGE=/vmlinuz-6.1.0-18-amd64 root=UUID=1234 ro console=ttyS0\n")
    m.write("/proc/self/mountinfo", "21 1 8:2 / / rw,relatime - xfs /dev/sda2 rw\n")
    m.write("/run/utmp", utmp([(2, "~", "reboot"), (7, "pts/0", "ops"), (7, "pts/1", "ops")]), binary=True)
    m.write("/boot/grub/grub.cfg", "menuentry 'Debian GNU/Linux' --class debian {\n}\n"
            "submenu 'Advanced options for Debian GNU/Linux' {\n"
            "\tmenuentry 'Debian GNU/Linux, with Linux 6.1.0-18-amd64 (recovery mode)' {\n\t}\n}\n")
    # Two Intel ports bonded, a VLAN on the bond, a container bridge with a veth.
    eno1 = m.pci("0000:18:00.0", 0x8086, 0x1521, 0x020000, "igb", "/sys/devices/pci0000:17")
    eno2 = m.pci("0000:18:00.1", 0x8086, 0x1521, 0x020000, "igb", "/sys/devices/pci0000:17")
    m.net("eno1", "3c:fd:fe:01:00:a0", 2, device=eno1, flags=0x1803)
    m.net("eno2", "3c:fd:fe:01:00:a0", 3, device=eno2, flags=0x1803)
    m.net("bond0", "3c:fd:fe:01:00:a0", 4, kind="bond", lowers=("eno1", "eno2"), flags=0x1403)
    m.net("bond0.100", "3c:fd:fe:01:00:a0", 5, kind="vlan", lowers=("bond0",))
    m.net("docker0", "02:42:5f:8a:11:01", 6, kind="bridge", lowers=("veth1a2b3c",))
    m.net("veth1a2b3c", "8a:1b:2c:3d:4e:5f", 7, lowers=())
    m.net("lo", "00:00:00:00:00:00", 1, typ=772, flags=0x9)
    m.write("/etc/resolv.conf", "search corp.example.com\nnameserver 10.20.0.2\n")
    m.write("/proc/net/route", "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "bond0\t00000000\t0100140A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n")
    m.write("/proc/net/ipv6_route", "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
            "20010db8002000000000000000000001 00000400 00000001 00000000 00000003    bond0\n")
    # Disks: four SATA disks behind an AHCI controller, two NVMe disks, device-mapper and md.
    ahci = m.pci("0000:00:17.0", 0x8086, 0xa182, 0x010601, "ahci")
    for i, letter in enumerate("abcd"):
        host = "%s/ata%d/host%d/target%d:0:0/%d:0:0:0" % (ahci, i + 1, i, i, i)
        m.block("sd" + letter, host, 7814037168 if i else 937703088, model="ST4000NM0035-1V4107" if i else "INTEL SSDSC2KB480G8",
                vendor="ATA", partitions=2 if i == 0 else 1, scsi_type=0)
    for i in range(2):
        nv = m.pci("0000:5e:00.%d" % i, 0x144d, 0xa808, 0x010802, "nvme", "/sys/devices/pci0000:5d")
        m.block("nvme%dn1" % i, nv + "/nvme/nvme%d" % i, 7501476528, model="SAMSUNG MZQL23T8HCLS-00A07")
    m.virtual_block("md0", 23441690624)
    m.virtual_block("dm-0", 3750748848)
    # A BMC's VGA function stays; no monitor is connected.
    vga = m.pci("0000:03:00.0", 0x1a03, 0x2000, 0x030000, "ast", "/sys/devices/pci0000:00/0000:00:1c.0")
    m.link("/sys/class/drm/card0", vga + "/drm/card0")
    m.link(vga + "/drm/card0/device", vga)
    m.write(vga + "/drm/card0/card0-VGA-1/status", "disconnected\n")
    m.link("/sys/class/drm/card0-VGA-1", vga + "/drm/card0/card0-VGA-1")
    xhci = m.pci("0000:00:14.0", 0x8086, 0xa1af, 0x0c0330, "xhci_hcd")
    m.root_hub(xhci, 1, 16, "480")
    m.root_hub(xhci, 2, 10, "5000")
    id_files(m, pci={(0x8086, 0x1521), (0x144d, 0xa808), (0x1a03, 0x2000), (0x8086, 0xa1af)})
    m.write("/proc/bus/input/devices", input_block(0x19, 0, 1, "Power Button", "/devices/LNXSYSTM:00/LNXPWRBN:00/input/input0",
                                                   "kbd event0", [("EV", "3"), ("KEY", "10000000000000 0")]))


def desktop():
    m = Machine("desktop")
    m.common("DESKTOP-LI", "Ubuntu 22.04.4 LTS", "Ubuntu", "5.15.0-105-generic", mem_total=32803208, mem_avail=28000000,
             version_id="22.04", distro="ubuntu", debian_version="bookworm/sid")
    m.zone("Asia/Shanghai")
    m.probe("uid", "0\n")
    m.probe("stat", "/ 0 1765000000\n/var/log/installer 0 1650000000\n/lost+found 0 1649990000\n")
    m.probe("listening", "tcp 3389\ntcp 631\n")
    m.probe("addresses", "lo inet 127.0.0.1/8\nenp3s0 inet 192.168.10.50/24\nenp3s0 inet6 fe80::2d8:61ff:fe12:3456/64\n")
    m.processes(30)
    m.cpus(1, 6, 2, "AMD Ryzen 5 5600X 6-Core Processor", "AuthenticAMD", 25, 33, 0, 3700.0,
           "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush mmx fxsr sse sse2 ht lm",
           [(0, 1, "Data", "32K", "core"), (1, 1, "Instruction", "32K", "core"), (2, 2, "Unified", "512K", "core"),
            (3, 3, "Unified", "32768K", "package")])
    # A Ryzen 5 5600X; two 16 GiB DIMMs in the second slot of each channel.
    table, ep = smbios_for(dict(sockets=1, eax=0xA20F10, edx=0x178BFBFF, family=0x6B, maker="Advanced Micro Devices, Inc.",
                                name="AMD Ryzen 5 5600X 6-Core Processor", socket="AM4", cores=6, threads=12, mhz=3700,
                                max_mhz=4650, caches_kb=(384, 3072, 32768)),
                           dict(max_gib=128, slots=4,
                                modules={i: (16384, 0x1A, 3200, "Kingston", "KF432C16BB/16") for i in (1, 3)}),
                           drop={22})
    m.write("/sys/firmware/dmi/tables/DMI", table, binary=True)
    m.write("/sys/firmware/dmi/tables/smbios_entry_point", ep, binary=True)
    m.write("/etc/default/locale", "LANG=\"zh_CN.UTF-8\"\nLANGUAGE=\"zh_CN:zh\"\n")
    m.write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\nli:x:1000:1000:Li Na,,,:/home/li:/bin/bash\n"
            "guest:x:1001:1001::/home/guest:/bin/bash\n")
    m.write("/etc/shadow", "root:!:19700:0:99999:7:::\nli:$6$abc:19700:0:99999:7:::\nguest:*:19700:0:99999:7:::\n")
    m.write("/etc/samba/smb.conf", "[global]\n   workgroup = home\n   server role = standalone server\n\n[printers]\n   path = /var/spool/samba\n\n[公共]\n   path = /srv/public\n")
    m.write("/var/lib/samba/usershares/photos", "path=/home/li/Pictures\ncomment=\nusershare_acl=S-1-1-0:R\nguest_ok=y\n")
    m.link("/etc/systemd/system/display-manager.service", "/lib/systemd/system/gdm3.service")
    m.write("/lib/systemd/system/gdm3.service", "[Unit]\n")
    m.write("/proc/cmdline", "BOOT_IMAGE=/boot/vmlinuz-5.15.0-105-generic root=UUID=abcd ro quiet splash\n")
    m.write("/proc/self/mountinfo", "28 1 8:2 / / rw,relatime - ext4 /dev/sda2 rw\n"
            "40 28 11:0 / /media/li/UBUNTU\\04022.04 ro - iso9660 /dev/sr0 ro\n")
    m.write("/run/utmp", utmp([(2, "~", "reboot"), (7, "tty2", "li"), (7, "pts/0", "li")]), binary=True)
    m.write("/boot/grub/grub.cfg",
            "set default=0\n"
            "menuentry 'Ubuntu' --class ubuntu --class gnu-linux $menuentry_id_option 'gnulinux-simple-abcd' {\n\tlinux /boot/vmlinuz\n}\n"
            "submenu 'Advanced options for Ubuntu' $menuentry_id_option 'gnulinux-advanced-abcd' {\n"
            "\tmenuentry 'Ubuntu, with Linux 5.15.0-105-generic' --class ubuntu {\n\t}\n"
            "\tmenuentry 'Ubuntu, with Linux 5.15.0-105-generic (recovery mode)' {\n\t}\n}\n"
            "menuentry 'Windows Boot Manager (on /dev/sda1)' --class windows $menuentry_id_option 'osprober-efi' {\n}\n"
            "menuentry \"Li's \\\"test\\\" entry\" {\n}\n"
            "menuentry 'It'\\''s UEFI Firmware Settings' $menuentry_id_option 'uefi-firmware' {\n\tfwsetup\n}\n")
    m.write("/etc/cups/printers.conf",
            "# Printer configuration file for CUPS v2.4.1\n<DefaultPrinter HP_LaserJet_M404>\nUUID urn:uuid:1\n"
            "Info HP LaserJet Pro M404\nDeviceURI usb://HP/LaserJet%20Pro%20M404-M405?serial=PHBBB12345\nState Idle\nShared Yes\n</DefaultPrinter>\n"
            "<Printer PDF>\nDeviceURI cups-pdf:/\nShared No\n</Printer>\n"
            "<Printer Microsoft Office Document Image Writer>\nDeviceURI file:///dev/null\nShared No\n</Printer>\n")
    # Realtek NIC with a dhclient lease, AMD graphics with a monitor, HDA sound, EHCI + xHCI, SATA disk and DVD writer.
    nic = m.pci("0000:03:00.0", 0x10ec, 0x8168, 0x020000, "r8169", "/sys/devices/pci0000:00/0000:00:02.1")
    m.net("enp3s0", "00:d8:61:12:34:56", 2, device=nic)
    m.net("lo", "00:00:00:00:00:00", 1, typ=772, flags=0x9)
    m.net("virbr0", "52:54:00:aa:bb:cc", 3, kind="bridge", flags=0x1003)
    m.write("/var/lib/dhcp/dhclient.enp3s0.leases",
            "lease {\n  interface \"enp3s0\";\n  fixed-address 192.168.10.49;\n  option dhcp-server-identifier 192.168.10.1;\n}\n"
            "lease {\n  interface \"enp3s0\";\n  fixed-address 192.168.10.50;\n  option subnet-mask 255.255.255.0;\n"
            "  option routers 192.168.10.1;\n  option dhcp-server-identifier 192.168.10.1;\n  option domain-name \"lan.example\";\n"
            "  option netbios-name-servers 192.168.10.2, 192.168.10.3;\n  renew 4 2026/12/10 01:02:03;\n}\n")
    m.write("/proc/net/route", "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "enp3s0\t00000000\t010AA8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n")
    gpu = m.pci("0000:0a:00.0", 0x1002, 0x73ff, 0x030000, "amdgpu", "/sys/devices/pci0000:00/0000:00:03.1")
    m.write(gpu + "/mem_info_vram_total", "8573157376\n")
    m.link("/sys/class/drm/card0", gpu + "/drm/card0")
    m.link(gpu + "/drm/card0/device", gpu)
    m.write(gpu + "/drm/card0/card0-DP-1/status", "connected\n")
    m.write(gpu + "/drm/card0/card0-DP-1/modes", "1920x1200\n1920x1080\n")
    m.write(gpu + "/drm/card0/card0-DP-1/edid", tool("make-edid-fixture.py", "DEL"), binary=True)
    m.link("/sys/class/drm/card0-DP-1", gpu + "/drm/card0/card0-DP-1")
    snd = m.pci("0000:0c:00.4", 0x1022, 0x1487, 0x040300, "snd_hda_intel", "/sys/devices/pci0000:00/0000:00:08.1")
    m.write("/proc/asound/cards", " 0 [Generic        ]: HDA-Intel - HD-Audio Generic\n                      HD-Audio Generic at 0xfc900000 irq 90\n"
            " 1 [Headset        ]: USB-Audio - USB Headset\n                      Logitech USB Headset at usb-0000:0c:00.3-4, full speed\n")
    m.link("/sys/class/sound/card0/device", snd)
    m.write("/proc/asound/card0/codec#0", "Codec: Realtek ALC1220\nAddress: 0\nVendor Id: 0x10ec1220\n")
    xhci = m.pci("0000:0c:00.3", 0x1022, 0x149c, 0x0c0330, "xhci_hcd", "/sys/devices/pci0000:00/0000:00:08.1")
    hub1 = m.root_hub(xhci, 1, 6, "480")
    m.root_hub(xhci, 2, 4, "10000")
    ehci = m.pci("0000:00:1d.0", 0x8086, 0x1e26, 0x0c0320, "ehci-pci")
    m.pci("0000:00:1a.0", 0x1b21, 0x1234, 0x0c0320, "ehci-pci")
    kb = m.usb(hub1, "1-1", 0x046d, 0xc31c, "Logitech", "USB Keyboard", "1.5")
    mouse = m.usb(hub1, "1-2", 0x046d, 0xc077, "Logitech", "USB Optical Mouse", "1.5")
    head = m.usb(hub1, "1-4", 0x046d, 0x0a44, "Logitech", "Logitech USB Headset", "12")
    m.write(head + "/1-4:1.0/bInterfaceClass", "01\n")
    m.link("/sys/class/sound/card1/device", head + "/1-4:1.0")
    ahci = m.pci("0000:02:00.1", 0x1022, 0x43c8, 0x010601, "ahci", "/sys/devices/pci0000:00/0000:00:01.2")
    m.block("sda", ahci + "/ata1/host0/target0:0:0/0:0:0:0", 1953525168, model="Samsung SSD 870 EVO 1TB", vendor="ATA",
            partitions=3, scsi_type=0)
    m.block("sr0", ahci + "/ata2/host1/target1:0:0/1:0:0:0", 0, model="DVD-RAM GH24NSD1", vendor="HL-DT-ST",
            removable=1, scsi_type=5)
    usbdisk = m.usb(hub1, "1-3", 0x0781, 0x5581, "SanDisk", "Ultra", "480")
    m.block("sdb", usbdisk + "/1-3:1.0/host6/target6:0:0/6:0:0:0", 60063744, model="Ultra", vendor="SanDisk",
            removable=1, partitions=1, scsi_type=0)
    m.block("sdc", usbdisk + "/1-3:1.0/host7/target7:0:0/7:0:0:0", 0, model="SD/MMC", vendor="Generic-",
            removable=1, scsi_type=0)
    id_files(m, pci={(0x10ec, 0x8168), (0x1002, 0x73ff), (0x1022, 0x1487), (0x1022, 0x149c), (0x8086, 0x1e26), (0x1b21, 0x1234)},
             usb={0x046d, 0x0781}, pnp={"DEL"})
    m.write("/proc/sys/dev/cdrom/info", "CD-ROM information, Id: cdrom.c 3.20 2003/12/17\n\ndrive name:\t\tsr0\n"
            "drive speed:\t\t48\nCan write CD-R:\t\t1\nCan write CD-RW:\t1\nCan read DVD:\t\t1\nCan write DVD-R:\t\t1\nCan write DVD-RAM:\t1\n")
    m.write("/proc/bus/input/devices",
            input_block(0x19, 0, 1, "Power Button", "/devices/LNXSYSTM:00/LNXPWRBN:00/input/input0", "kbd event0", [("EV", "3"), ("KEY", "10000000000000 0")]) +
            input_block(0x03, 0x46d, 0xc31c, "Logitech USB Keyboard", "/devices/pci0000:00/0000:00:08.1/0000:0c:00.3/usb1/1-1/1-1:1.0/0003:046D:C31C.0001/input/input3",
                        "sysrq kbd leds event3", [("EV", "120013"), ("KEY", KBD_KEYS)]) +
            input_block(0x03, 0x46d, 0xc077, "Logitech USB Optical Mouse", "/devices/pci0000:00/0000:00:08.1/0000:0c:00.3/usb1/1-2/1-2:1.0/0003:046D:C077.0002/input/input4",
                        "mouse0 event4", [("EV", "17"), ("KEY", MOUSE_KEYS), ("REL", "903")]))


def minimal():
    m = Machine("minimal")
    m.common("ci-runner-7", "Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux", "6.1.0-18-cloud-amd64",
             mem_total=2010676, mem_avail=1500000, swap=0, offset=0)
    m.probe("uid", "1000\n")
    m.probe("stat", "/ 0 0\n/etc/machine-id 0 0\n")
    m.probe("listening", "")
    m.probe("addresses", "lo inet 127.0.0.1/8\neth0 inet 10.0.2.15/24\n")
    m.processes(9)
    m.write("/proc/cpuinfo", "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
            "model name\t: Intel Xeon Processor (Cascadelake)\nstepping\t: 7\ncpu MHz\t\t: 2199.998\nflags\t\t: fpu vme de pse tsc msr pae lm hypervisor\n\n")
    m.write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\nrunner:x:1000:1000::/home/runner:/bin/sh\n")
    nic = m.pci("0000:00:03.0", 0x1af4, 0x1000, 0x020000, "virtio-pci")
    m.net("eth0", "52:54:00:12:34:56", 2, device=nic + "/virtio0")
    m.net("lo", "00:00:00:00:00:00", 1, typ=772, flags=0x9)
    m.net("tun0", "", 3, typ=65534, flags=0x1091)
    blk = m.pci("0000:00:04.0", 0x1af4, 0x1001, 0x010000, "virtio-pci")
    m.block("vda", blk + "/virtio1", 41943040, partitions=1)
    m.write(blk + "/virtio1/vendor", "0x1af4\n")
    id_files(m, pci={(0x1af4, 0x1000), (0x1af4, 0x1001)})


def microvm():
    """A micro virtual machine under KVM: no firmware table, no PCI, virtio devices on MMIO, its
    memory only in the kernel's memory blocks. Its zone comes from TZ (Berlin, on winter time now;
    it was installed and booted on summer time)."""
    m = Machine("microvm")
    m.common("fc-worker-3", "Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux", "6.1.0-28-cloud-amd64",
             mem_total=2013380, mem_avail=1700000, swap=0, offset=3600, btime=1761400000, debian_version="12.8")
    m.probe("zone", "Europe/Berlin\n")
    m.probe("uid", "0\n")
    m.probe("stat", "/ 1751328000 1765000000\n")
    m.probe("listening", "tcp 22\n")
    m.probe("addresses", "lo inet 127.0.0.1/8\neth0 inet 172.16.0.2/30\n")
    m.processes(12)
    m.cpus(1, 2, 1, "Intel(R) Xeon(R) Platinum 8259CL CPU @ 2.50GHz", "GenuineIntel", 6, 85, 7, 2499.998,
           "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush mmx fxsr sse sse2 ss ht lm hypervisor",
           [(0, 1, "Data", "32K", "core"), (1, 1, "Instruction", "32K", "core"), (2, 2, "Unified", "1024K", "core"),
            (3, 3, "Unified", "36608K", "package")])
    m.memory_blocks(16)  # 2 GiB
    m.write("/sys/devices/system/clocksource/clocksource0/available_clocksource", "kvm-clock tsc acpi_pm \n")
    m.write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\n")
    m.write("/etc/shadow", "root:*:19700:0:99999:7:::\n")
    m.write("/proc/cmdline", "console=ttyS0 reboot=k panic=1 pci=off root=/dev/vda rw virtio_mmio.device=4K@0xd0000000:5\n")
    m.write("/proc/self/mountinfo", "18 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n")
    for n, (kind, dev) in enumerate((("net", "00000001"), ("block", "00000002"))):
        d = "/sys/devices/platform/virtio-mmio.%d/virtio%d" % (n, n)
        m.write(d + "/device", "0x%s\n" % dev[-4:])
        m.write(d + "/vendor", "0x554d4551\n")
        m.link("/sys/bus/virtio/devices/virtio%d" % n, d)
    m.net("eth0", "06:00:ac:10:00:02", 2, device="/sys/devices/platform/virtio-mmio.0/virtio0")
    m.net("lo", "00:00:00:00:00:00", 1, typ=772, flags=0x9)
    m.block("vda", "/sys/devices/platform/virtio-mmio.1/virtio1", 8388608)
    m.write("/proc/net/route", "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "eth0\t00000000\t010010AC\t0003\t0\t0\t0\t00000000\t0\t0\t0\n")


def armvm():
    """An arm64 guest on QEMU's virt board started with a device tree: no firmware table, no
    memory blocks (MemTotal rounded up to the block size), virtio devices on PCI. It runs in New
    York: installed on summer time (UTC-4), now on winter time (UTC-5)."""
    m = Machine("armvm")
    m.common("arm-build-1", "Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux", "6.1.0-28-arm64", machine="aarch64",
             mem_total=4010304, mem_avail=3500000, swap=0, offset=-18000, debian_version="12.8")
    m.zone("America/New_York")
    m.probe("uid", "1000\n")
    m.probe("stat", "/ 1752000000 1765000000\n")
    m.probe("listening", "tcp 22\n")
    m.probe("addresses", "lo inet 127.0.0.1/8\nenp0s1 inet 10.0.2.15/24\n")
    m.processes(20)
    text = ""
    for cpu in range(4):
        text += ("processor\t: %d\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd evtstrm aes pmull sha1 sha2 crc32 cpuid\n"
                 "CPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\nCPU revision\t: 1\n\n") % cpu
        m.write("/sys/devices/system/cpu/cpu%d/topology/physical_package_id" % cpu, "0\n")
    m.write("/proc/cpuinfo", text)
    m.write("/sys/firmware/devicetree/base/compatible", "linux,dummy-virt\0")
    m.write("/sys/devices/system/clocksource/clocksource0/available_clocksource", "arch_sys_counter \n")
    m.write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\nbuild:x:1000:1000::/home/build:/bin/bash\n")
    m.write("/proc/cmdline", "BOOT_IMAGE=/vmlinuz-6.1.0-28-arm64 root=/dev/vda2 ro\n")
    m.write("/proc/self/mountinfo", "20 1 254:2 / / rw,relatime - ext4 /dev/vda2 rw\n")
    nic = m.pci("0000:00:01.0", 0x1af4, 0x1041, 0x020000, "virtio-pci", "/sys/devices/platform/4010000000.pcie/pci0000:00")
    m.write(nic + "/virtio0/vendor", "0x1af4\n")
    m.link("/sys/bus/virtio/devices/virtio0", nic + "/virtio0")
    m.net("enp0s1", "52:54:00:12:34:57", 2, device=nic)
    m.net("lo", "00:00:00:00:00:00", 1, typ=772, flags=0x9)
    blk = m.pci("0000:00:02.0", 0x1af4, 0x1042, 0x010000, "virtio-pci", "/sys/devices/platform/4010000000.pcie/pci0000:00")
    m.write(blk + "/virtio1/vendor", "0x1af4\n")
    m.link("/sys/bus/virtio/devices/virtio1", blk + "/virtio1")
    m.block("vda", blk + "/virtio1", 67108864, partitions=2)
    m.write("/proc/net/route", "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "enp0s1\t00000000\t0202000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n")
    id_files(m, pci={(0x1af4, 0x1041), (0x1af4, 0x1042)})


if __name__ == "__main__":
    for make in (laptop, server, desktop, minimal, microvm, armvm):
        make()
    print("machines written to", OUT)
