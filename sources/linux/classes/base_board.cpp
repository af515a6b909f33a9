// Win32_BaseBoard of a Linux machine, from the firmware table as the kernel shows it.

#include "classes.h"

namespace qelto::wmi::lnx {

void addBaseBoard(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_BaseBoard">::declare(store);
    const auto boards = c.ofType(2);
    const smbios::Structure* b = boards.empty() ? nullptr : boards.front();
    auto pick = [&](const char* dmiName, int offset) {
        Variant v = c.dmi(dmiName);
        if (v.isNull() && b) v = textOrNull(b->string(offset));
        return v;
    };
    const Variant product = pick("board_name", 0x05), maker = pick("board_vendor", 0x04),
                  version = pick("board_version", 0x06), serial = pick("board_serial", 0x07);
    if (!product.isNull() || !maker.isNull() || !version.isNull() || !serial.isNull()) {
        InstanceBuilder<"Win32_BaseBoard"> i(store);
        i.set("Product", product);
        i.set("Manufacturer", maker);
        i.set("Version", version);
        i.set("SerialNumber", serial);
    }
}

}  // namespace qelto::wmi::lnx
