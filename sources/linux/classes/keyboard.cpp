// Win32_Keyboard of a Linux machine: the input devices with the keys of a keyboard.

#include "classes.h"

namespace qelto::wmi::lnx {

void addKeyboards(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_Keyboard">::declare(store);
    for (const InputDevice& d : inputDevices(c)) {
        // A keyboard has the keys Esc, 1…0, Q…P among its first 32 (what udev asks of one).
        bool letters = d.hasHandler(u"kbd");
        for (int k = 1; k < 32 && letters; ++k) letters = d.bit(QStringLiteral("KEY"), k);
        if (!letters) continue;
        InstanceBuilder<"Win32_Keyboard"> k(store);
        k.set("Name", textOrNull(d.name));
        k.set("Caption", textOrNull(d.name));
        int fkeys = 0;
        for (int code : {59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 87, 88})
            if (d.bit(QStringLiteral("KEY"), code)) ++fkeys;
        k.set("NumberOfFunctionKeys", qint64(fkeys));
        // Win32_Keyboard has no Manufacturer: reading it fails, as it does on Windows.
    }
}

}  // namespace qelto::wmi::lnx
