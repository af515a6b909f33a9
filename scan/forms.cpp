#include "forms.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qelto::scan::forms {

QString asText(const Variant& v, const QLocale& locale) {
    switch (v.type()) {
        case Variant::Type::Null:
            return QString();
        case Variant::Type::Text:
            return v.textValue();
        case Variant::Type::Int:
            return QString::number(v.intValue());
        case Variant::Type::UInt:
            return QString::number(v.uintValue());
        case Variant::Type::Double:
            return shortest(v.doubleValue(), locale);
        case Variant::Type::Bool:
            return v.boolValue() ? QStringLiteral("True") : QStringLiteral("False");
        case Variant::Type::Array:
            break;
    }
    throw ValueError("an array cannot be written as text");
}

QString strictText(const Variant& v, const QLocale& locale) {
    if (v.isNull()) throw ValueError("Null cannot be written as text");
    return asText(v, locale);
}

QString shortest(double x, const QLocale& locale) {
    if (!std::isfinite(x)) throw ValueError("not a finite number");
    if (x == 0) return QStringLiteral("0");
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", x);
    QString s = QString::fromLatin1(buf);
    const qsizetype e = s.indexOf(u'e');
    if (e >= 0) s[e] = u'E';
    const qsizetype dot = s.indexOf(u'.');
    if (dot >= 0) s.replace(dot, 1, locale.decimalPoint());
    return s;
}

namespace {

// Strict invariant number syntax: blanks, sign, digits, optional fraction, optional exponent.
std::optional<double> parseInvariant(const QString& text) {
    QByteArray bytes = text.trimmed().toLatin1();
    const char* p = bytes.constData();
    const char* end = p + bytes.size();
    const char* start = p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* digits = p;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    bool any = p > digits;
    if (p < end && *p == '.') {
        ++p;
        const char* frac = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        any = any || p > frac;
    }
    if (!any) return std::nullopt;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* exp = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        if (p == exp) return std::nullopt;
    }
    if (p != end) return std::nullopt;
    if (*start == '+') ++start;
    double value = 0;
    const auto res = std::from_chars(start, end, value);
    if (res.ec != std::errc() || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

std::optional<double> toNumber(const Variant& v) {
    switch (v.type()) {
        case Variant::Type::Null:
            return std::nullopt;
        case Variant::Type::Int:
            return static_cast<double>(v.intValue());
        case Variant::Type::UInt:
            return static_cast<double>(v.uintValue());
        case Variant::Type::Double:
            if (!std::isfinite(v.doubleValue())) throw ValueError("not a finite number");
            return v.doubleValue();
        case Variant::Type::Bool:
            return v.boolValue() ? -1.0 : 0.0;
        case Variant::Type::Text:
            if (auto n = parseInvariant(v.textValue())) return n;
            break;
        case Variant::Type::Array:
            break;
    }
    throw ValueError("not a number");
}

Variant divide(const Variant& dividend, double divisor) {
    const auto n = toNumber(dividend);
    if (!n) return Variant();
    if (divisor == 0) throw ValueError("division by zero");
    return Variant(*n / divisor);
}

Variant add(const Variant& a, const Variant& b) {
    const auto x = toNumber(a);
    const auto y = toNumber(b);
    if (!x || !y) return Variant();
    const double sum = *x + *y;
    if (!std::isfinite(sum)) throw ValueError("overflow");
    return Variant(sum);
}

double roundHalfAway(double x, int decimals) {
    if (!std::isfinite(x)) throw ValueError("not a finite number");
    if (x == 0) return 0.0;
    const bool negative = x < 0;
    // The 15 significant digits of |x|: d.dddddddddddddde±XX.
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(x));
    char digits[16];
    int n = 0;
    const char* p = buf;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') digits[n++] = *p;
    const int exponent = std::atoi(p + 1);
    // Digits that stand before the cut: those of the integer part plus `decimals`.
    const int keep = exponent + 1 + decimals;
    if (keep < 0) return 0.0;
    if (keep >= n) return x;  // nothing beyond 15 digits to round
    long long mantissa = 0;
    for (int i = 0; i < keep; ++i) mantissa = mantissa * 10 + (digits[i] - '0');
    if (digits[keep] >= '5') ++mantissa;
    // mantissa * 10^(exponent + 1 - keep) == mantissa / 10^decimals
    std::snprintf(buf, sizeof buf, "%llde%d", mantissa, exponent + 1 - keep);
    const double r = std::strtod(buf, nullptr);
    return negative ? -r : r;
}

namespace {
double requireNumber(const Variant& v) {
    const auto n = toNumber(v);
    if (!n) throw ValueError("Null where a number is required");
    return *n;
}
}  // namespace

QString latinDigits(QString text, const QLocale& locale) {
    const QString zero = locale.zeroDigit();
    if (zero == u"0") return text;
    if (zero.size() == 1) {
        const char16_t z = zero[0].unicode();
        for (QChar& c : text)
            if (c.unicode() >= z && c.unicode() <= z + 9) c = QChar(u'0' + (c.unicode() - z));
        return text;
    }
    // Digits outside the basic plane (a surrogate pair each).
    for (int d = 0; d <= 9; ++d) text.replace(locale.toString(d), QString(QChar(u'0' + d)));
    return text;
}

QString oneDecimal(const Variant& v, const QLocale& locale) {
    double r = roundHalfAway(requireNumber(v), 1);
    if (r == 0) r = 0.0;  // no "-0.0"
    return latinDigits(locale.toString(r, 'f', 1), locale);
}

QString wholeGrouped(const Variant& v, const QLocale& locale) {
    double r = roundHalfAway(requireNumber(v), 0);
    if (r == 0) r = 0.0;
    return latinDigits(locale.toString(r, 'f', 0), locale);
}

Variant roundedDown(const Variant& v) {
    const auto n = toNumber(v);
    if (!n) return Variant();
    return Variant(std::floor(*n));
}

QString nearestInteger(const Variant& dividend, const Variant& divisor) {
    const double a = requireNumber(dividend);
    const double b = requireNumber(divisor);
    if (b == 0) throw ValueError("division by zero");
    const double r = std::nearbyint(a / b);  // the default rounding mode: ties to even
    if (!(r >= -32768 && r <= 32767)) throw ValueError("overflow");
    return QString::number(static_cast<int>(r));
}

QString freePercent(const Variant& free, const Variant& total, const QLocale& locale) {
    const double f = requireNumber(free);
    const double t = requireNumber(total);
    if (t == 0) throw ValueError("division by zero");
    return shortest(f / t * 100, locale).left(4);
}

qint32 toLong(const Variant& v) {
    const double r = std::nearbyint(requireNumber(v));
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) throw ValueError("overflow");
    return static_cast<qint32>(r);
}

QString stringToDate(const QString& s) {
    return s.mid(0, 4) + u'-' + s.mid(4, 2) + u'-' + s.mid(6, 2) + u' ' + s.mid(8, 2) + u'：' +
           s.mid(10, 2) + u'：' + s.mid(12, 2);
}

QString languageName(qint32 l) {
    switch (l) {
        case 2052:
        case 4:
        case 4100:
            return QStringLiteral("中文简体");
        case 3076:
        case 1028:
            return QStringLiteral("中文繁体");
        case 2057:
        case 1033:
        case 3081:
        case 4105:
            return QStringLiteral("英语");
        default:
            return QStringLiteral("其它语言系统");
    }
}

}  // namespace qelto::scan::forms
