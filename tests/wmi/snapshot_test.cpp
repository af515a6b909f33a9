#include "wmi/snapshot.h"
#include "common/json.h"
#include "wmi/error.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace qelto::wmi {

// Lets GoogleTest show values and texts readably when a check fails.
void PrintTo(const Variant& v, std::ostream* os) {
    *os << typeName(v.type()) << ':';
    switch (v.type()) {
        case Variant::Type::Null:
            *os << "null";
            break;
        case Variant::Type::Text:
            *os << '"' << v.textValue().toStdString() << '"';
            break;
        case Variant::Type::Int:
            *os << v.intValue();
            break;
        case Variant::Type::UInt:
            *os << v.uintValue();
            break;
        case Variant::Type::Double:
            *os << std::to_string(v.doubleValue());
            break;
        case Variant::Type::Bool:
            *os << (v.boolValue() ? "true" : "false");
            break;
        case Variant::Type::Array:
            *os << '[';
            for (const Variant& e : v.arrayValue()) {
                PrintTo(e, os);
                *os << ' ';
            }
            *os << ']';
            break;
    }
}

}  // namespace qelto::wmi

void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace qelto::wmi {
namespace {

namespace json = common::json;

std::shared_ptr<InstanceStore> read(const std::string& text) {
    return readSnapshot(QByteArray(text.data(), qsizetype(text.size())));
}

// The result of walking "Select * From <class>" to its end.
struct Walk {
    std::vector<std::unique_ptr<Object>> objects;
    std::optional<Error> error;  // what ended the walk, if it did not end normally
};

Walk walk(const std::shared_ptr<InstanceStore>& store, const QString& className) {
    SnapshotConnector connector(store);
    std::unique_ptr<Service> service = connector.connect({});
    std::unique_ptr<Collection> collection =
        service->execQuery(QStringLiteral("Select * From ") + className);
    Walk result;
    try {
        while (auto object = collection->next()) result.objects.push_back(std::move(object));
    } catch (const Error& e) {
        result.error = e;
    }
    return result;
}

// Reads one property of the only object of class X, or the error of reading it.
struct Read {
    std::optional<Variant> value;
    std::optional<Error> error;
};

Read readProperty(const std::shared_ptr<InstanceStore>& store, const QString& property) {
    Walk w = walk(store, QStringLiteral("X"));
    if (w.error) ADD_FAILURE() << "walking X failed: " << w.error->description().toStdString();
    if (w.objects.size() != 1) {
        ADD_FAILURE() << "X has " << w.objects.size() << " objects";
        return {};
    }
    try {
        return {w.objects[0]->get(property), std::nullopt};
    } catch (const Error& e) {
        return {std::nullopt, e};
    }
}

// --- value typing --------------------------------------------------------------------------------

struct TypingCase {
    const char* json;                 // the value of property "p"
    std::optional<Variant> expected;  // nullopt: the property is kept but cannot be read
};

void PrintTo(const TypingCase& c, std::ostream* os) {
    *os << c.json;
}

class ValueTyping : public testing::TestWithParam<TypingCase> {};

TEST_P(ValueTyping, PropertyTakesTheExpectedTypeAndValue) {
    const TypingCase& c = GetParam();
    const auto store = read(std::string(R"({"X": [{"p": )") + c.json + R"(, "q": "ok"}]})");
    const Read r = readProperty(store, QStringLiteral("p"));
    if (c.expected) {
        ASSERT_TRUE(r.value.has_value())
            << "read failed: " << (r.error ? r.error->description().toStdString() : "");
        EXPECT_EQ(r.value->type(), c.expected->type());
        EXPECT_EQ(*r.value, *c.expected);
    } else {
        ASSERT_FALSE(r.value.has_value()) << "expected an unreadable property";
        ASSERT_TRUE(r.error.has_value());
        EXPECT_EQ(r.error->number(), code::TypeMismatch);
    }
    // Whatever became of "p", its sibling stays readable.
    const Read sibling = readProperty(store, QStringLiteral("q"));
    ASSERT_TRUE(sibling.value.has_value());
    EXPECT_EQ(*sibling.value, Variant(u"ok"));
}

const qint64 kInt64Max = std::numeric_limits<qint64>::max();
const qint64 kInt64Min = std::numeric_limits<qint64>::min();
const quint64 kUInt64Max = std::numeric_limits<quint64>::max();

INSTANTIATE_TEST_SUITE_P(
    Snapshot, ValueTyping,
    testing::ValuesIn(std::vector<TypingCase>{
        {"1", Variant(qint64(1))},
        {"0", Variant(qint64(0))},
        {"-0", Variant(qint64(0))},
        {"-17", Variant(qint64(-17))},
        {"1.0", Variant(1.0)},
        {"-0.5", Variant(-0.5)},
        {"1e2", Variant(100.0)},
        {"1E+2", Variant(100.0)},
        {"25e-1", Variant(2.5)},
        {"0.1", Variant(0.1)},
        {"9223372036854775807", Variant(kInt64Max)},
        {"-9223372036854775808", Variant(kInt64Min)},
        {"9223372036854775808", Variant(quint64(9223372036854775808ULL))},
        {"18446744073709551615", Variant(kUInt64Max)},
        {"18446744073709551616", Variant(18446744073709551616.0)},
        {"-9223372036854775809", Variant(-9223372036854775809.0)},
        {"99999999999999999999999", Variant(1e23)},
        {"1e400", std::nullopt},
        {"-1e400", std::nullopt},
        {"1e99999999999999999999", std::nullopt},
        {"1e-400", Variant(0.0)},
        {"4.9e-324", Variant(std::numeric_limits<double>::denorm_min())},
        {"1.7976931348623157e308", Variant(std::numeric_limits<double>::max())},
        {R"("500107862016")", Variant(u"500107862016")},
        {R"("")", Variant(u"")},
        {R"("中文 ü")", Variant(u"中文 ü")},
        {R"("\u00e9\u4e2d\ud83d\ude00")", Variant(u"é中😀")},
        {R"("\"\\\/\b\f\n\r\t")", Variant(u"\"\\/\b\f\n\r\t")},
        {R"("\u0000")", Variant(QString(QChar(0)))},
        {"true", Variant(true)},
        {"false", Variant(false)},
        {"null", Variant()},
        {"[]", Variant(Variant::Array{})},
        {R"([1, "a", null, true, 2.5, [3, []]])",
         Variant(Variant::Array{Variant(1), Variant(u"a"), Variant(), Variant(true), Variant(2.5),
                                Variant(Variant::Array{Variant(3), Variant(Variant::Array{})})})},
        {"[18446744073709551615, 1.0]", Variant(Variant::Array{Variant(kUInt64Max), Variant(1.0)})},
        {"{}", std::nullopt},
        {R"({"a": 1})", std::nullopt},
        {"[1, {}]", std::nullopt},
        {"[[{}]]", std::nullopt},
        {"[1e999]", std::nullopt},
        {"[[1, 1e999]]", std::nullopt},
        {R"(["\ud800"])", std::nullopt},
        {R"([["ok"], ["\udc00"]])", std::nullopt},
    }));

