// The project's JSON codec: members in order, invalid text flagged rather than refused, the
// depth limit.

#include "common/json.h"

#include <gtest/gtest.h>

#include <string>

namespace qelto::common {
namespace {

TEST(Json, KeepsMembersInOrderIncludingRepeatedKeys) {
    const json::Value v = json::parse(R"({"b": 1, "a": 2, "b": 3})");
    ASSERT_TRUE(v.isObject());
    ASSERT_EQ(v.object.size(), 3u);
    EXPECT_EQ(v.object[0].key, QStringLiteral("b"));
    EXPECT_EQ(v.object[1].key, QStringLiteral("a"));
    EXPECT_EQ(v.object[2].key, QStringLiteral("b"));
    EXPECT_EQ(v.object[2].value.integer, 3);
}

TEST(Json, FlagsInvalidStringsAndNonFiniteNumbers) {
    const json::Value v = json::parse("[\"ok\", \"a\xff\", \"\\udfff\", 1e999, 1.5, 1e-999]");
    ASSERT_EQ(v.array.size(), 6u);
    EXPECT_TRUE(v.array[0].valid);
    EXPECT_FALSE(v.array[1].valid);
    EXPECT_EQ(v.array[1].string, QStringLiteral("a\uFFFD"));
    EXPECT_FALSE(v.array[2].valid);
    EXPECT_EQ(v.array[3].type, json::Value::Type::Double);
    EXPECT_FALSE(v.array[3].valid);
    EXPECT_TRUE(v.array[4].valid);
    EXPECT_EQ(v.array[5].type, json::Value::Type::Double);
    EXPECT_TRUE(v.array[5].valid);
    EXPECT_EQ(v.array[5].number, 0.0);
}

TEST(Json, TopLevelScalarsAndRootOffset) {
    qsizetype offset = -1;
    const json::Value v = json::parse("\xEF\xBB\xBF \n 42 ", &offset);
    EXPECT_EQ(v.type, json::Value::Type::Int);
    EXPECT_EQ(v.integer, 42);
    EXPECT_EQ(offset, 6);
}

TEST(Json, DepthLimitCountsEveryArrayAndObject) {
    const std::string ok = std::string(json::kMaxDepth, '[') + std::string(json::kMaxDepth, ']');
    EXPECT_NO_THROW(json::parse(QByteArrayView(ok.data(), qsizetype(ok.size()))));
    std::string mixed;
    for (int i = 0; i < json::kMaxDepth / 2; ++i) mixed += R"([{"a":)";
    const qsizetype tooDeep = qsizetype(mixed.size());
    mixed += "[]";  // one level more than allowed
    for (int i = 0; i < json::kMaxDepth / 2; ++i) mixed += "}]";
    try {
        json::parse(QByteArrayView(mixed.data(), qsizetype(mixed.size())));
        FAIL() << "read without an error";
    } catch (const json::ParseError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("嵌套过深"));
        EXPECT_EQ(e.offset(), tooDeep);
    }
}

}  // namespace
}  // namespace qelto::common
