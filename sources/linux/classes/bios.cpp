// Win32_BIOS of a Linux machine, from the firmware table as the kernel shows it.

#include "classes.h"

namespace qelto::wmi::lnx {

void addBios(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_BIOS">::declare(store);
    const auto bioses = c.ofType(0);
    const smbios::Structure* bs = bioses.empty() ? nullptr : bioses.front();
    Variant vendor = c.dmi("bios_vendor"), ver = c.dmi("bios_version"), date = c.dmi("bios_date");
    if (vendor.isNull() && bs) vendor = textOrNull(bs->string(0x04));
    if (ver.isNull() && bs) ver = textOrNull(bs->string(0x05));
    if (date.isNull() && bs) date = textOrNull(bs->string(0x08));
    if (vendor.isNull() && ver.isNull()) return;
    InstanceBuilder<"Win32_BIOS"> i(store);
    i.set("Name", ver);
    i.set("Manufacturer", vendor);
    QString release = c.line(QStringLiteral("/sys/class/dmi/id/bios_release"));
    if (release.isEmpty() && bs && bs->has(0x15, 1) && bs->byte(0x14) != 0xFF)
        release = QStringLiteral("%1.%2").arg(bs->byte(0x14)).arg(bs->byte(0x15));
    const QString tail = !release.isEmpty() ? release
                         : date.isNull()    ? QString()
                                            : date.textValue();
    i.set("Version", vendor.isNull() || tail.isEmpty()
                         ? textOrNull(tail)
                         : Variant(vendor.textValue() + QStringLiteral(" - ") + tail));
    i.set("SMBIOSBIOSVersion", ver);
    Variant language;
    for (const smbios::Structure* s : c.ofType(13)) language = textOrNull(s->string(0x15));
    i.set("CurrentLanguage", language);
    // mm/dd/yyyy -> local midnight of that day, with the offset the machine's zone had then.
    if (!date.isNull()) {
        const QStringList d = date.textValue().split(u'/');
        const QDate day = d.size() == 3 && d[2].size() == 4
                              ? QDate(d[2].toInt(), d[0].toInt(), d[1].toInt())
                              : QDate();
        if (day.isValid()) {
            const int minutes = c.offsetAtMidnight(day) / 60;
            i.set(
                "ReleaseDate",
                Variant(day.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral("000000.000000") +
                        (minutes < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
                        QStringLiteral("%1").arg(qAbs(minutes), 3, 10, QLatin1Char('0'))));
        }
    }
}

}  // namespace qelto::wmi::lnx
