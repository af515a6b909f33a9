// Feeds arbitrary bytes to the parsers of the Linux source. The first byte chooses the parser:
// 0 SMBIOS table, 1 EDID block, 2 /proc/cpuinfo, 3 os-release (key=value), 4 GRUB menu,
// 5 dhclient leases, 6 networkd/NetworkManager lease and dhcpcd's DHCP message, 7 input devices,
// 8 printers and ini files, 9 mounts and exports, 10 routes, addresses and ports, 11 accounts,
// 12 utmp and MAC addresses. Every parser must return
// without crashing or hanging, and what it returns must hold together.
#include "sources/linux/edid.h"
#include "sources/linux/parsers.h"
#include "sources/linux/smbios.h"
#include "sources/linux/text.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qelto::wmi::lnx;

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "linux_parsers_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    switch (data[0] % 13) {
        case 0: {
            const auto all = smbios::parseTable(bytes);
            qsizetype total = 0;
            for (const auto& s : all) {
                check(s.formatted.size() >= 4, "a structure shorter than its header");
                total += s.formatted.size();
                for (int offset = 0; offset < 0x60; ++offset) {
                    (void)s.string(offset);
                    (void)s.dword(offset);
                    (void)s.qword(offset);
                }
            }
            check(total <= bytes.size(), "structures larger than the table");
            (void)smbios::entryPointVersion(bytes);
            break;
        }
        case 1:
            if (auto info = edid::parse(bytes))
                check(info->manufacturerId.size() == 3, "a manufacturer id not of 3 letters");
            break;
        case 2:
            for (const auto& b : parseCpuinfo(bytes))
                check(b.contains(QStringLiteral("processor")), "a block without a processor");
            (void)parseMeminfo(bytes);
            break;
        case 3:
            (void)keyValues(bytes);
            (void)keyValues(bytes, u"E:");
            break;
        case 4:
            check(parseGrubMenu(bytes).size() <= 1000, "too many titles");
            (void)parseLoaderEntryTitle(bytes);
            break;
        case 5:
            for (const auto& l : parseDhclientLeases(bytes)) (void)l;
            break;
        case 6:
            (void)parseKeyValueLease(bytes);
            if (auto l = parseDhcpMessage(bytes))
                check(l->netbiosServers.size() <= 64, "too many name servers");
            break;
        case 7:
            for (const auto& d : parseInputDevices(bytes, (size & 1) ? 32 : 64))
                for (int bit = -1; bit < 1100; bit += 7) (void)d.bit(QStringLiteral("KEY"), bit);
            break;
        case 8:
            (void)parsePrintersConf(bytes);
            (void)parsePrintcapNames(bytes);
            for (const auto& q : parseLpstatDevices(bytes))
                check(withoutCredentials(q.deviceUri).size() <= q.deviceUri.size(),
                      "a longer device URI");
            (void)parseIni(bytes);
            break;
        case 9:
            (void)parseMountinfo(bytes);
            (void)parseExports(bytes);
            break;
        case 10:
            (void)parseDefaultGateways(bytes, bytes);
            (void)parseAddresses(bytes);
            (void)parseListeningPorts(bytes);
            break;
        case 11:
            (void)parsePasswd(bytes);
            (void)parseShadowLocked(bytes, 20000);
            break;
        default:
            check(parseUtmp(bytes).size() <= size_t(bytes.size() / 384),
                  "more logins than records");
            (void)macAddress(QString::fromUtf8(bytes));
            break;
    }
    return 0;
}
