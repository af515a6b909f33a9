// Feeds arbitrary bytes to the WQL parser. A text it rejects must be rejected as an invalid query
// with a description; a text it accepts must evaluate against a fixed instance without failing,
// the same way every time, and treat a missing property like a Null one.
#include "wmi/error.h"
#include "wmi/wql.h"

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>

using namespace qelto::wmi;

namespace {

[[noreturn]] void failure(const char* what) {
    std::fprintf(stderr, "wql_fuzz: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) failure(what);
}

struct Prop {
    const char16_t* name;
    Variant value;
};

const std::array<Prop, 10>& instance() {
    static const std::array<Prop, 10> props{{
        {u"Name", Variant(u"Intel(R) Ethernet Connection")},
        {u"Manufacturer", Variant(u"Microsoft")},
        {u"Size", Variant(u"500107862016")},
        {u"Count", Variant(qint64(-42))},
        {u"Big", Variant(std::numeric_limits<quint64>::max())},
        {u"Ratio", Variant(2.5)},
        {u"Nan", Variant(std::numeric_limits<double>::quiet_NaN())},
        {u"IPEnabled", Variant(true)},
        {u"Nothing", Variant()},
        {u"List", Variant(Variant::Array{Variant(1), Variant(u"a")})},
    }};
    return props;
}

// The fixed instance; with `nullForMissing`, an unknown property reads as Null instead of missing.
std::optional<Variant> lookUp(QStringView name, bool nullForMissing) {
    for (const Prop& p : instance())
        if (name.compare(QStringView(p.name), Qt::CaseInsensitive) == 0) return p.value;
    if (nullForMissing) return Variant();
    return std::nullopt;
}

bool isIdentifier(const QString& s) {
    if (s.isEmpty()) return false;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
        const bool digit = c >= u'0' && c <= u'9';
        if (!(letter || (i > 0 && digit))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    std::optional<wql::Query> query;
    try {
        query.emplace(wql::parse(text));
    } catch (const Error& e) {
        check(e.number() == code::InvalidQuery, "a parse error that is no InvalidQuery");
        check(!e.description().isEmpty(), "a parse error without a description");
        return 0;
    }
    check(isIdentifier(query->className()), "the class name is no identifier");
    check(text.contains(query->className()), "the class name is not as written");

    int calls = 0;
    const bool missing = query->matches([&](QStringView name) {
        ++calls;
        return lookUp(name, false);
    });
    const bool null = query->matches([](QStringView name) { return lookUp(name, true); });
    const bool again = query->matches([](QStringView name) { return lookUp(name, false); });
    check(missing == null, "a missing property and a Null one evaluate differently");
    check(missing == again, "the same instance evaluated differently");
    if (!query->hasWhere()) {
        check(missing, "a query without WHERE left an instance out");
        check(calls == 0, "a query without WHERE looked a property up");
    }
    return 0;
}
