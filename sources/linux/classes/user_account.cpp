// Win32_UserAccount of a Linux machine: root and the accounts of people (UID_MIN…UID_MAX of
// login.defs).

#include "classes.h"

namespace qelto::wmi::lnx {

void addUserAccounts(const Context& c, InstanceStore& store) {
    const QString host = c.hostname.section(u'.', 0, 0);
    InstanceBuilder<"Win32_UserAccount">::declare(store);
    qint64 uidMin = 1000, uidMax = 60000;
    for (const QByteArray& line : c.g.text(QStringLiteral("/etc/login.defs")).split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 2) continue;
        if (f[0] == "UID_MIN") uidMin = f[1].toLongLong();
        if (f[0] == "UID_MAX") uidMax = f[1].toLongLong();
    }
    const QByteArray* shadow = c.g.file(QStringLiteral("/etc/shadow"));
    const auto locked = shadow ? parseShadowLocked(*shadow, c.now / 86400) : QHash<QString, bool>();
    for (const Account& a : parsePasswd(c.g.text(QStringLiteral("/etc/passwd")))) {
        if (a.uid != 0 && (a.uid < uidMin || a.uid > uidMax)) continue;
        if (a.name == u"nobody") continue;
        InstanceBuilder<"Win32_UserAccount"> u(store);
        u.set("Name", a.name);
        u.set("Domain", host.isEmpty() ? Variant() : Variant(host));
        u.set("Disabled",
              shadow && locked.contains(a.name) ? Variant(locked.value(a.name)) : Variant());
    }
}

}  // namespace qelto::wmi::lnx
