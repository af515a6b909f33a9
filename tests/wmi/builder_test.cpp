// Builders set properties only through the class schema. What the compiler refuses is checked by
// builder_refuses.cpp (tests named builder_refuses_*); this checks what is left to run time.

#include "wmi/builder.h"

#include <gtest/gtest.h>

#include <functional>

namespace qelto::wmi {
namespace {

using schema::CimType;

TEST(InstanceBuilder, AddsInstancesUnderTheSchemasNames) {
    InstanceStore store;
    InstanceBuilder<"Win32_Share">::declare(store);
    ASSERT_TRUE(store.findClass(u"WIN32_SHARE"));
    EXPECT_TRUE(store.findClass(u"win32_share")->items.empty());

    InstanceBuilder<"Win32_Processor"> p(store);
    p.set("NumberOfCores", 4).set("Name", QStringLiteral("cpu")).set("Status", Variant());
    p.set("NumberOfCores", qint64(8));  // set again: replaced in place
    InstanceBuilder<"Win32_Processor">(store).set("Name", u"second");

    const ClassData* cls = store.findClass(u"win32_processor");
    ASSERT_TRUE(cls);
    EXPECT_EQ(cls->name, u"Win32_Processor");
    ASSERT_EQ(cls->items.size(), 2u);
    const Instance& first = *cls->items[0];
    ASSERT_EQ(first.properties.size(), 3u);
    EXPECT_EQ(first.properties[0].name, u"NumberOfCores");
    EXPECT_EQ(first.properties[0].value, Variant(qint64(8)));
    EXPECT_EQ(first.properties[1].value, Variant(QStringLiteral("cpu")));
    EXPECT_TRUE(first.properties[2].value.isNull());
    EXPECT_EQ(cls->items[1]->find(u"name")->value, Variant(QStringLiteral("second")));
}

TEST(InstanceBuilder, TellsWhetherAValueHasTheFormOfItsProperty) {
    const Variant text(QStringLiteral("7")), minus(qint64(-1)), seven(qint64(7));
    const Variant unsignedSeven(quint64(7)), yes(true), half(0.5);
    struct Case {
        CimType type;
        bool array;
        Variant value;
        bool holds;
    };
    const Case cases[] = {
        {CimType::UInt16, false, seven, true},
        {CimType::UInt16, false, Variant(), true},
        {CimType::UInt32, false, minus, false},
        {CimType::UInt32, false, unsignedSeven, false},
        {CimType::UInt8, false, text, false},
        {CimType::SInt32, false, minus, true},
        {CimType::UInt64, false, text, true},
        {CimType::UInt64, false, seven, false},
        {CimType::String, false, text, true},
        {CimType::String, false, yes, false},
        {CimType::DateTime, false, seven, false},
        {CimType::Boolean, false, yes, true},
        {CimType::Boolean, false, seven, false},
        {CimType::Real64, false, half, true},
        {CimType::Real32, false, seven, false},
        {CimType::String, true, Variant(Variant::Array{text, text}), true},
        {CimType::String, true, Variant(Variant::Array{}), true},
        {CimType::String, true, text, false},
        {CimType::String, true, Variant(Variant::Array{text, seven}), false},
        {CimType::String, false, Variant(Variant::Array{text}), false},
    };
    for (const Case& c : cases) {
        const schema::Property p{"P", c.type, c.array};
        EXPECT_EQ(schema::holds(p, c.value), c.holds)
            << "type " << int(c.type) << (c.array ? "[]" : "") << ", a "
            << typeName(c.value.type());
    }
}

TEST(InstanceBuilderDeathTest, RefusesAVariantOfTheWrongType) {
#ifndef QELTO_SCHEMA_CHECKS
    GTEST_SKIP() << "skipped: built without QELTO_SCHEMA_CHECKS (a release build without tests)";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<const char*, std::function<void(InstanceStore&)> > cases[] = {
        {"Win32_Processor\\.NumberOfCores",
         [](InstanceStore& s) {
             InstanceBuilder<"Win32_Processor">(s).set("NumberOfCores",
                                                       Variant(QStringLiteral("4")));
         }},
        {"Win32_PhysicalMemory\\.Capacity",
         [](InstanceStore& s) {
             InstanceBuilder<"Win32_PhysicalMemory">(s).set("Capacity", Variant(qint64(1) << 40));
         }},
        {"Win32_NetworkAdapterConfiguration\\.IPAddress",
         [](InstanceStore& s) {
             InstanceBuilder<"Win32_NetworkAdapterConfiguration">(s).set(
                 "IPAddress", Variant(QStringLiteral("192.0.2.1")));
         }},
        {"Win32_ComputerSystem\\.PartOfDomain",
         [](InstanceStore& s) {
             InstanceBuilder<"Win32_ComputerSystem">(s).set("PartOfDomain", Variant(qint64(1)));
         }},
    };
    for (const auto& [property, set] : cases) {
        InstanceStore store;
        EXPECT_DEATH(set(store), property);
    }
#endif
}

}  // namespace
}  // namespace qelto::wmi
