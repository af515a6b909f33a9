// Win32_PortableBattery of a Linux machine: the firmware's table, else the power supplies of
// the system that are batteries.

#include "classes.h"

namespace qelto::wmi::lnx {

void addPortableBatteries(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_PortableBattery">::declare(store);
    const auto table = c.ofType(22);
    if (!table.empty()) {
        for (const smbios::Structure* s : table) {
            const int multiplier = qMax<int>(1, s->byte(0x15, 1));
            InstanceBuilder<"Win32_PortableBattery"> b(store);
            b.set("Description", textOrNull(s->string(0x08)));
            b.set("Name", textOrNull(s->string(0x08)));
            b.set("Manufacturer", textOrNull(s->string(0x05)));
            b.set("CapacityMultiplier", qint64(multiplier));
            b.set("DesignCapacity",
                  s->word(0x0A) ? Variant(qint64(s->word(0x0A)) * multiplier) : Variant());
            b.set("DesignVoltage", s->word(0x0C) ? uint64Text(s->word(0x0C)) : Variant());
        }
        return;
    }
    for (const QString& typePath : c.g.match(QStringLiteral("/sys/class/power_supply/*/type"))) {
        if (c.line(typePath) != u"Battery") continue;
        const QString dir = typePath.left(typePath.size() - 4);
        if (c.line(dir + QStringLiteral("scope")) == u"Device")
            continue;  // a mouse's or keyboard's
        InstanceBuilder<"Win32_PortableBattery"> b(store);
        const Variant model = textOrNull(c.line(dir + QStringLiteral("model_name")));
        b.set("Description", model);
        b.set("Name", model);
        b.set("Manufacturer", textOrNull(c.line(dir + QStringLiteral("manufacturer"))));
        b.set("CapacityMultiplier", qint64(1));
        const auto uv = toUnsigned(c.g.text(dir + QStringLiteral("voltage_min_design")));
        b.set("DesignVoltage", uv && *uv ? uint64Text(*uv / 1000) : Variant());
        std::optional<quint64> mwh;
        if (auto e = toUnsigned(c.g.text(dir + QStringLiteral("energy_full_design"))); e && *e)
            mwh = *e / 1000;
        else if (auto q = toUnsigned(c.g.text(dir + QStringLiteral("charge_full_design")));
                 q && *q && uv && *uv)
            mwh = quint64((double(*q) * double(*uv)) / 1e9);
        b.set("DesignCapacity", mwh ? Variant(qint64(*mwh)) : Variant());
    }
}

}  // namespace qelto::wmi::lnx
