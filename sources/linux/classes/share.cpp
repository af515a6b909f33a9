// Win32_Share of a Linux machine: Samba shares (configured and user shares) and NFS exports.

#include "classes.h"

namespace qelto::wmi::lnx {

void addShares(const Context& c, InstanceStore& store) {
    InstanceBuilder<"Win32_Share">::declare(store);
    QStringList names;
    for (const IniSection& s : parseIni(c.g.text(QStringLiteral("/etc/samba/smb.conf"))))
        if (!s.name.isEmpty() && s.name.compare(u"global", Qt::CaseInsensitive) != 0)
            names << s.name;
    for (const QString& path : c.g.match(QStringLiteral("/var/lib/samba/usershares/*")))
        if (c.g.file(path)) names << path.section(u'/', -1);
    QStringList exports = parseExports(c.g.text(QStringLiteral("/etc/exports")));
    for (const QString& path : c.g.match(QStringLiteral("/etc/exports.d/*.exports")))
        exports += parseExports(c.g.text(path));
    for (const QString& n : names) {
        InstanceBuilder<"Win32_Share"> s(store);
        s.set("Name", n);
    }
    for (const QString& e : exports) {
        if (names.contains(e)) continue;
        names << e;
        InstanceBuilder<"Win32_Share"> s(store);
        s.set("Name", e);
    }
}

}  // namespace qelto::wmi::lnx
