// Win32_DesktopMonitor of a Linux machine: the connected displays that tell their EDID.

#include "classes.h"

namespace qelto::wmi::lnx {

void addDesktopMonitors(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_DesktopMonitor">::declare(store);
    const std::vector<Connector> displays = connectedDisplays(c);
    QHash<QString, QString> pnp;
    bool pnpRead = false;
    for (const Connector& k : displays) {
        if (!k.edid) continue;
        if (!pnpRead) {
            for (const QString& f : {QStringLiteral("/usr/share/hwdata/pnp.ids"),
                                     QStringLiteral("/usr/share/misc/pnp.ids")})
                if (const QByteArray* t = c.g.file(f)) {
                    pnp = parsePnpIds(*t);
                    break;
                }
            pnpRead = true;
        }
        InstanceBuilder<"Win32_DesktopMonitor"> m(store);
        m.set("Name", k.edid->name.isEmpty() ? QStringLiteral("通用即插即用监视器") : k.edid->name);
        m.set("PNPDeviceID",
              QStringLiteral("DISPLAY\\%1%2\\%3")
                  .arg(k.edid->manufacturerId, hex4(k.edid->productCode).toUpper(), k.name));
        const QString maker = pnp.value(k.edid->manufacturerId);
        m.set("MonitorManufacturer", maker.isEmpty() ? k.edid->manufacturerId : maker);
        if (k.edid->width) m.set("ScreenWidth", qint64(k.edid->width));
        if (k.edid->height) m.set("ScreenHeight", qint64(k.edid->height));
    }
}

}  // namespace qelto::wmi::lnx
