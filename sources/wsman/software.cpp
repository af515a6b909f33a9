// The installed programs of a Windows host: Win32_InstalledWin32Program as Qelto_Software, or
// the registry's uninstall keys read through StdRegProv.

#include "software.h"

#include "wmi/builder.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace qelto::wmi::wsman {

namespace {

using T = schema::CimType;

constexpr schema::Property kInstalledProgram[] = {
    {"Language", T::String}, {"MsiPackageCode", T::String}, {"MsiProductCode", T::String},
    {"Name", T::String},     {"ProgramId", T::String},      {"Vendor", T::String},
    {"Version", T::String},
};
constexpr char kProgramsClass[] = "Win32_InstalledWin32Program";

const std::vector<schema::Class>& allClasses() {
    static const std::vector<schema::Class> all = [] {
        std::vector<schema::Class> v(schema::classes().begin(), schema::classes().end());
        v.push_back(*schema::findClass(u"Win32_QuickFixEngineering"));
        v.push_back({kProgramsClass, kInstalledProgram});
        return v;
    }();
    return all;
}

QString textOf(const Instance& i, QStringView name) {
    for (const Property& p : i.properties)
        if (p.readable && p.value.type() == Variant::Type::Text &&
            QStringView(p.name).compare(name, Qt::CaseInsensitive) == 0)
            return p.value.textValue().trimmed();
    return {};
}

Variant textOrNull(const QString& s) {
    return s.isEmpty() ? Variant() : Variant(s);
}

// The programs in Qelto_Software's shape, by name as the other sources give them.
std::vector<Instance> programs(const std::vector<Instance>& installed) {
    std::vector<const Instance*> named;
    for (const Instance& i : installed)
        if (!textOf(i, u"Name").isEmpty()) named.push_back(&i);
    std::ranges::stable_sort(named, [](const Instance* a, const Instance* b) {
        return textOf(*a, u"Name").compare(textOf(*b, u"Name"), Qt::CaseInsensitive) < 0;
    });
    InstanceStore built;
    ClassData& data = InstanceBuilder<"Qelto_Software">::declare(built);
    for (const Instance* i : named) {
        const bool msi = !textOf(*i, u"MsiProductCode").isEmpty();
        InstanceBuilder<"Qelto_Software">(data)
            .set("Name", textOf(*i, u"Name"))
            .set("Version", textOrNull(textOf(*i, u"Version")))
            .set("Vendor", textOrNull(textOf(*i, u"Vendor")))
            .set("InstallDate", Variant())
            .set("Architecture", Variant())
            .set("Source", QString::fromLatin1(msi ? "msi" : "registry"));
    }
    std::vector<Instance> out;
    out.reserve(data.items.size());
    for (auto& i : data.items) out.push_back(std::move(*i));
    return out;
}

}  // namespace

std::span<const schema::Class> gatheredClasses() {
    return allClasses();
}

bool programsFrom(Gathering& gathering) {
    auto& classes = gathering.classes;
    const auto at = std::ranges::find_if(classes, [](const ClassOutcome& c) {
        return c.cls && std::string_view(c.cls->name) == kProgramsClass;
    });
    if (at == classes.end()) return false;
    ClassOutcome outcome = std::move(*at);
    classes.erase(at);
    // Absent, refused or empty: nothing to tell the programs by (a host always has some).
    if (outcome.items.empty()) return false;
    ClassOutcome software;
    software.cls = schema::findClass(u"Qelto_Software");
    software.items = programs(outcome.items);
    software.error = outcome.error;
    software.requests = outcome.requests;
    classes.push_back(std::move(software));
    return true;
}

}  // namespace qelto::wmi::wsman
