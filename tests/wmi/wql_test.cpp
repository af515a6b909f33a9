#include "wmi/wql.h"
#include "wmi/error.h"
#include "wmi/store.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;
using qelto::wmi::Error;
using qelto::wmi::Variant;
namespace code = qelto::wmi::code;
namespace wql = qelto::wmi::wql;

namespace {

struct Prop {
    QString name;
    Variant value;
};
using Props = std::vector<Prop>;

// An instance for matches(): a property it lacks is looked up as nullopt, like an unreadable one.
wql::Lookup lookupIn(const Props& props) {
    return [&props](QStringView name) -> std::optional<Variant> {
        for (const Prop& p : props)
            if (name.compare(p.name, Qt::CaseInsensitive) == 0) return p.value;
        return std::nullopt;
    };
}

std::ostream& operator<<(std::ostream& os, const Variant& v) {
    os << qelto::wmi::typeName(v.type());
    switch (v.type()) {
        case Variant::Type::Text:
            return os << " \"" << v.textValue().toStdString() << '"';
        case Variant::Type::Int:
            return os << ' ' << v.intValue();
        case Variant::Type::UInt:
            return os << ' ' << v.uintValue();
        case Variant::Type::Double:
            return os << ' ' << v.doubleValue();
        case Variant::Type::Bool:
            return os << (v.boolValue() ? " true" : " false");
        default:
            return os;
    }
}

// "(((x = 1)))" with `depth` pairs of parentheses.
QString nested(int depth) {
    return u"Select * From C where "_s + QString(depth, u'(') + u"x = 1"_s + QString(depth, u')');
}

QString manyNots(int count) {
    QString s = u"Select * From C where "_s;
    for (int i = 0; i < count; ++i) s += u"NOT "_s;
    return s + u"x = 1"_s;
}

const QString adapterQuery =
    u"Select * From Win32_NetworkAdapter where MACAddress Is Not NULL and Manufacturer <> "
    u"'Microsoft' and Manufacturer <> 'Kaspersky Lab' and Manufacturer <> 'VMware, Inc.' "_s;
const QString ipEnabledQuery =
    u"Select * From Win32_NetworkAdapterConfiguration WHERE  IPEnabled = True"_s;
const Variant mac = Variant(u"00:1B:21:3A:4F:10");

constexpr qint64 int64Max = std::numeric_limits<qint64>::max();
constexpr qint64 int64Min = std::numeric_limits<qint64>::min();
constexpr quint64 uint64Max = std::numeric_limits<quint64>::max();

// ---- Matching -----------------------------------------------------------------------------------

struct MatchRow {
    const char* name;  // the test's name
    QString query;
    Props props;
    bool expected;
};

void PrintTo(const MatchRow& row, std::ostream* os) {
    *os << row.query.toStdString() << " with {";
    for (const Prop& p : row.props) *os << ' ' << p.name.toStdString() << '=' << p.value << ';';
    *os << " } -> " << (row.expected ? "match" : "no match");
}

QString where(const char16_t* condition) {
    return u"Select * From C where "_s + QString::fromUtf16(condition);
}

std::vector<MatchRow> matchRows() {
    const Variant null;
    return {
        // The adapter query of the network group.
        {"AdapterIntel",
         adapterQuery,
         {{u"MACAddress"_s, mac}, {u"Manufacturer"_s, Variant(u"Intel Corporation")}},
         true},
        {"AdapterNameContainsMicrosoft",
         adapterQuery,
         {{u"MACAddress"_s, mac}, {u"Manufacturer"_s, Variant(u"Microsoft Corporation")}},
         true},
        {"AdapterManufacturerNull",
         adapterQuery,
         {{u"MACAddress"_s, mac}, {u"Manufacturer"_s, null}},
         false},
        {"AdapterManufacturerMissing", adapterQuery, {{u"MACAddress"_s, mac}}, false},
        {"AdapterMicrosoftLowerCase",
         adapterQuery,
         {{u"MACAddress"_s, mac}, {u"Manufacturer"_s, Variant(u"microsoft")}},
         false},
        {"AdapterKaspersky",
         adapterQuery,
         {{u"MACAddress"_s, mac}, {u"Manufacturer"_s, Variant(u"Kaspersky Lab")}},
         false},
        {"AdapterVMwareUpperCase",
         adapterQuery,
         {{u"MACAddress"_s, mac}, {u"Manufacturer"_s, Variant(u"VMWARE, INC.")}},
         false},
        {"AdapterMacNull",
         adapterQuery,
         {{u"MACAddress"_s, null}, {u"Manufacturer"_s, Variant(u"Intel Corporation")}},
         false},
        {"AdapterMacMissing",
         adapterQuery,
         {{u"Manufacturer"_s, Variant(u"Intel Corporation")}},
         false},
        {"AdapterPropertyNamesInOtherCase",
         adapterQuery,
         {{u"macaddress"_s, mac}, {u"MANUFACTURER"_s, Variant(u"Realtek")}},
         true},

        // The IP configuration query.
        {"IpEnabledTrue", ipEnabledQuery, {{u"IPEnabled"_s, Variant(true)}}, true},
        {"IpEnabledFalse", ipEnabledQuery, {{u"IPEnabled"_s, Variant(false)}}, false},
        {"IpEnabledNull", ipEnabledQuery, {{u"IPEnabled"_s, null}}, false},
        {"IpEnabledMissing", ipEnabledQuery, {}, false},
        {"IpEnabledTextTrue", ipEnabledQuery, {{u"IPEnabled"_s, Variant(u"TRUE")}}, true},

        // Exclusions by name from the display and printer groups.
        {"CaptionOther",
         u"Select * From Win32_VideoController where caption <> 'DameWare Development Mirror "
         u"Driver'"_s,
         {{u"Caption"_s, Variant(u"NVIDIA GeForce GTX 1060")}},
         true},
        {"CaptionExcluded",
         u"Select * From Win32_VideoController where caption <> 'DameWare Development Mirror "
         u"Driver'"_s,
         {{u"Caption"_s, Variant(u"DameWare Development Mirror Driver")}},
         false},
        {"CaptionExcludedOtherCase",
         u"Select * From Win32_VideoController where caption <> 'DameWare Development Mirror "
         u"Driver'"_s,
         {{u"Caption"_s, Variant(u"dameware development MIRROR driver")}},
         false},
        {"CaptionNull",
         u"Select * From Win32_VideoController where caption <> 'DameWare Development Mirror "
         u"Driver'"_s,
         {{u"Caption"_s, null}},
         false},
        {"PrinterOther",
         u"Select * From Win32_Printer where Name <> 'Microsoft Office Document Image Writer'"_s,
         {{u"Name"_s, Variant(u"HP LaserJet 1020")}},
         true},
        {"PrinterExcluded",
         u"Select * From Win32_Printer where Name <> 'Microsoft Office Document Image Writer'"_s,
         {{u"Name"_s, Variant(u"Microsoft Office Document Image Writer")}},
         false},

        // Three-valued logic.
        {"NotOfNullIsUnknown", where(u"NOT (x = 1)"), {{u"x"_s, null}}, false},
        {"NotOfMissingIsUnknown", where(u"NOT (x = 1)"), {}, false},
        {"NotOfFalse", where(u"NOT (x = 1)"), {{u"x"_s, Variant(2)}}, true},
        {"NotOfTrue", where(u"NOT (x = 1)"), {{u"x"_s, Variant(1)}}, false},
        {"NotBindsToComparison", where(u"NOT x = 1"), {{u"x"_s, Variant(2)}}, true},
        {"DoubleNotOfNull", where(u"NOT NOT x = 1"), {{u"x"_s, null}}, false},
        {"DoubleNotOfTrue", where(u"NOT NOT x = 1"), {{u"x"_s, Variant(1)}}, true},
        {"UnknownOrTrue", where(u"x = 1 OR y = 2"), {{u"x"_s, null}, {u"y"_s, Variant(2)}}, true},
        {"TrueOrUnknown", where(u"y = 2 OR x = 1"), {{u"x"_s, null}, {u"y"_s, Variant(2)}}, true},
        {"UnknownOrFalse", where(u"x = 1 OR y = 2"), {{u"x"_s, null}, {u"y"_s, Variant(3)}}, false},
        {"NotOfUnknownOrFalse",
         where(u"NOT (x = 1 OR y = 2)"),
         {{u"x"_s, null}, {u"y"_s, Variant(3)}},
         false},
        {"NotOfUnknownAndFalse",
         where(u"NOT (x = 1 AND y = 2)"),
         {{u"x"_s, null}, {u"y"_s, Variant(3)}},
         true},
        {"NotOfUnknownAndTrue",
         where(u"NOT (x = 1 AND y = 2)"),
         {{u"x"_s, null}, {u"y"_s, Variant(2)}},
         false},
        {"AndBindsTighterThanOr",
         where(u"a = 1 OR b = 1 AND c = 1"),
         {{u"a"_s, Variant(1)}, {u"b"_s, Variant(0)}, {u"c"_s, Variant(0)}},
         true},
        {"AndBindsTighterThanOr2",
         where(u"a = 1 OR b = 1 AND c = 1"),
         {{u"a"_s, Variant(0)}, {u"b"_s, Variant(1)}, {u"c"_s, Variant(0)}},
         false},
        {"ParenthesesGroupOr",
         where(u"(a = 1 OR b = 1) AND c = 1"),
         {{u"a"_s, Variant(1)}, {u"b"_s, Variant(0)}, {u"c"_s, Variant(0)}},
         false},
        {"NotBindsTighterThanAnd",
         where(u"NOT a = 1 AND b = 1"),
         {{u"a"_s, Variant(0)}, {u"b"_s, Variant(0)}},
         false},
        {"NotBindsTighterThanOr",
         where(u"NOT a = 1 OR b = 1"),
         {{u"a"_s, Variant(1)}, {u"b"_s, Variant(1)}},
         true},
        {"SamePropertyTwice", where(u"x = 1 OR X = 2"), {{u"x"_s, Variant(2)}}, true},
        {"DeepestNestingAllowed", nested(64), {{u"x"_s, Variant(1)}}, true},
        {"LongNotChainOdd", manyNots(100001), {{u"x"_s, Variant(1)}}, false},
        {"LongNotChainEven", manyNots(100000), {{u"x"_s, Variant(1)}}, true},

        // IS NULL and the literal NULL.
        {"IsNullOfNull", where(u"x IS NULL"), {{u"x"_s, null}}, true},
        {"IsNullOfMissing", where(u"x IS NULL"), {}, true},
        {"IsNullOfEmptyText", where(u"x IS NULL"), {{u"x"_s, Variant(u"")}}, false},
        {"IsNullOfZero", where(u"x IS NULL"), {{u"x"_s, Variant(0)}}, false},
        {"IsNullOfArray", where(u"x IS NULL"), {{u"x"_s, Variant(Variant::Array{})}}, false},
        {"IsNotNullOfNull", where(u"x is not null"), {{u"x"_s, null}}, false},
        {"IsNotNullOfValue", where(u"x is not null"), {{u"x"_s, Variant(false)}}, true},
        {"NotIsNullOfNull", where(u"NOT x IS NULL"), {{u"x"_s, null}}, false},
        {"NotIsNotNullOfNull", where(u"NOT x IS NOT NULL"), {{u"x"_s, null}}, true},
        {"EqualsNullLiteralOfNull", where(u"x = NULL"), {{u"x"_s, null}}, false},
        {"NotEqualsNullLiteral", where(u"NOT (x = NULL)"), {{u"x"_s, Variant(1)}}, false},
        {"DiffersFromNullLiteral", where(u"x <> NULL"), {{u"x"_s, Variant(1)}}, false},
        {"NullLiteralOnTheLeft", where(u"NULL <> x"), {{u"x"_s, Variant(1)}}, false},

        // Arrays are unknown.
        {"ArrayEquals", where(u"x = 1"), {{u"x"_s, Variant(Variant::Array{Variant(1)})}}, false},
        {"ArrayNotEquals",
         where(u"NOT (x = 1)"),
         {{u"x"_s, Variant(Variant::Array{Variant(2)})}},
         false},

        // Numbers with number literals.
        {"IntEquals", where(u"x = 5"), {{u"x"_s, Variant(5)}}, true},
        {"IntEqualsDoubleLiteral", where(u"x = 5.0"), {{u"x"_s, Variant(5)}}, true},
        {"IntBelowFraction", where(u"x < 5.5"), {{u"x"_s, Variant(5)}}, true},
        {"IntAboveFraction", where(u"x > 4.999"), {{u"x"_s, Variant(5)}}, true},
        {"IntGreaterOrEqual", where(u"x >= 5"), {{u"x"_s, Variant(5)}}, true},
        {"IntLessOrEqual", where(u"x <= 4"), {{u"x"_s, Variant(5)}}, false},
        {"IntBangEquals", where(u"x != 5"), {{u"x"_s, Variant(5)}}, false},
        {"IntNotEquals", where(u"x <> 6"), {{u"x"_s, Variant(5)}}, true},
        {"IntNegative", where(u"x = -5"), {{u"x"_s, Variant(-5)}}, true},
        {"IntNegativeNoBlanks", where(u"x<>-5"), {{u"x"_s, Variant(5)}}, true},
        {"IntPlusSign", where(u"x = +5"), {{u"x"_s, Variant(5)}}, true},
        {"IntExponent", where(u"x = 25e-1"), {{u"x"_s, Variant(2.5)}}, true},
        {"LiteralLeftEquals", where(u"5 = x"), {{u"x"_s, Variant(5)}}, true},
        {"LiteralLeftMirrorsLess", where(u"4 < x"), {{u"x"_s, Variant(5)}}, true},
        {"LiteralLeftMirrorsGreater", where(u"4 > x"), {{u"x"_s, Variant(5)}}, false},
        {"LiteralLeftMirrorsLessOrEqual", where(u"6 <= x"), {{u"x"_s, Variant(5)}}, false},
        {"LiteralLeftMirrorsGreaterOrEqual", where(u"5 >= x"), {{u"x"_s, Variant(5)}}, true},
        {"UIntMaxAboveMinusOne", where(u"x > -1"), {{u"x"_s, Variant(uint64Max)}}, true},
        {"MinusOneBelowUIntMax", where(u"x < 18446744073709551615"), {{u"x"_s, Variant(-1)}}, true},
        {"UIntMaxEquals", where(u"x = 18446744073709551615"), {{u"x"_s, Variant(uint64Max)}}, true},
        {"UIntMaxAboveNeighbour",
         where(u"x > 18446744073709551614"),
         {{u"x"_s, Variant(uint64Max)}},
         true},
        {"UIntMaxBelowTwoTo64",
         where(u"x < 18446744073709551616"),
         {{u"x"_s, Variant(uint64Max)}},
         true},
        {"Int64MaxNotEqualNeighbour",
         where(u"x = 9223372036854775806"),
         {{u"x"_s, Variant(int64Max)}},
         false},
        {"Int64MaxAboveNeighbour",
         where(u"x > 9223372036854775806"),
         {{u"x"_s, Variant(int64Max)}},
         true},
        {"Int64MinEquals", where(u"x = -9223372036854775808"), {{u"x"_s, Variant(int64Min)}}, true},
        {"IntExactAgainstDouble",
         where(u"x > 9007199254740992.0"),
         {{u"x"_s, Variant(qint64(9007199254740993))}},
         true},
        {"UIntExactAgainstDouble",
         where(u"x > 9007199254740992.0"),
         {{u"x"_s, Variant(quint64(9007199254740993))}},
         true},
        {"DoubleAgainstInt", where(u"x > 2"), {{u"x"_s, Variant(2.5)}}, true},
        {"DoubleEquals", where(u"x = 2.5"), {{u"x"_s, Variant(2.5)}}, true},
        {"InfinityAboveInt64Max",
         where(u"x > 9223372036854775807"),
         {{u"x"_s, Variant(std::numeric_limits<double>::infinity())}},
         true},
        {"NaNNotEqual",
         where(u"x <> 1"),
         {{u"x"_s, Variant(std::numeric_limits<double>::quiet_NaN())}},
         false},
        {"NaNNotOfEqual",
         where(u"NOT (x = 1)"),
         {{u"x"_s, Variant(std::numeric_limits<double>::quiet_NaN())}},
         false},

        // Text that reads as a number.
        {"NumericTextAbove",
         where(u"Size > 400000000000"),
         {{u"Size"_s, Variant(u"500107862016")}},
         true},
        {"NumericTextBelow",
         where(u"Size > 600000000000"),
         {{u"Size"_s, Variant(u"500107862016")}},
         false},
        {"NumericTextEquals",
         where(u"Size = 500107862016"),
         {{u"Size"_s, Variant(u"500107862016")}},
         true},
        {"NumericTextNotByText", where(u"x < 10"), {{u"x"_s, Variant(u"9")}}, true},
        {"NumericTextUIntMax",
         where(u"x > -1"),
         {{u"x"_s, Variant(u"18446744073709551615")}},
         true},
        {"NumericTextExponent", where(u"x = 1000"), {{u"x"_s, Variant(u"1e3")}}, true},
        {"NumericTextWithStringLiteralIsText",
         where(u"Size = '500107862016.0'"),
         {{u"Size"_s, Variant(u"500107862016")}},
         false},
        {"NonNumericTextUnknown", where(u"NOT (x = 1)"), {{u"x"_s, Variant(u"abc")}}, false},
        {"NumericTextWithBlankUnknown", where(u"NOT (x = 42)"), {{u"x"_s, Variant(u" 42")}}, false},
        {"NumericTextHugeUnknown", where(u"NOT (x = 1)"), {{u"x"_s, Variant(u"1e999")}}, false},
        {"NumberWithNumericString", where(u"x > '9'"), {{u"x"_s, Variant(10)}}, true},
        {"NumberWithOtherString", where(u"NOT (x = 'abc')"), {{u"x"_s, Variant(10)}}, false},

        // Text with strings.
        {"TextEqualsOtherCase", where(u"Name = 'HELLO'"), {{u"Name"_s, Variant(u"hello")}}, true},
        {"TextOrderIgnoresCase", where(u"Name < 'Banana'"), {{u"Name"_s, Variant(u"apple")}}, true},
        {"TextOrderIgnoresCase2", where(u"Name > 'apple'"), {{u"Name"_s, Variant(u"ZEBRA")}}, true},
        {"TextDiffers", where(u"Name = 'hello'"), {{u"Name"_s, Variant(u"hello ")}}, false},
        {"TextEscapedQuote",
         where(u"Name = 'O\\'Brien'"),
         {{u"Name"_s, Variant(u"O'Brien")}},
         true},
        {"TextEscapedBackslash",
         where(u"Name = \"C:\\\\Windows\""),
         {{u"Name"_s, Variant(u"C:\\Windows")}},
         true},
        {"TextEscapedOther", where(u"Name = 'a\\qb'"), {{u"Name"_s, Variant(u"aqb")}}, true},
        {"TextDoubleQuotedWithApostrophe",
         where(u"Name = \"it's\""),
         {{u"Name"_s, Variant(u"it's")}},
         true},
        {"TextChinese", where(u"Name = '无线网卡'"), {{u"Name"_s, Variant(u"无线网卡")}}, true},
        {"TextEmpty", where(u"Name = ''"), {{u"Name"_s, Variant(u"")}}, true},
        {"TextLiteralLeft",
         where(u"'Intel' = Manufacturer"),
         {{u"Manufacturer"_s, Variant(u"intel")}},
         true},

        // Booleans.
        {"BoolEqualsTrue", where(u"Flag = TRUE"), {{u"Flag"_s, Variant(true)}}, true},
        {"BoolEqualsFalse", where(u"Flag = false"), {{u"Flag"_s, Variant(true)}}, false},
        {"BoolTrueAboveFalse", where(u"Flag > FALSE"), {{u"Flag"_s, Variant(true)}}, true},
        {"BoolTrueNotBelowTrue", where(u"Flag < TRUE"), {{u"Flag"_s, Variant(true)}}, false},
        {"BoolFalseBelowTrue", where(u"Flag < TRUE"), {{u"Flag"_s, Variant(false)}}, true},
        {"BoolAsOne", where(u"Flag = 1"), {{u"Flag"_s, Variant(true)}}, true},
        {"BoolAsZero", where(u"Flag = 0"), {{u"Flag"_s, Variant(true)}}, false},
        {"BoolAgainstFraction", where(u"Flag > 0.5"), {{u"Flag"_s, Variant(true)}}, true},
        {"BoolWithTextTrue", where(u"Flag = 'True'"), {{u"Flag"_s, Variant(true)}}, true},
        {"BoolWithOtherText", where(u"NOT (Flag = 'yes')"), {{u"Flag"_s, Variant(true)}}, false},
        {"IntOneIsTrue", where(u"x = TRUE"), {{u"x"_s, Variant(1)}}, true},
        {"IntTwoIsNotTrue", where(u"x = TRUE"), {{u"x"_s, Variant(2)}}, false},
        {"TextFalseIsFalse", where(u"x = FALSE"), {{u"x"_s, Variant(u"False")}}, true},
        {"TextNoIsNotFalse", where(u"x <> FALSE"), {{u"x"_s, Variant(u"no")}}, true},

        // Layout and case of the text.
        {"NoBlanks", u"select*from C where(x=1)"_s, {{u"x"_s, Variant(1)}}, true},
        {"BlanksEverywhere",
         u"\n\t SELECT\t*\nFROM  C\r\nWHERE\tx\n=\n1  \n"_s,
         {{u"x"_s, Variant(1)}},
         true},
        {"KeywordsMixedCase",
         u"sElEcT * fRoM C wHeRe x iS nOt NuLl AnD y = tRuE"_s,
         {{u"x"_s, Variant(1)}, {u"y"_s, Variant(true)}},
         true},
        {"NoWhere", u"Select * From C"_s, {}, true},
    };
}

class Matching : public testing::TestWithParam<MatchRow> {};

TEST_P(Matching, Row) {
    const MatchRow& row = GetParam();
    const wql::Query query = wql::parse(row.query);
    EXPECT_EQ(query.matches(lookupIn(row.props)), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Wql, Matching, testing::ValuesIn(matchRows()),
                         [](const testing::TestParamInfo<MatchRow>& info) {
                             return std::string(info.param.name);
                         });

// ---- Malformed queries ------------------------------------------------------------------------

struct BadRow {
    const char* name;
    QString query;
};

void PrintTo(const BadRow& row, std::ostream* os) {
    *os << '"' << row.query.left(200).toStdString() << '"';
}

std::vector<BadRow> badRows() {
    return {
        {"Empty", u""_s},
        {"OnlyBlanks", u" \t\n "_s},
        {"OnlySelect", u"SELECT"_s},
        {"NoFrom", u"SELECT *"_s},
        {"NoClass", u"SELECT * FROM"_s},
        {"NoClassBeforeWhere", u"SELECT * FROM where x = 1"_s},
        {"NoSelect", u"* FROM C"_s},
        {"PropertyList", u"SELECT Name FROM C"_s},
        {"StarTwice", u"SELECT * * FROM C"_s},
        {"FromMissing", u"SELECT * C"_s},
        {"ClassIsNumber", u"SELECT * FROM 1abc"_s},
        {"ClassWithDash", u"SELECT * FROM Win32-Disk"_s},
        {"JunkAfterClass", u"SELECT * FROM C junk"_s},
        {"OrderBy", u"SELECT * FROM C ORDER BY x"_s},
        {"EmptyWhere", u"SELECT * FROM C WHERE"_s},
        {"EmptyWhereBlanks", u"SELECT * FROM C WHERE   "_s},
        {"PropertyAlone", where(u"x")},
        {"MissingLiteral", where(u"x =")},
        {"MissingProperty", where(u"= 1")},
        {"LiteralWithLiteral", where(u"1 = 1")},
        {"PropertyWithProperty", where(u"x = y")},
        {"DoubleEquals", where(u"x == 1")},
        {"BangAlone", where(u"x ! 1")},
        {"Like", where(u"x LIKE 'a%'")},
        {"UnterminatedSingle", where(u"x = 'abc")},
        {"UnterminatedDouble", where(u"x = \"abc")},
        {"UnterminatedEscapedQuote", where(u"x = 'abc\\'")},
        {"UnterminatedBackslashAtEnd", where(u"x = 'abc\\")},
        {"UnterminatedChinese", where(u"x = '网卡")},
        {"NumberRunsIntoWord", where(u"x = 1abc")},
        {"NumberTrailingDot", where(u"x = 1.")},
        {"NumberExponentWithoutDigits", where(u"x = 1e")},
        {"NumberTwoDots", where(u"x = 1.2.3")},
        {"NumberLeadingDot", where(u"x = .5")},
        {"SignAlone", where(u"x = - 1")},
        {"NumberOutOfRange", where(u"x = 1e999")},
        {"JunkAfterCondition", where(u"x = 1 junk")},
        {"Semicolon", where(u"x = 1;")},
        {"TwoLiterals", where(u"x = TRUE FALSE")},
        {"TrailingAnd", where(u"x = 1 AND")},
        {"DoubleOr", where(u"x = 1 OR OR y = 2")},
        {"NotAlone", where(u"NOT")},
        {"IsWithoutNull", where(u"x IS 1")},
        {"IsNotWithoutNull", where(u"x IS NOT")},
        {"IsNullTwice", where(u"x IS NULL NULL")},
        {"NullIsNull", where(u"NULL IS NULL")},
        {"KeywordAsProperty", where(u"AND = 1")},
        {"UnclosedParenthesis", where(u"(x = 1")},
        {"UnclosedInnerParenthesis", where(u"((x = 1)")},
        {"ExtraCloseParenthesis", where(u"x = 1)")},
        {"EmptyParentheses", where(u"()")},
        {"EmptyOperandInParentheses", where(u"x = 1 AND (y = 2 OR )")},
        {"FullWidthParenthesis", where(u"（x = 1）")},
        {"FullWidthBlank", u"SELECT\u3000* FROM C"_s},
        {"NestingTooDeep", nested(65)},
        {"NestingFarTooDeep", nested(100000)},
        {"OpenParenthesesOnly", where(u"") + QString(100000, u'(')},
    };
}

class Malformed : public testing::TestWithParam<BadRow> {};

TEST_P(Malformed, ThrowsInvalidQuery) {
    const BadRow& row = GetParam();
    try {
        wql::parse(row.query);
        ADD_FAILURE() << "parsed without an error";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), code::InvalidQuery);
        EXPECT_TRUE(e.description().startsWith(u"无效的查询："_s)) << e.description().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Wql, Malformed, testing::ValuesIn(badRows()),
                         [](const testing::TestParamInfo<BadRow>& info) {
                             return std::string(info.param.name);
                         });

// ---- The parsed query ---------------------------------------------------------------------------

TEST(WqlQuery, ClassNameKeepsItsCase) {
    const struct {
        QString query;
        QString className;
        bool hasWhere;
    } rows[] = {
        {u"Select * From Win32_DiskDrive"_s, u"Win32_DiskDrive"_s, false},
        {u"SELECT * FROM win32_diskdrive"_s, u"win32_diskdrive"_s, false},
        {u"  select * from WIN32_PROCESSOR where Name is not null "_s, u"WIN32_PROCESSOR"_s, true},
        {ipEnabledQuery, u"Win32_NetworkAdapterConfiguration"_s, true},
        {u"select * from _Private2"_s, u"_Private2"_s, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query.toStdString());
        const wql::Query q = wql::parse(row.query);
        EXPECT_EQ(q.className(), row.className);
        EXPECT_EQ(q.hasWhere(), row.hasWhere);
    }
}

TEST(WqlQuery, LooksEachPropertyUpOnce) {
    const wql::Query q = wql::parse(
        u"Select * From C where (Manufacturer <> 'a' and MANUFACTURER <> 'b') or "
        u"manufacturer = 'c' or Manufacturer IS NULL"_s);
    int calls = 0;
    const bool matched = q.matches([&](QStringView name) -> std::optional<Variant> {
        ++calls;
        EXPECT_EQ(name.compare(u"Manufacturer"_s, Qt::CaseInsensitive), 0);
        return Variant(u"c");
    });
    EXPECT_TRUE(matched);
    EXPECT_EQ(calls, 1);
}

TEST(WqlQuery, WithoutWhereNeverLooksUp) {
    const wql::Query q = wql::parse(u"Select * From C"_s);
    EXPECT_TRUE(q.matches([](QStringView) -> std::optional<Variant> {
        ADD_FAILURE() << "looked a property up";
        return std::nullopt;
    }));
}

TEST(WqlQuery, ManyPropertiesInOneWhere) {
    // More distinct properties than a small evaluation keeps at hand.
    QString text = u"Select * From C where p0 = 0"_s;
    Props props{{u"p0"_s, Variant(0)}};
    for (int i = 1; i < 20; ++i) {
        text += u" and p%1 = %1"_s.arg(i);
        props.push_back({u"p%1"_s.arg(i), Variant(i)});
    }
    const wql::Query q = wql::parse(text);
    EXPECT_TRUE(q.matches(lookupIn(props)));
    props[13].value = Variant(-13);
    EXPECT_FALSE(q.matches(lookupIn(props)));
    props[13].value = Variant();
    EXPECT_FALSE(q.matches(lookupIn(props)));
}

// ---- Through StoreService ----------------------------------------------------------------------

class StoreQueries : public testing::Test {
  protected:
    void SetUp() override {
        auto store = std::make_shared<qelto::wmi::InstanceStore>();
        qelto::wmi::ClassData& adapters = store->addClass(u"Win32_NetworkAdapter"_s);
        adapters.items.push_back(adapter(u"Intel(R) Ethernet", Variant(u"Intel Corporation")));
        adapters.items.push_back(adapter(u"Hyper-V", Variant(u"microsoft")));
        adapters.items.push_back(adapter(u"Miniport", Variant()));
        adapters.items.push_back(adapter(u"Realtek PCIe GbE", Variant(u"Realtek")));
        qelto::wmi::Instance unreadable = adapter(u"Broken", Variant(u"Intel Corporation"));
        unreadable.properties.back().readable = false;  // Manufacturer
        adapters.items.push_back(unreadable);
        store->addClass(u"Win32_Empty"_s);
        service_ = std::make_unique<qelto::wmi::StoreService>(store);
    }

