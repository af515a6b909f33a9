#include "text.h"

#include <QDateTime>
#include <QTimeZone>

#include <cstdio>

namespace qelto::wmi::lnx {

QString firstLine(const QByteArray& bytes) {
    qsizetype end = bytes.indexOf('\n');
    if (end < 0) end = bytes.size();
    QString s = QString::fromUtf8(bytes.constData(), end);
    s.remove(QChar(0));
    return s.trimmed();
}

Variant textOrNull(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return {};
    return Variant(t);
}

std::optional<quint64> toUnsigned(QStringView text, int base) {
    text = text.trimmed();
    if (base == 16 && (text.startsWith(u"0x") || text.startsWith(u"0X"))) text = text.mid(2);
    qsizetype n = 0;
    while (n < text.size()) {
        const char16_t c = text[n].unicode();
        const bool ok = base == 16 ? ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
                                      (c >= u'A' && c <= u'F'))
                                   : (c >= u'0' && c <= u'9');
        if (!ok) break;
        ++n;
    }
    if (n == 0 || n > (base == 16 ? 16 : 19)) return std::nullopt;
    bool ok = false;
    const quint64 v = text.left(n).toULongLong(&ok, base);
    if (!ok) return std::nullopt;
    return v;
}

std::optional<quint64> toUnsigned(const QByteArray& text, int base) {
    return toUnsigned(QString::fromLatin1(text.left(64)), base);
}

// The digits written by hand (a program's list dates a thousand packages): the civil date of a
// day count, as in the proleptic Gregorian calendar QDateTime uses.
QString wmiDateTime(qint64 seconds, int microseconds, int offsetSeconds) {
    const int minutes = offsetSeconds / 60;
    const qint64 local = seconds + offsetSeconds;
    const qint64 days = local >= 0 ? local / 86400 : -((-local + 86399) / 86400);
    const qint64 inDay = local - days * 86400;
    const qint64 z = days + 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const qint64 month = mp < 10 ? mp + 3 : mp - 9;
    const qint64 year = yoe + era * 400 + (month <= 2);
    if (year >= 1 && year <= 9999) {
        char text[40];
        std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%06d%c%03d", int(year),
                      int(month), int(doy - (153 * mp + 2) / 5 + 1), int(inDay / 3600),
                      int(inDay / 60 % 60), int(inDay % 60), qBound(0, microseconds, 999999),
                      minutes < 0 ? '-' : '+', qAbs(minutes));
        return QString::fromLatin1(text);
    }
    const QDateTime t = QDateTime::fromSecsSinceEpoch(seconds, Qt::OffsetFromUTC, offsetSeconds);
    return t.toString(QStringLiteral("yyyyMMddHHmmss")) + u'.' +
           QStringLiteral("%1").arg(qBound(0, microseconds, 999999), 6, 10, QLatin1Char('0')) +
           (minutes < 0 ? u'-' : u'+') +
           QStringLiteral("%1").arg(qAbs(minutes), 3, 10, QLatin1Char('0'));
}

QHash<QString, QString> keyValues(const QByteArray& text, QStringView prefix) {
    QHash<QString, QString> out;
    for (const QByteArray& rawLine : text.split('\n')) {
        QString line = QString::fromUtf8(rawLine).trimmed();
        if (!prefix.isEmpty()) {
            if (!line.startsWith(prefix)) continue;
            line = line.mid(prefix.size());
        }
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        if (line.startsWith(u"export ")) line = line.mid(7).trimmed();
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0) continue;
        const QString key = line.left(eq).trimmed();
        QStringView v = QStringView(line).mid(eq + 1).trimmed();
        QString value;
        if (!v.isEmpty() && (v[0] == u'"' || v[0] == u'\'')) {
            const QChar q = v[0];
            for (qsizetype i = 1; i < v.size(); ++i) {
                if (v[i] == q) break;
                if (q == u'"' && v[i] == u'\\' && i + 1 < v.size()) {
                    const QChar n = v[i + 1];
                    if (n == u'"' || n == u'\\' || n == u'$' || n == u'`') {
                        value += n;
                        ++i;
                        continue;
                    }
                }
                value += v[i];
            }
        } else {
            value = v.toString();
        }
        out.insert(key, value);
    }
    return out;
}

Variant macAddress(const QString& text) {
    const QString t = text.trimmed().toUpper();
    const QStringList parts = t.split(u':');
    if (parts.size() != 6 && parts.size() != 20) return {};
    bool allZero = true;
    for (const QString& p : parts) {
        if (p.size() != 2) return {};
        bool ok = false;
        const uint b = p.toUInt(&ok, 16);
        if (!ok) return {};
        if (b != 0) allZero = false;
    }
    if (allZero) return {};
    return Variant(t);
}

}  // namespace qelto::wmi::lnx