// --- invalid text --------------------------------------------------------------------------------

// Strings that are well-formed JSON but do not hold valid Unicode text.
class InvalidText : public testing::TestWithParam<std::string> {};

TEST_P(InvalidText, MakesOnlyThatPropertyUnreadable) {
    const auto store =
        read(R"({"X": [{"before": "a", "bad": ")" + GetParam() + R"(", "after": [1, "中"]}]})");
    const Read bad = readProperty(store, QStringLiteral("bad"));
    EXPECT_FALSE(bad.value.has_value());
    ASSERT_TRUE(bad.error.has_value());
    EXPECT_EQ(bad.error->number(), code::TypeMismatch);

    const Read before = readProperty(store, QStringLiteral("before"));
    ASSERT_TRUE(before.value.has_value());
    EXPECT_EQ(*before.value, Variant(u"a"));
    const Read after = readProperty(store, QStringLiteral("after"));
    ASSERT_TRUE(after.value.has_value());
    EXPECT_EQ(*after.value, Variant(Variant::Array{Variant(1), Variant(u"中")}));
}

// The bytes between the quotes; octal escapes keep the following letters out of the byte.
INSTANTIATE_TEST_SUITE_P(Snapshot, InvalidText,
                         testing::ValuesIn(std::vector<std::string>{
                             "\377",
                             "ab\376cd",
                             "\200",              // a stray continuation byte
                             "\300\257",          // "/" in two bytes (overlong)
                             "\340\200\257",      // "/" in three bytes (overlong)
                             "\355\240\200",      // an encoded surrogate
                             "\364\220\200\200",  // above U+10FFFF
                             "\365\200\200\200",
                             "x\344\270",  // cut short at the end
                             "\344\270x",  // cut short in the middle
                             R"(\ud800)",  // lone high surrogate
                             R"(\udc00)",  // lone low surrogate
                             R"(a\ud83dz)",
                             R"(\ud83d\u0041)",
                             R"(\ud83d\ud83d)",
                             R"(\ud83d\ue000)",
                             R"(\ude00\ud83d)",
                         }));

TEST(Snapshot, InvalidTextInAPropertyNameKeepsThePropertyUnderALossyName) {
    const auto store = read("{\"X\": [{\"na\xffme\": 1, \"Name\": 2}]}");
    const ClassData* x = store->findClass(u"X");
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(x->items.size(), 1u);
    const Instance& instance = *x->items[0];
    ASSERT_EQ(instance.properties.size(), 2u);
    EXPECT_EQ(instance.properties[0].name, QStringLiteral("na\uFFFDme"));
    const Read name = readProperty(store, QStringLiteral("name"));
    ASSERT_TRUE(name.value.has_value());
    EXPECT_EQ(*name.value, Variant(2));
}

// --- instances and classes -----------------------------------------------------------------------

