// Win32_Printer of a Linux machine: the print queues.

#include "classes.h"

#include <QSet>

namespace qelto::wmi::lnx {

void addPrinters(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_Printer">::declare(store);
    // The scheduler's own file (readable by root and lp only) tells the most, but it and the
    // printcap it publishes for everyone are written a while after a change. The queues the
    // scheduler answers for are those of this moment: when it answered, they are the queues, and
    // the files only add what they know of each.
    std::vector<PrinterEntry> conf;
    if (const QByteArray* text = c.g.file(QStringLiteral("/etc/cups/printers.conf")))
        conf = parsePrintersConf(*text);
    const auto known = [&](const QString& name) -> const PrinterEntry* {
        for (const PrinterEntry& p : conf)
            if (p.name == name) return &p;
        return nullptr;
    };
    std::vector<QueueDevice> queues =
        parseLpstatDevices(c.g.probe(QStringLiteral("printers")).value_or(QByteArray()));
    if (queues.empty()) {
        QSet<QString> names;
        for (const PrinterEntry& p : conf) {
            queues.push_back({p.name, p.deviceUri});
            names.insert(p.name);
        }
        for (const QString& path :
             {QStringLiteral("/etc/printcap"), QStringLiteral("/run/cups/printcap")})
            for (const QString& name : parsePrintcapNames(c.g.text(path)))
                if (!names.contains(name)) {
                    queues.push_back({name, {}});
                    names.insert(name);
                }
    }
    for (const QueueDevice& q : queues) {
        const PrinterEntry* p = known(q.name);
        InstanceBuilder<"Win32_Printer"> i(store);
        i.set("Name", q.name);
        i.set("PortName", textOrNull(withoutCredentials(
                              p && !p->deviceUri.isEmpty() ? p->deviceUri : q.deviceUri)));
        i.set("Shared", p ? Variant(p->shared) : Variant());
        i.set("ShareName", p && p->shared ? Variant(p->name) : Variant());
        i.set("Default", p ? Variant(p->isDefault) : Variant());
    }
}

}  // namespace qelto::wmi::lnx
