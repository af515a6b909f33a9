// The value forms, with the user's regional settings chosen by the test.

#include "scan/forms.h"

#include <gtest/gtest.h>

#include <optional>

namespace qelto::scan::forms {
namespace {

const QLocale kUs(QLocale::English, QLocale::UnitedStates);
const QLocale kDe(QLocale::German, QLocale::Germany);
const QLocale kCn(QLocale::Chinese, QLocale::China);

Variant text(const char* s) {
    return Variant(QString::fromUtf8(s));
}

TEST(Forms, AsText) {
    EXPECT_EQ(asText(Variant(), kUs), u"");
    EXPECT_EQ(asText(Variant(true), kUs), u"True");
    EXPECT_EQ(asText(Variant(false), kUs), u"False");
    EXPECT_EQ(asText(Variant(qint64{-42}), kUs), u"-42");
    EXPECT_EQ(asText(Variant(quint64{18446744073709551615ull}), kUs), u"18446744073709551615");
    EXPECT_EQ(asText(Variant(1.5), kDe), u"1,5");
    EXPECT_THROW(asText(Variant(Variant::Array{Variant(1)}), kUs), ValueError);
    EXPECT_THROW(strictText(Variant(), kUs), ValueError);
}

TEST(Forms, ShortestForm) {
    const struct {
        double value;
        const char16_t* us;
    } table[] = {
        {1.5, u"1.5"},
        {4, u"4"},
        {0, u"0"},
        {-0.0, u"0"},
        {1.0 / 3, u"0.333333333333333"},
        {2.0 / 3 * 1e-4, u"6.66666666666667E-05"},
        {0.0001, u"0.0001"},
        {123456789012345.0, u"123456789012345"},
        {1e15, u"1E+15"},
        {-2.5, u"-2.5"},
        {1.15, u"1.15"},
        {28.610229492187500, u"28.6102294921875"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(shortest(row.value, kUs), QString::fromUtf16(row.us)) << row.value;
        EXPECT_EQ(shortest(row.value, kDe), QString::fromUtf16(row.us).replace(u'.', u','))
            << row.value;
    }
    EXPECT_THROW(shortest(std::numeric_limits<double>::infinity(), kUs), ValueError);
}

TEST(Forms, ToNumber) {
    EXPECT_EQ(toNumber(Variant()), std::nullopt);
    EXPECT_EQ(toNumber(text("500107862016")), 500107862016.0);
    EXPECT_EQ(toNumber(text(" 1.5 ")), 1.5);
    EXPECT_EQ(toNumber(text("-2e3")), -2000.0);
    EXPECT_EQ(toNumber(Variant(true)), -1.0);
    for (const char* bad : {"", "abc", "1,5", "0x10", "inf", "nan", "1e", "--1", "1.2.3", "1e999"})
        EXPECT_THROW(toNumber(text(bad)), ValueError) << bad;
    EXPECT_THROW(toNumber(Variant(Variant::Array{})), ValueError);
}

TEST(Forms, OneDecimalRoundsHalfAwayOnFifteenDigits) {
    const struct {
        double value;
        const char* us;
        const char* de;
    } table[] = {
        {2.394, "2.4", "2,4"}, {3.0, "3.0", "3,0"},     {2.25, "2.3", "2,3"},
        {1.15, "1.2", "1,2"},  {-1.15, "-1.2", "-1,2"}, {0.05, "0.1", "0,1"},
        {0.04, "0.0", "0,0"},  {-0.04, "0.0", "0,0"},   {1234.56, "1,234.6", "1.234,6"},
        {0.001, "0.0", "0,0"}, {9.95, "10.0", "10,0"},  {2.35, "2.4", "2,4"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(oneDecimal(Variant(row.value), kUs).toStdString(), row.us) << row.value;
        EXPECT_EQ(oneDecimal(Variant(row.value), kDe).toStdString(), row.de) << row.value;
    }
    EXPECT_THROW(oneDecimal(Variant(), kUs), ValueError);
    // The C locale writes no digit grouping.
    EXPECT_EQ(oneDecimal(Variant(1234.56), QLocale::c()), u"1234.6");
}

TEST(Forms, WholeGrouped) {
    EXPECT_EQ(wholeGrouped(Variant(1863.02), kUs), u"1,863");
    EXPECT_EQ(wholeGrouped(Variant(1863.02), kDe), u"1.863");
    EXPECT_EQ(wholeGrouped(Variant(465.5), kUs), u"466");
    EXPECT_EQ(wholeGrouped(Variant(-465.5), kUs), u"-466");
    EXPECT_EQ(wholeGrouped(Variant(1024.0), kCn), u"1,024");
    EXPECT_EQ(wholeGrouped(Variant(0.4), kUs), u"0");
    EXPECT_THROW(wholeGrouped(Variant(), kUs), ValueError);
}

// Numbers use Latin digits in every locale; only the separators are the locale's. Under a locale
// with digits of its own every form of one line must agree.
TEST(Forms, NumbersUseLatinDigitsInEveryLocale) {
    const QLocale locales[] = {
        QLocale(QLocale::Arabic, QLocale::Egypt), QLocale(QLocale::Persian, QLocale::Iran),
        QLocale(QLocale::Bangla, QLocale::Bangladesh), QLocale(QLocale::Marathi, QLocale::India)};
    for (const QLocale& locale : locales) {
        SCOPED_TRACE(locale.name().toStdString());
        ASSERT_NE(locale.zeroDigit(), u"0") << "the locale should have digits of its own";
        const QString texts[] = {
            oneDecimal(Variant(1234.56), locale), wholeGrouped(Variant(1863.02), locale),
            asText(Variant(1.5), locale), freePercent(Variant(1.0), Variant(3.0), locale)};
        for (const QString& t : texts) {
            for (const QChar c : t)
                EXPECT_TRUE(!c.isDigit() || (c >= u'0' && c <= u'9')) << t.toStdString();
            EXPECT_TRUE(t.contains(u'1') || t.contains(u'3')) << t.toStdString();
        }
    }
    const QLocale egypt(QLocale::Arabic, QLocale::Egypt);
    EXPECT_EQ(wholeGrouped(Variant(1863.02), egypt),
              QStringLiteral("1") + egypt.groupSeparator() + QStringLiteral("863"));
    EXPECT_EQ(oneDecimal(Variant(2.45), egypt),
              QStringLiteral("2") + egypt.decimalPoint() + QStringLiteral("5"));
}

TEST(Forms, RoundedDownAndDivision) {
    EXPECT_EQ(roundedDown(Variant(1023.49)), Variant(1023.0));
    EXPECT_TRUE(roundedDown(Variant()).isNull());
    EXPECT_TRUE(divide(Variant(), 10).isNull());
    EXPECT_EQ(divide(text("15"), 10), Variant(1.5));
    EXPECT_THROW(divide(Variant(1), 0), ValueError);
    EXPECT_THROW(divide(text("x"), 2), ValueError);
    EXPECT_TRUE(add(Variant(qint64{0}), Variant()).isNull());
    EXPECT_TRUE(add(Variant(), Variant(1)).isNull());
    EXPECT_EQ(add(Variant(qint64{1}), text("2")), Variant(3.0));
}

TEST(Forms, NearestIntegerTiesToEven) {
    const struct {
        Variant a, b;
        const char* expected;  // nullptr: the form fails
    } table[] = {
        {Variant(2400), Variant(200), "12"},    {Variant(2500), Variant(200), "12"},
        {Variant(2700), Variant(200), "14"},    {Variant(-2500), Variant(200), "-12"},
        {Variant(2394), Variant(100), "24"},    {text("2394"), text("100"), "24"},
        {Variant(2400), Variant(0), nullptr},   {Variant(2400), Variant(), nullptr},
        {Variant(), Variant(200), nullptr},     {Variant(32767), Variant(1), "32767"},
        {Variant(32768), Variant(1), nullptr},  {Variant(-32768), Variant(1), "-32768"},
        {Variant(-65539), Variant(2), nullptr}, {Variant(65535), Variant(2), nullptr},
    };
    for (const auto& row : table) {
        if (row.expected)
            EXPECT_EQ(nearestInteger(row.a, row.b).toStdString(), row.expected);
        else
            EXPECT_THROW(nearestInteger(row.a, row.b), ValueError);
    }
}

TEST(Forms, FreePercentKeepsFourCharacters) {
    EXPECT_EQ(freePercent(Variant(234567), Variant(1000000), kUs), u"23.4");
    EXPECT_EQ(freePercent(Variant(55), Variant(1000), kUs), u"5.5");
    EXPECT_EQ(freePercent(Variant(1), Variant(1), kUs), u"100");
    EXPECT_EQ(freePercent(Variant(8), Variant(100), kUs), u"8");
    EXPECT_EQ(freePercent(Variant(262144), Variant(1048576), kUs), u"25");
    EXPECT_EQ(freePercent(Variant(300000), Variant(1048576), kDe), u"28,6");
    EXPECT_THROW(freePercent(Variant(1), Variant(0), kUs), ValueError);
    EXPECT_THROW(freePercent(Variant(), Variant(1), kUs), ValueError);
    EXPECT_THROW(freePercent(Variant(1), Variant(), kUs), ValueError);
}

TEST(Forms, StringToDateByPositions) {
    EXPECT_EQ(stringToDate(QStringLiteral("20090402153045.000000+480")), u"2009-04-02 15：30：45");
    EXPECT_EQ(stringToDate(QStringLiteral("20090402153045")), u"2009-04-02 15：30：45");
    EXPECT_EQ(stringToDate(QStringLiteral("200904")), u"2009-04- ：：");
    EXPECT_EQ(stringToDate(QString()), u"-- ：：");
    EXPECT_EQ(stringToDate(QStringLiteral("abcdefghijklmnop")), u"abcd-ef-gh ij：kl：mn");
}

TEST(Forms, ToLong) {
    EXPECT_EQ(toLong(Variant(2052)), 2052);
    EXPECT_EQ(toLong(text("1033")), 1033);
    EXPECT_EQ(toLong(Variant(2.5)), 2);
    EXPECT_THROW(toLong(Variant()), ValueError);
    EXPECT_THROW(toLong(Variant(4294967296.0)), ValueError);
}

}  // namespace
}  // namespace qelto::scan::forms