TEST(Snapshot, ObjectValueIsUnreadableButSiblingsAreNot) {
    const auto store =
        read(R"({"X": [{"Name": "disk", "Nested": {"Size": 1}, "Size": 500107862016}]})");
    const Read nested = readProperty(store, QStringLiteral("Nested"));
    EXPECT_FALSE(nested.value.has_value());
    ASSERT_TRUE(nested.error.has_value());
    EXPECT_EQ(nested.error->number(), code::TypeMismatch);
    EXPECT_EQ(readProperty(store, QStringLiteral("Name")).value, Variant(u"disk"));
    EXPECT_EQ(readProperty(store, QStringLiteral("Size")).value, Variant(qint64(500107862016)));
    const Read missing = readProperty(store, QStringLiteral("Model"));
    ASSERT_TRUE(missing.error.has_value());
    EXPECT_EQ(missing.error->number(), code::NotFound);
}

TEST(Snapshot, PropertiesKeepTheirOrder) {
    const auto store = read(R"({"X": [{"c": 1, "a": 2, "b": 3}]})");
    const Instance& instance = *store->findClass(u"X")->items.at(0);
    ASSERT_EQ(instance.properties.size(), 3u);
    EXPECT_EQ(instance.properties[0].name, QStringLiteral("c"));
    EXPECT_EQ(instance.properties[1].name, QStringLiteral("a"));
    EXPECT_EQ(instance.properties[2].name, QStringLiteral("b"));
}

// A non-instance element in place of an instance: the objects before it come out, then the walk
// ends with an error, and nothing after it is reached.
class EnumerationError : public testing::TestWithParam<const char*> {};

TEST_P(EnumerationError, EndsTheWalkAfterTheObjectsBeforeIt) {
    const auto store =
        read(std::string(R"({"X": [{"n": 1}, {"n": 2}, )") + GetParam() + R"(, {"n": 3}]})");
    Walk w = walk(store, QStringLiteral("X"));
    ASSERT_EQ(w.objects.size(), 2u);
    EXPECT_EQ(w.objects[0]->get(u"n"), Variant(1));
    EXPECT_EQ(w.objects[1]->get(u"n"), Variant(2));
    ASSERT_TRUE(w.error.has_value());
    EXPECT_EQ(w.error->number(), code::Failed);
}

INSTANTIATE_TEST_SUITE_P(Snapshot, EnumerationError,
                         testing::Values(R"("#enumeration-error")", R"("something else")", "42",
                                         "null", "true", "[]", R"([{"n": 9}])"));

TEST(Snapshot, EnumerationErrorFirstGivesNoObject) {
    const auto store = read(R"({"X": ["#enumeration-error"]})");
    Walk w = walk(store, QStringLiteral("X"));
    EXPECT_TRUE(w.objects.empty());
    ASSERT_TRUE(w.error.has_value());
}

TEST(Snapshot, EmptyArrayReturnsNoObjectAndMissingClassIsInvalid) {
    const auto store = read(R"({"Empty": []})");
    Walk w = walk(store, QStringLiteral("Empty"));
    EXPECT_TRUE(w.objects.empty());
    EXPECT_FALSE(w.error.has_value());

    StoreService service(store);
    try {
        service.execQuery(QStringLiteral("Select * From Missing"));
        ADD_FAILURE() << "a class not in the file was queried";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), code::InvalidClass);
    }
}

TEST(Snapshot, ClassWhoseValueIsNotAnArrayIsBroken) {
    for (const char* value : {"{}", "1", "null", R"("x")", R"({"a": [1]})"}) {
        SCOPED_TRACE(value);
        const auto store = read(std::string(R"({"Good": [{"a": 1}], "Bad": )") + value + "}");
        const ClassData* bad = store->findClass(u"bad");
        ASSERT_NE(bad, nullptr);
        EXPECT_TRUE(bad->broken);
        EXPECT_TRUE(bad->items.empty());
        StoreService service(store);
        try {
            service.execQuery(QStringLiteral("Select * From Bad"));
            ADD_FAILURE() << "a broken class was queried";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), code::Failed);
        }
        EXPECT_EQ(walk(store, QStringLiteral("Good")).objects.size(), 1u);
    }
}

TEST(Snapshot, ClassAndPropertyNamesAreCaseInsensitive) {
    const auto store = read(R"({"Win32_BIOS": [{"SerialNumber": "ABC123"}]})");
    Walk w = walk(store, QStringLiteral("win32_bios"));
    ASSERT_EQ(w.objects.size(), 1u);
    EXPECT_EQ(w.objects[0]->get(u"serialnumber"), Variant(u"ABC123"));
    EXPECT_EQ(w.objects[0]->get(u"SERIALNUMBER"), Variant(u"ABC123"));
}

TEST(Snapshot, LaterClassOfTheSameNameReplacesTheEarlier) {
    const auto store = read(R"({"Disk": [{"n": 1}], "Other": [], "DISK": [{"n": 2}, {"n": 3}]})");
    ASSERT_EQ(store->classes().size(), 2u);
    Walk w = walk(store, QStringLiteral("disk"));
    ASSERT_EQ(w.objects.size(), 2u);
    EXPECT_EQ(w.objects[0]->get(u"n"), Variant(2));
    EXPECT_EQ(w.objects[1]->get(u"n"), Variant(3));

    // A broken class is replaced too, and replaces.
    const auto healed = read(R"({"A": 1, "a": [{"n": 1}]})");
    EXPECT_FALSE(healed.get()->findClass(u"A")->broken);
    EXPECT_EQ(walk(healed, QStringLiteral("A")).objects.size(), 1u);
    const auto broken = read(R"({"A": [{"n": 1}], "a": 1})");
    EXPECT_TRUE(broken->findClass(u"A")->broken);
    EXPECT_TRUE(broken->findClass(u"A")->items.empty());
}

