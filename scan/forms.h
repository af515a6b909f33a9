#pragma once

#include "wmi/variant.h"

#include <QLocale>
#include <QString>

#include <exception>
#include <optional>

// The forms in which the scan turns property values into the texts of its lines. Numbers follow
// the user's regional settings where a form says so; the locale is passed in so that tests can
// choose it (the program passes QLocale::system(), which reads LC_ALL / LC_NUMERIC / LANG).
namespace qelto::scan::forms {

// A value that cannot be turned into what a step needs (Null where a number is required, text
// that is not a number, a division by zero, an overflow…). The step that needed it is left out.
class ValueError : public std::exception {
  public:
    explicit ValueError(const char* why) : why_(why) {}
    const char* what() const noexcept override { return why_; }

  private:
    const char* why_;
};

using wmi::Variant;

// The value as it joins a line: Null gives the empty text, booleans True/False, integers plain
// decimal digits, doubles the shortest form (see shortest()). An array cannot be joined.
QString asText(const Variant& v, const QLocale& locale);

// Like asText, but Null cannot be turned into text either.
QString strictText(const Variant& v, const QLocale& locale);

// A double written the way the system writes numbers into text: at most 15 significant digits,
// no trailing zeros, no digit grouping, the user's decimal separator, and the exponent form
// (1E+15, 3.5E-05) only for very large or very small magnitudes.
QString shortest(double x, const QLocale& locale);

// The value as a number for arithmetic: nullopt for Null. Integers and doubles as they are,
// booleans as -1 and 0, text when it is a number in the invariant form WMI writes ("500107862016",
// "1.5"). Anything else throws ValueError.
std::optional<double> toNumber(const Variant& v);

// Null-propagating arithmetic: Null stays Null, otherwise a Double.
Variant divide(const Variant& dividend, double divisor);
Variant add(const Variant& a, const Variant& b);

// Rounds to `decimals` places, half away from zero, on the number's decimal form of 15
// significant digits (so 1.15, held just below it in binary, still rounds up to 1.2).
double roundHalfAway(double x, int decimals);

// One decimal with the regional decimal separator and digit grouping (2.4, 3.0, 1,234.5).
// Null throws.
QString oneDecimal(const Variant& v, const QLocale& locale);

// A text the locale wrote with its own digits (Arabic-Indic under ar_EG…) in Latin digits: every
// number the program shows uses them, whatever the locale; separators stay the locale's.
QString latinDigits(QString text, const QLocale& locale);

// A whole number, rounded half away from zero, with regional digit grouping (1,863). Null throws.
QString wholeGrouped(const Variant& v, const QLocale& locale);

// Rounded down to a whole number (Null stays Null).
Variant roundedDown(const Variant& v);

// dividend / divisor rounded to the nearest integer, ties to even, in plain digits. Throws for a
// Null operand, a zero divisor, or a result outside -32768…32767.
QString nearestInteger(const Variant& dividend, const Variant& divisor);

// The first four characters of free / total * 100 in the shortest form: no rounding, so 28.6102…
// gives 28.6 and 25 stays 25. Throws for a Null operand or a zero total.
QString freePercent(const Variant& free, const Variant& total, const QLocale& locale);

// A 32-bit integer from the value (rounding half to even, as a conversion does); Null, an
// unconvertible value or an overflow throws.
qint32 toLong(const Variant& v);

// A WMI date-time text (yyyymmddHHMMSS.ffffff±UUU) as yyyy-mm-dd HH：MM：SS with full-width
// colons, taken by character positions: a short text gives a short result, with every separator.
QString stringToDate(const QString& wmiDateTime);

// The language name of a Windows locale identifier (OSLanguage).
QString languageName(qint32 localeId);

}  // namespace qelto::scan::forms
