// The registry's uninstall keys as Qelto_Software: what Windows's own list of programs shows.

#include "software.h"

#include "wmi/builder.h"

#include <QDate>

#include <algorithm>
#include <string_view>

namespace qelto::wmi::wsman {

namespace {

const QString kLocalMachine = QStringLiteral("2147483650");  // HKEY_LOCAL_MACHINE
const QString kUsers = QStringLiteral("2147483651");         // HKEY_USERS
const QString kUninstall =
    QStringLiteral("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
const QString kUninstall32 =
    QStringLiteral("SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
constexpr const char* kValues[] = {"DisplayName", "DisplayVersion", "Publisher", "InstallDate"};
constexpr int kCallsPerKey = 5;  // the four texts and SystemComponent

// One program's key, and what it says about where the program came from.
struct Key {
    QString hive, path;
    const char* architecture;  // nullptr: not known
    const char* source;
};

RegistryCall enumKey(const QString& hive, const QString& path) {
    return {QStringLiteral("EnumKey"),
            {{QStringLiteral("hDefKey"), hive}, {QStringLiteral("sSubKeyName"), path}}};
}

const Property* output(const ClassOutcome& o, QStringView name) {
    if (o.error || o.items.size() != 1) return nullptr;
    const Property* ok = o.items.front().find(u"ReturnValue");
    if (!ok || !ok->value.isText() || ok->value.textValue().trimmed() != u"0") return nullptr;
    return o.items.front().find(name);
}

// The subkeys an EnumKey gave (none when the key is not there or could not be read).
QStringList subkeys(const ClassOutcome& o) {
    QStringList names;
    if (const Property* p = output(o, u"sNames")) {
        if (p->value.isText()) names << p->value.textValue();
        for (const Variant& v : p->value.arrayValue())
            if (v.isText()) names << v.textValue();
    }
    return names;
}

bool answered(const ClassOutcome& o) {
    return output(o, u"ReturnValue") != nullptr;
}

QString text(const ClassOutcome& o, const char* parameter) {
    const Property* p = output(o, QString::fromLatin1(parameter));
    return p && p->value.isText() ? p->value.textValue().trimmed() : QString();
}

// An InstallDate of yyyymmdd at midnight, in the host's offset ("+480"); Null otherwise.
Variant installDate(const QString& yyyymmdd, const QString& offset) {
    const QDate d = QDate::fromString(yyyymmdd, u"yyyyMMdd");
    if (yyyymmdd.size() != 8 || !d.isValid()) return {};
    return Variant(yyyymmdd + u"000000.000000" + offset);
}

// The host's offset from UTC, from Win32_OperatingSystem's LocalDateTime.
QString offsetOf(const Gathering& g) {
    for (const ClassOutcome& c : g.classes) {
        if (std::string_view(c.cls->name) != "Win32_OperatingSystem" || c.items.empty()) continue;
        const Property* p = c.items.front().find(u"LocalDateTime");
        if (p && p->value.isText() && p->value.textValue().size() == 25)
            return p->value.textValue().right(4);
    }
    return QStringLiteral("+000");
}

// The keys of the machine's views and of each loaded user hive.
std::vector<Key> programKeys(const ConnectRequest& request, const Endpoint& endpoint,
                             const Tuning& tuning, Gathering& g, bool& readable) {
    const std::vector<RegistryCall> roots = {enumKey(kLocalMachine, kUninstall),
                                             enumKey(kLocalMachine, kUninstall32),
                                             enumKey(kUsers, QString())};
    const Gathering first = callRegistry(request, endpoint, roots, tuning);
    g.roundTrips += first.roundTrips;
    readable = answered(first.classes[0]);
    const bool wow = answered(first.classes[1]);  // a 64-bit Windows
    std::vector<Key> keys;
    for (const QString& name : subkeys(first.classes[0]))
        keys.push_back(
            {kLocalMachine, kUninstall + u'\\' + name, wow ? "x64" : nullptr, "registry"});
    for (const QString& name : subkeys(first.classes[1]))
        keys.push_back({kLocalMachine, kUninstall32 + u'\\' + name, "x86", "registry"});
    std::vector<RegistryCall> hives;
    for (const QString& sid : subkeys(first.classes[2]))
        if (!sid.endsWith(u"_Classes", Qt::CaseInsensitive))
            hives.push_back(enumKey(
                kUsers, sid + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
    if (hives.empty()) return keys;
    const Gathering users = callRegistry(request, endpoint, hives, tuning);
    g.roundTrips += users.roundTrips;
    for (std::size_t i = 0; i < hives.size(); ++i)
        for (const QString& name : subkeys(users.classes[i]))
            keys.push_back({kUsers, hives[i].parameters[1].second + u'\\' + name, nullptr, "user"});
    return keys;
}

// The calls that read one key's values.
void valueCalls(const Key& k, std::vector<RegistryCall>& calls) {
    for (const char* name : kValues)
        calls.push_back({QStringLiteral("GetStringValue"),
                         {{QStringLiteral("hDefKey"), k.hive},
                          {QStringLiteral("sSubKeyName"), k.path},
                          {QStringLiteral("sValueName"), QString::fromLatin1(name)}}});
    calls.push_back({QStringLiteral("GetDWORDValue"),
                     {{QStringLiteral("hDefKey"), k.hive},
                      {QStringLiteral("sSubKeyName"), k.path},
                      {QStringLiteral("sValueName"), QStringLiteral("SystemComponent")}}});
}

}  // namespace

void registryPrograms(const ConnectRequest& request, const Endpoint& endpoint, Gathering& g) {
    Endpoint again = endpoint;
    again.reached = nullptr;  // the first gathering took the reach layer's connection
    try {
        Tuning tuning;
        tuning.scheme = g.scheme;
        bool readable = false;
        const std::vector<Key> keys = programKeys(request, again, tuning, g, readable);
        if (!readable) return;  // nothing to tell the programs by
        std::vector<RegistryCall> calls;
        calls.reserve(keys.size() * kCallsPerKey);
        for (const Key& k : keys) valueCalls(k, calls);
        const Gathering values = callRegistry(request, again, calls, tuning);
        g.roundTrips += values.roundTrips;
        const QString offset = offsetOf(g);
        InstanceStore built;
        ClassData& data = InstanceBuilder<"Qelto_Software">::declare(built);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const ClassOutcome* v = &values.classes[i * kCallsPerKey];
            const QString name = text(v[0], "sValue");
            // As Windows's own list: no name, or a part of the system, is no program of its own.
            if (name.isEmpty() || text(v[4], "uValue") == u"1") continue;
            const QString version = text(v[1], "sValue"), vendor = text(v[2], "sValue");
            const char* arch = keys[i].architecture;
            InstanceBuilder<"Qelto_Software">(data)
                .set("Name", name)
                .set("Version", version.isEmpty() ? Variant() : Variant(version))
                .set("Vendor", vendor.isEmpty() ? Variant() : Variant(vendor))
                .set("InstallDate", installDate(text(v[3], "sValue"), offset))
                .set("Architecture", arch ? Variant(QString::fromLatin1(arch)) : Variant())
                .set("Source", QString::fromLatin1(keys[i].source));
        }
        ClassOutcome software;
        software.cls = schema::findClass(u"Qelto_Software");
        for (auto& i : data.items) software.items.push_back(std::move(*i));
        std::ranges::stable_sort(software.items, [](const Instance& a, const Instance& b) {
            return a.find(u"Name")->value.textValue().compare(b.find(u"Name")->value.textValue(),
                                                              Qt::CaseInsensitive) < 0;
        });
        software.requests = values.roundTrips;
        g.classes.push_back(std::move(software));
    } catch (const Error&) {
        // The programs stay unknown; the scan itself has its answers already.
    }
}

}  // namespace qelto::wmi::wsman