TEST(Snapshot, LaterPropertyOfTheSameNameReplacesTheEarlier) {
    const auto store = read(R"({"X": [{"Name": "a", "Other": 0, "NAME": "b"}]})");
    const Instance& instance = *store->findClass(u"X")->items.at(0);
    EXPECT_EQ(instance.properties.size(), 2u);
    EXPECT_EQ(readProperty(store, QStringLiteral("name")).value, Variant(u"b"));

    // Readability goes with the replacing value, both ways.
    EXPECT_EQ(readProperty(read(R"({"X": [{"p": {}, "P": 1}]})"), QStringLiteral("p")).value,
              Variant(1));
    EXPECT_FALSE(
        readProperty(read(R"({"X": [{"p": 1, "P": {}}]})"), QStringLiteral("p")).value.has_value());
}

TEST(Snapshot, NonAsciiNamesAreMatchedCaseInsensitivelyToo) {
    const auto store = read(R"({"Ünïcode_Klasse": [], "X": [{"Größe": 1, "\u540d": "x"}]})");
    const ClassData* unicode = store->findClass(u"ÜNÏCODE_KLASSE");
    ASSERT_NE(unicode, nullptr);
    EXPECT_EQ(unicode->name, QStringLiteral("Ünïcode_Klasse"));
    Walk w = walk(store, QStringLiteral("x"));
    ASSERT_EQ(w.objects.size(), 1u);
    EXPECT_EQ(w.objects[0]->get(u"GRÖßE"), Variant(1));
    EXPECT_EQ(w.objects[0]->get(u"名"), Variant(u"x"));
}

TEST(Snapshot, ManyPropertiesAreReadInLinearTime) {
    // 40,000 names of one length (the costly case for a search through the names so far), then
    // the same names again in other cases, each replacing the first in its place. A search per
    // property takes minutes here; hashing the folded names takes a moment.
    constexpr int kCount = 40000;
    std::string json = R"({"X": [{)";
    for (int i = 0; i < kCount; ++i) json += "\"Prop" + std::to_string(100000 + i) + "\": 1, ";
    for (int i = 0; i < kCount; i += 1000)
        json += "\"pROP" + std::to_string(100000 + i) + "\": \"late\", ";
    json += R"("\u00dfe": 1, "SSE": 2, "ss\u00c9": 3}]})";
    QElapsedTimer timer;
    timer.start();
    const auto store = read(json);
    EXPECT_LT(timer.elapsed(), 5000) << "reading took " << timer.elapsed() << " ms";
    const Instance& instance = *store->findClass(u"X")->items.at(0);
    // "ßE" folds to itself, not to "SSE"; "ssÉ" matches neither.
    ASSERT_EQ(instance.properties.size(), std::size_t(kCount + 3));
    EXPECT_EQ(instance.properties[1000].name, u"pROP101000");
    EXPECT_EQ(instance.properties[1000].value, Variant(u"late"));
    EXPECT_EQ(instance.properties[1001].value, Variant(1));
    EXPECT_EQ(instance.find(u"sse")->value, Variant(2));
    EXPECT_EQ(instance.find(u"SSé")->value, Variant(3));
}

// --- whole-file errors ---------------------------------------------------------------------------

struct SyntaxCase {
    std::string json;
    int line;
    int column;
    const char* what;
};

void PrintTo(const SyntaxCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.json);
}