    static qelto::wmi::Instance adapter(const char16_t* name, Variant manufacturer) {
        qelto::wmi::Instance i;
        i.set(u"Name"_s, Variant(name));
        i.set(u"MACAddress"_s, mac);
        i.set(u"Manufacturer"_s, std::move(manufacturer));
        return i;
    }

    // The names of the objects a query returns, in order.
    QStringList names(const QString& query) {
        QStringList out;
        auto collection = service_->execQuery(query);
        while (auto object = collection->next()) out << object->get(u"Name").textValue();
        return out;
    }

    std::uint32_t errorOf(const QString& query) {
        try {
            service_->execQuery(query);
        } catch (const Error& e) {
            return e.number();
        }
        return 0;
    }

    std::unique_ptr<qelto::wmi::StoreService> service_;
};

TEST_F(StoreQueries, AnswersAndFilters) {
    const struct {
        QString query;
        QStringList expected;
    } rows[] = {
        {u"Select * From Win32_NetworkAdapter"_s,
         {u"Intel(R) Ethernet"_s, u"Hyper-V"_s, u"Miniport"_s, u"Realtek PCIe GbE"_s, u"Broken"_s}},
        {u"select * from WIN32_NETWORKADAPTER"_s,
         {u"Intel(R) Ethernet"_s, u"Hyper-V"_s, u"Miniport"_s, u"Realtek PCIe GbE"_s, u"Broken"_s}},
        {adapterQuery, {u"Intel(R) Ethernet"_s, u"Realtek PCIe GbE"_s}},
        {u"Select * From win32_networkadapter where Manufacturer IS NULL"_s,
         {u"Miniport"_s, u"Broken"_s}},
        {u"Select * From Win32_NetworkAdapter where Name = 'nothing'"_s, {}},
        {u"Select * From Win32_Empty"_s, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query.toStdString());
        EXPECT_EQ(names(row.query), row.expected);
    }
}

TEST_F(StoreQueries, Errors) {
    const struct {
        QString query;
        std::uint32_t error;
    } rows[] = {
        {u"Select * From Win32_Nothing"_s, code::InvalidClass},
        {u"Select * From Win32_Nothing where x = 1"_s, code::InvalidClass},
        {u"Select * From Win32_NetworkAdapter where"_s, code::InvalidQuery},
        {u"Select Name From Win32_NetworkAdapter"_s, code::InvalidQuery},
        {u"Select * From Win32_NetworkAdapter where (Name = 'a'"_s, code::InvalidQuery},
        {u""_s, code::InvalidQuery},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query.toStdString());
        EXPECT_EQ(errorOf(row.query), row.error);
    }
}

}  // namespace