class SyntaxErrors : public testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxErrors, ReportLineColumnAndWhat) {
    const SyntaxCase& c = GetParam();
    try {
        read(c.json);
        FAIL() << "read without an error";
    } catch (const SnapshotError& e) {
        EXPECT_EQ(e.line(), c.line);
        EXPECT_EQ(e.column(), c.column);
        const QString expected = QStringLiteral("快照文件第 %1 行第 %2 列：%3")
                                     .arg(c.line)
                                     .arg(c.column)
                                     .arg(QString::fromUtf8(c.what));
        EXPECT_EQ(e.message(), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Snapshot, SyntaxErrors,
    testing::ValuesIn(std::vector<SyntaxCase>{
        {"", 1, 1, "文件为空"},
        {" \n\t ", 2, 3, "文件为空"},
        {"{", 1, 2, "文件意外结束"},
        {R"({"A": [1 2]})", 1, 10, "缺少逗号或右方括号"},
        {R"({"A": [1)", 1, 9, "缺少逗号或右方括号"},
        {R"({"A": [1,]})", 1, 9, "多余的逗号"},
        {R"({"A": [], })", 1, 9, "多余的逗号"},
        {R"({"A": [] "B": []})", 1, 10, "缺少逗号或右花括号"},
        {R"({"A" [])", 1, 6, "缺少冒号"},
        {R"({A: []})", 1, 2, "缺少用双引号括起的属性名"},
        {R"({"A": [,]})", 1, 8, "缺少值"},
        {R"({"A": "abc})", 1, 12, "字符串未结束"},
        {"{\"A\": [\"ab\ncd\"]}", 1, 11, "字符串未结束"},
        {"{\"A\": [\"ab\tcd\"]}", 1, 11, "字符串中有未转义的控制字符"},
        {"{\"A\": [\"ab\x01\"]}", 1, 11, "字符串中有未转义的控制字符"},
        {R"({"A": ["\x"]})", 1, 9, "无效的转义序列"},
        {R"({"A": ["\u12"]})", 1, 9, "无效的转义序列"},
        {R"({"A": ["\u12G4"]})", 1, 9, "无效的转义序列"},
        {R"({"A": ["abc\)", 1, 13, "字符串未结束"},
        {R"({"A": tru})", 1, 7, "无效的值"},
        {R"({"A": nulls})", 1, 7, "无效的值"},
        {R"({"A": True})", 1, 7, "无效的值"},
        {R"({"A": 'x'})", 1, 7, "无效的值"},
        {R"({"A": .5})", 1, 7, "无效的值"},
        {R"({"A": -})", 1, 7, "无效的数字"},
        {R"({"A": 01})", 1, 7, "无效的数字"},
        {R"({"A": -01})", 1, 7, "无效的数字"},
        {R"({"A": 1.})", 1, 7, "无效的数字"},
        {R"({"A": 1.e5})", 1, 7, "无效的数字"},
        {R"({"A": 1e})", 1, 7, "无效的数字"},
        {R"({"A": 1e+})", 1, 7, "无效的数字"},
        {R"({"A": +1})", 1, 7, "无效的值"},
        {R"({"A": 0x1F})", 1, 7, "无效的数字"},
        {R"({"A": 1.2.3})", 1, 7, "无效的数字"},
        {R"({"A": NaN})", 1, 7, "无效的值"},
        {R"({"A": Infinity})", 1, 7, "无效的值"},
        {"{}\n}", 2, 1, "文件末尾有多余的内容"},
        {"{} {}", 1, 4, "文件末尾有多余的内容"},
        {std::string("{}\0", 3), 1, 3, "文件末尾有多余的内容"},
        // Columns count characters, not bytes; lines end at \n, \r\n or \r.
        {"{\n  \"类\": [01]\n}", 2, 9, "无效的数字"},
        {R"({"名称": "值", x})", 1, 13, "缺少用双引号括起的属性名"},
        {"{\r\n\"A\": []\r\n,}", 3, 1, "多余的逗号"},
        {"{\r\"A\": []\r,}", 3, 1, "多余的逗号"},
        {"{\"A\":\n\n   [1 2]}", 3, 7, "缺少逗号或右方括号"},
        {"{\"\xe4\xb8\xad\xff\": x}", 1, 8, "无效的值"},
        // The byte order mark takes no column; one that is not at the start is just a wrong byte.
        {"\xEF\xBB\xBF{]", 1, 2, "缺少用双引号括起的属性名"},
        {"\xEF\xBB\xBF", 1, 1, "文件为空"},
        {" \xEF\xBB\xBF{}", 1, 2, "无效的值"},
        {"\xEF\xBB\xBF\xEF\xBB\xBF{}", 1, 1, "无效的值"},
        {std::string(257, '[') + std::string(257, ']'), 1, 257, "嵌套过深"},
    }));

TEST(Snapshot, TopLevelMustBeAnObject) {
    for (const char* text : {"[]", "1", "\"Win32_BIOS\"", "null", "true", "\n  [{\"A\": []}]"}) {
        SCOPED_TRACE(text);
        try {
            read(text);
            ADD_FAILURE() << "read without an error";
        } catch (const SnapshotError& e) {
            EXPECT_EQ(e.message(), QStringLiteral("快照文件的顶层必须是以类名为键的对象"));
            if (text[0] == '\n') {
                EXPECT_EQ(e.line(), 2);
                EXPECT_EQ(e.column(), 3);
            } else {
                EXPECT_EQ(e.line(), 1);
                EXPECT_EQ(e.column(), 1);
            }
        }
    }
}

TEST(Snapshot, ByteOrderMarkIsSkipped) {
    const auto store = read("\xEF\xBB\xBF{\"X\": [{\"p\": \"v\"}]}");
    EXPECT_EQ(readProperty(store, QStringLiteral("p")).value, Variant(u"v"));
}

// Builds the text of a property value nested `depth` levels deep, counting the top-level object
// and the class's array as the first two.
std::string nested(int depth, bool objects) {
    std::string text = R"({"X": [{"p": )";
    for (int i = 3; i < depth; ++i) text += objects ? R"({"a": )" : "[";
    text += "1";
    for (int i = 3; i < depth; ++i) text += objects ? "}" : "]";
    return text + "}]}";
}

TEST(Snapshot, NestingUpToTheLimitIsRead) {
    for (bool objects : {false, true}) {
        const auto store = read(nested(json::kMaxDepth, objects));
        const Read r = readProperty(store, QStringLiteral("p"));
        // Arrays of arrays stay readable; an object anywhere makes the property unreadable.
        EXPECT_EQ(r.value.has_value(), !objects);
    }
}

TEST(Snapshot, NestingBeyondTheLimitIsAnErrorNotACrash) {
    for (int depth : {json::kMaxDepth + 1, 100000, 1000000}) {
        for (bool objects : {false, true}) {
            SCOPED_TRACE(testing::Message() << depth << (objects ? " objects" : " arrays"));
            try {
                read(nested(depth, objects));
                ADD_FAILURE() << "read without an error";
            } catch (const SnapshotError& e) {
                EXPECT_TRUE(e.message().endsWith(QStringLiteral("：嵌套过深")))
                    << e.message().toStdString();
                EXPECT_EQ(e.line(), 1);
            }
        }
    }
    // Unclosed, the way a damaged file would be.
    EXPECT_THROW(read(std::string(1000000, '[')), SnapshotError);
}

// --- files and connections -----------------------------------------------------------------------

TEST(Snapshot, LoadReadsAFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("机器.json"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{\"X\": [{\"p\": 7}]}");
    file.close();
    const auto store = loadSnapshot(path);
    EXPECT_EQ(readProperty(store, QStringLiteral("p")).value, Variant(7));
}

TEST(Snapshot, LoadReportsAMissingFileOrAFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const QString& path : {dir.filePath(QStringLiteral("没有.json")), dir.path()}) {
        try {
            loadSnapshot(path);
            ADD_FAILURE() << "loaded " << path.toStdString();
        } catch (const SnapshotError& e) {
            const QString prefix =
                QStringLiteral("无法读取快照文件 %1：").arg(QDir::toNativeSeparators(path));
            EXPECT_TRUE(e.message().startsWith(prefix)) << e.message().toStdString();
            EXPECT_GT(e.message().size(), prefix.size());  // a reason follows
            EXPECT_EQ(e.line(), 0);
        }
    }
}

TEST(Snapshot, LoadReportsSyntaxErrorsOfTheFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("bad.json"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{\n  \"X\": [\n    {\"p\": 1,}\n  ]\n}\n");
    file.close();
    try {
        loadSnapshot(path);
        ADD_FAILURE() << "loaded a damaged file";
    } catch (const SnapshotError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("快照文件第 3 行第 12 列：多余的逗号"));
        EXPECT_EQ(e.line(), 3);
        EXPECT_EQ(e.column(), 12);
    }
}

TEST(Snapshot, ConnectorAnswersEveryRequestFromTheStore) {
    const auto store = read(R"({"X": [{"p": 1}, {"p": 2}]})");
    SnapshotConnector connector(store);
    for (const ConnectRequest& request :
         {ConnectRequest{QStringLiteral("."), Road::CurrentLogin, {}, {}},
          ConnectRequest{QString(), Road::CurrentLogin, {}, {}},
          ConnectRequest{QStringLiteral("server-7"), Road::Credentials,
                         QStringLiteral("DOMAIN\\admin"), QStringLiteral("secret")}}) {
        std::unique_ptr<Service> service = connector.connect(request);
        ASSERT_NE(service, nullptr);
        auto collection = service->execQuery(QStringLiteral("select * from x"));
        int count = 0;
        while (collection->next()) ++count;
        EXPECT_EQ(count, 2) << request.host.toStdString();
    }
}

// --- writing -------------------------------------------------------------------------------------

// Compares two stores class by class, item by item and property by property.
void expectSameStores(const InstanceStore& a, const InstanceStore& b) {
    const auto ca = a.classes();
    const auto cb = b.classes();
    ASSERT_EQ(ca.size(), cb.size());
    for (size_t i = 0; i < ca.size(); ++i) {
        SCOPED_TRACE(ca[i]->name.toStdString());
        EXPECT_EQ(ca[i]->name, cb[i]->name);
        EXPECT_EQ(ca[i]->broken, cb[i]->broken);
        ASSERT_EQ(ca[i]->items.size(), cb[i]->items.size());
        for (size_t j = 0; j < ca[i]->items.size(); ++j) {
            SCOPED_TRACE(testing::Message() << "item " << j);
            const auto& ia = ca[i]->items[j];
            const auto& ib = cb[i]->items[j];
            ASSERT_EQ(ia.has_value(), ib.has_value());
            if (!ia) continue;
            ASSERT_EQ(ia->properties.size(), ib->properties.size());
            for (size_t k = 0; k < ia->properties.size(); ++k) {
                const Property& pa = ia->properties[k];
                const Property& pb = ib->properties[k];
                SCOPED_TRACE(pa.name.toStdString());
                EXPECT_EQ(pa.name, pb.name);
                EXPECT_EQ(pa.readable, pb.readable);
                if (pa.readable && pb.readable) {
                    EXPECT_EQ(pa.value.type(), pb.value.type());
                    EXPECT_EQ(pa.value, pb.value);
                    if (pa.value.type() == Variant::Type::Double) {  // tells 0.0 from -0.0
                        EXPECT_EQ(std::signbit(pa.value.doubleValue()),
                                  std::signbit(pb.value.doubleValue()));
                    }
                }
            }
        }
    }
}

InstanceStore sampleStore() {
    InstanceStore store;
    ClassData& os = store.addClass(QStringLiteral("Win32_OperatingSystem"));
    Instance a;
    a.set(QStringLiteral("Caption"), Variant(u"Debian GNU/Linux 12 (bookworm)"));
    a.set(QStringLiteral("Quotes"), Variant(u"say \"hi\" \\ back/slash"));
    a.set(QStringLiteral("Controls"),
          Variant(QString(QStringLiteral("\t\n\r\b\f") + QChar(0) + QChar(0x1F) + QChar(0x7F))));
    a.set(QStringLiteral("Chinese"), Variant(u"中文字符 – ü \uFEFF \u2028 😀"));
    a.set(QStringLiteral("Empty"), Variant(u""));
    a.set(QStringLiteral("Null"), Variant());
    a.set(QStringLiteral("IntMin"), Variant(std::numeric_limits<qint64>::min()));
    a.set(QStringLiteral("IntMax"), Variant(std::numeric_limits<qint64>::max()));
    a.set(QStringLiteral("Zero"), Variant(0));
    a.set(QStringLiteral("UIntBig"), Variant(std::numeric_limits<quint64>::max()));
    a.set(QStringLiteral("UIntJustAbove"), Variant(quint64(9223372036854775808ULL)));
    a.set(QStringLiteral("One"), Variant(1.0));
    a.set(QStringLiteral("Tenth"), Variant(0.1));
    a.set(QStringLiteral("NegZero"), Variant(-0.0));
    a.set(QStringLiteral("Huge"), Variant(1e300));
    a.set(QStringLiteral("Big"), Variant(1e21));
    a.set(QStringLiteral("Integral"), Variant(123456789012345680.0));
    a.set(QStringLiteral("Tiny"), Variant(std::numeric_limits<double>::denorm_min()));
    a.set(QStringLiteral("Max"), Variant(std::numeric_limits<double>::max()));
    a.set(QStringLiteral("True"), Variant(true));
    a.set(QStringLiteral("False"), Variant(false));
    a.set(QStringLiteral("Array"),
          Variant(Variant::Array{Variant(1), Variant(2.0), Variant(u"x"), Variant(), Variant(false),
                                 Variant(Variant::Array{}),
                                 Variant(Variant::Array{Variant(kUInt64Max)})}));
    a.set(QStringLiteral("EmptyArray"), Variant(Variant::Array{}));
    a.properties.push_back({QStringLiteral("Unreadable"), Variant(), false});
    a.set(QStringLiteral("Last"), Variant(u"z"));
    os.items.emplace_back(std::move(a));
    os.items.emplace_back(std::nullopt);
    os.items.emplace_back(Instance{});
    Instance b;
    b.set(QStringLiteral("名称"), Variant(u"第二个"));
    os.items.emplace_back(std::move(b));

    store.addClass(QStringLiteral("Empty_Class"));
    store.addClass(QStringLiteral("Broken_Class")).broken = true;
    ClassData& errors = store.addClass(QStringLiteral("类 \"带引号\""));
    errors.items.emplace_back(std::nullopt);
    return store;
}

TEST(Snapshot, WriteThenReadGivesTheSameStore) {
    const InstanceStore original = sampleStore();
    const QByteArray written = writeSnapshot(original);
    const auto back = readSnapshot(written);
    expectSameStores(original, *back);
    // And writing what was read gives the same text again.
    EXPECT_EQ(writeSnapshot(*back), written);
}

TEST(Snapshot, ReadThenWriteThenReadKeepsEverything) {
    const std::string text =
        std::string(R"({"A": [{"i": -3, "u": 18446744073709551615, "d": 2.0,)") +
        R"( "e": 1e-7, "s": "\u00e9\"\n", "b": true, "n": null,)" +
        R"( "arr": [1, [2, "x"]], "obj": {"k": 1}, "bad": "\ud800",)" +
        R"( "inf": 1e999}, "#enumeration-error", 5], "B": {}, "C": []})";
    const auto first = read(text);
    const auto second = readSnapshot(writeSnapshot(*first));
    expectSameStores(*first, *second);
}

TEST(Snapshot, WriteUsesTheDocumentedLayout) {
    InstanceStore store;
    ClassData& c = store.addClass(QStringLiteral("Win32_Processor"));
    Instance cpu;
    cpu.set(QStringLiteral("Name"), Variant(u"Intel® Core™ i7"));
    cpu.set(QStringLiteral("Clock"), Variant(1.0));
    cpu.set(QStringLiteral("Cores"), Variant(8));
    cpu.set(QStringLiteral("Flags"), Variant(Variant::Array{Variant(u"sse"), Variant(u"avx")}));
    cpu.properties.push_back({QStringLiteral("Odd"), Variant(), false});
    c.items.emplace_back(std::move(cpu));
    c.items.emplace_back(std::nullopt);
    store.addClass(QStringLiteral("Win32_Fan"));
    store.addClass(QStringLiteral("Win32_Broken")).broken = true;

    const QByteArray expected =
        "{\n"
        "  \"Win32_Processor\": [\n"
        "    {\n"
        "      \"Name\": \"Intel\xC2\xAE Core\xE2\x84\xA2 i7\",\n"
        "      \"Clock\": 1.0,\n"
        "      \"Cores\": 8,\n"
        "      \"Flags\": [\"sse\", \"avx\"],\n"
        "      \"Odd\": {}\n"
        "    },\n"
        "    \"#enumeration-error\"\n"
        "  ],\n"
        "  \"Win32_Fan\": [],\n"
        "  \"Win32_Broken\": {}\n"
        "}\n";
    EXPECT_EQ(writeSnapshot(store), expected);
    EXPECT_EQ(writeSnapshot(InstanceStore()), QByteArray("{}\n"));
}

TEST(Snapshot, WriteEscapesWhatJsonRequires) {
    InstanceStore store;
    Instance i;
    i.set(QStringLiteral("s"), Variant(QString(QStringLiteral("a\"b\\c\x01\x1f/") + QChar(0))));
    store.addClass(QStringLiteral("X")).items.emplace_back(std::move(i));
    const QByteArray written = writeSnapshot(store);
    EXPECT_TRUE(written.contains(R"("s": "a\"b\\c\u0001\u001f/\u0000")")) << written.toStdString();
}

TEST(Snapshot, WriteKeepsValuesWithoutJsonFormUnreadable) {
    InstanceStore store;
    Instance i;
    i.set(QStringLiteral("inf"), Variant(std::numeric_limits<double>::infinity()));
    i.set(QStringLiteral("nan"), Variant(std::numeric_limits<double>::quiet_NaN()));
    i.set(QStringLiteral("arr"), Variant(Variant::Array{Variant(1), Variant(-HUGE_VAL)}));
    i.set(QStringLiteral("lone"), Variant(QString(QChar(0xD800))));
    i.set(QStringLiteral("ok"), Variant(2.5));
    store.addClass(QStringLiteral("X")).items.emplace_back(std::move(i));
    const auto back = readSnapshot(writeSnapshot(store));
    const Instance& r = *back->findClass(u"X")->items.at(0);
    ASSERT_EQ(r.properties.size(), 5u);
    for (const char* name : {"inf", "nan", "arr", "lone"}) {
        const Property* p = r.find(QString::fromUtf8(name));
        ASSERT_NE(p, nullptr) << name;
        EXPECT_FALSE(p->readable) << name;
    }
    EXPECT_EQ(r.find(u"ok")->value, Variant(2.5));
}

TEST(Snapshot, DoublesRoundTripBitForBitAndStayDoubles) {
    std::mt19937_64 random(20240611);
    InstanceStore store;
    ClassData& c = store.addClass(QStringLiteral("X"));
    std::vector<double> values = {0.0,  -0.0, 1.0,  -1.0,   3.0, 1e15,    1e16,
                                  1e17, 1e22, 1e23, 2e-308, 0.1, 1.0 / 3, 9007199254740993.0};
    while (values.size() < 5000) {
        const double d = std::bit_cast<double>(random());
        if (std::isfinite(d)) values.push_back(d);
    }
    for (int i = 0; i < 2000; ++i)  // whole numbers, which are the ones at risk of turning Int
        values.push_back(double(qint64(random() >> (random() % 64))));
    for (double d : values) {
        Instance instance;
        instance.set(QStringLiteral("d"), Variant(d));
        c.items.emplace_back(std::move(instance));
    }
    const auto back = readSnapshot(writeSnapshot(store));
    const ClassData* r = back->findClass(u"X");
    ASSERT_EQ(r->items.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        const Variant& v = r->items[i]->properties.at(0).value;
        ASSERT_EQ(v.type(), Variant::Type::Double) << values[i];
        ASSERT_EQ(std::bit_cast<quint64>(v.doubleValue()), std::bit_cast<quint64>(values[i]))
            << values[i];
    }
}

TEST(Snapshot, TextRoundTripsForAnyValidUnicode) {
    std::mt19937 random(7);
    InstanceStore store;
    ClassData& c = store.addClass(QStringLiteral("X"));
    std::vector<QString> texts;
    for (int n = 0; n < 500; ++n) {
        QString s;
        const int length = int(random() % 40);
        for (int i = 0; i < length; ++i) {
            char32_t cp;
            switch (random() % 4) {
                case 0:
                    cp = random() % 0x80;
                    break;
                case 1:
                    cp = random() % 0x800;
                    break;
                case 2:
                    cp = random() % 0x10000;
                    break;
                default:
                    cp = 0x10000 + random() % 0x100000;
                    break;
            }
            if (cp >= 0xD800 && cp <= 0xDFFF) cp = u'?';
            const char32_t one[1] = {cp};
            s += QString::fromUcs4(one, 1);
        }
        texts.push_back(s);
        Instance instance;
        instance.set(QStringLiteral("s"), Variant(s));
        c.items.emplace_back(std::move(instance));
    }
    const auto back = readSnapshot(writeSnapshot(store));
    const ClassData* r = back->findClass(u"X");
    ASSERT_EQ(r->items.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        const Property& p = r->items[i]->properties.at(0);
        ASSERT_TRUE(p.readable);
        ASSERT_EQ(p.value, Variant(texts[i]));
    }
}

}  // namespace
}  // namespace qelto::wmi
