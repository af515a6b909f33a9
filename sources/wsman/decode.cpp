#include "decode.h"

#include "encode.h"
#include "wmi/error.h"

#include <QHash>
#include <QXmlStreamReader>

#include <limits>

namespace qelto::wmi::wsman {

namespace {

using schema::CimType;
using Token = QXmlStreamReader::TokenType;

bool isSpace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// XML Schema's whitespace collapse, at the ends only (the values here hold no inner space).
QStringView trimmed(QStringView s) {
    while (!s.isEmpty() && isSpace(s.front())) s = s.mid(1);
    while (!s.isEmpty() && isSpace(s.back())) s.chop(1);
    return s;
}

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Decimal digits (at least one) as an unsigned number not above `max`.
std::optional<quint64> digits(QStringView s, quint64 max) {
    if (s.isEmpty()) return {};
    quint64 v = 0;
    for (QChar c : s) {
        if (!isDigit(c)) return {};
        const quint64 d = c.unicode() - u'0';
        if (v > (max - d) / 10) return {};
        v = v * 10 + d;
    }
    return v;
}

std::optional<quint64> unsignedValue(QStringView text, quint64 max) {
    QStringView s = trimmed(text);
    if (s.startsWith(u'+')) s = s.mid(1);
    return digits(s, max);
}

std::optional<qint64> signedValue(QStringView text, qint64 min, qint64 max) {
    QStringView s = trimmed(text);
    bool negative = false;
    if (s.startsWith(u'+') || s.startsWith(u'-')) {
        negative = s.front() == u'-';
        s = s.mid(1);
    }
    const quint64 limit = negative ? quint64(-(min + 1)) + 1 : quint64(max);
    const std::optional<quint64> v = digits(s, limit);
    if (!v) return {};
    if (negative) return *v == 0 ? 0 : -qint64(*v - 1) - 1;
    return qint64(*v);
}

int twoDigits(QStringView s) {
    return (s[0].unicode() - u'0') * 10 + (s[1].unicode() - u'0');
}

bool allDigits(QStringView s) {
    for (QChar c : s)
        if (!isDigit(c)) return false;
    return true;
}

int daysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

// A CIM datetime as WMI writes it: 14 digits, '.', 6 digits, a sign (':' for an interval) and 3
// digits, where WMI marks the fields it does not know with '*'.
bool isCimText(QStringView s) {
    if (s.size() != 25 || s[14] != u'.') return false;
    if (s[21] != u'+' && s[21] != u'-' && s[21] != u':') return false;
    for (qsizetype i = 0; i < 25; ++i) {
        if (i == 14 || i == 21) continue;
        if (!isDigit(s[i]) && s[i] != u'*') return false;
    }
    return true;
}

// The fraction digits as six, dropping what lies beyond microseconds.
QString microseconds(QStringView fraction) {
    QString f = fraction.left(6).toString();
    while (f.size() < 6) f += u'0';
    return f;
}

QString cimText(QStringView date, QStringView time, const QString& fraction, QChar sign,
                int offsetMinutes) {
    return date.toString() + time.toString() + u'.' + fraction + sign +
           QStringLiteral("%1").arg(offsetMinutes, 3, 10, QLatin1Char('0'));
}

// A cim:Date ("2024-03-15", with an optional offset) with the time WMI leaves unknown.
std::optional<QString> cimDate(QStringView text) {
    QStringView s = trimmed(text);
    if (s.size() < 10 || s[4] != u'-' || s[7] != u'-') return {};
    const QStringView y = s.mid(0, 4), m = s.mid(5, 2), d = s.mid(8, 2);
    if (!allDigits(y) || !allDigits(m) || !allDigits(d)) return {};
    const int month = twoDigits(m), day = twoDigits(d);
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(y.toInt(), month)) return {};
    QStringView zone = s.mid(10);
    int offset = 0;
    QChar sign = u'+';
    if (zone == u"Z" || zone.isEmpty()) {
    } else if (zone.size() == 6 && (zone[0] == u'+' || zone[0] == u'-') && zone[3] == u':' &&
               allDigits(zone.mid(1, 2)) && allDigits(zone.mid(4, 2)) &&
               twoDigits(zone.mid(4, 2)) < 60) {
        offset = twoDigits(zone.mid(1, 2)) * 60 + twoDigits(zone.mid(4, 2));
        sign = zone[0];
    } else {
        return {};
    }
    return y.toString() + m + d + u"******.******" + sign +
           QStringLiteral("%1").arg(offset, 3, 10, QLatin1Char('0'));
}

// An xs:duration of days, hours, minutes and seconds as a CIM interval
// "ddddddddHHMMSS.ffffff:000"; years and months have no fixed length and are refused.
std::optional<QString> cimInterval(QStringView text) {
    QStringView s = trimmed(text);
    if (!s.startsWith(u'P') || s.size() < 3) return {};
    s = s.mid(1);
    quint64 total = 0;  // seconds
    QString fraction;
    bool inTime = false, any = false;
    constexpr quint64 kMaxSeconds = 99999999ull * 86400 + 86399;
    while (!s.isEmpty()) {
        if (s.front() == u'T') {
            if (inTime) return {};
            inTime = true;
            s = s.mid(1);
            if (s.isEmpty()) return {};
            continue;
        }
        qsizetype n = 0;
        while (n < s.size() && isDigit(s[n])) ++n;
        if (n == 0 || n > 12 || n == s.size()) return {};
        const quint64 value = *digits(s.left(n), std::numeric_limits<quint64>::max());
        QStringView rest = s.mid(n);
        QString part;
        if (rest.front() == u'.') {
            qsizetype f = 1;
            while (f < rest.size() && isDigit(rest[f])) ++f;
            if (f == 1 || f == rest.size() || rest[f] != u'S' || !inTime) return {};
            part = microseconds(rest.mid(1, f - 1));
            rest = rest.mid(f);
        }
        quint64 unit = 0;
        const QChar designator = rest.front();
        if (!inTime && designator == u'D')
            unit = 86400;
        else if (inTime && designator == u'H')
            unit = 3600;
        else if (inTime && designator == u'M')
            unit = 60;
        else if (inTime && designator == u'S')
            unit = 1;
        else
            return {};
        if (!part.isEmpty()) fraction = part;
        total += value * unit;
        if (total > kMaxSeconds) return {};
        any = true;
        s = rest.mid(1);
    }
    if (!any) return {};
    if (fraction.isEmpty()) fraction = QStringLiteral("000000");
    return QStringLiteral("%1%2%3%4.%5:000")
        .arg(total / 86400, 8, 10, QLatin1Char('0'))
        .arg((total / 3600) % 24, 2, 10, QLatin1Char('0'))
        .arg((total / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(total % 60, 2, 10, QLatin1Char('0'))
        .arg(fraction);
}

// The namespaces the replies use, by the prefixes Windows gives them: a QName in a fault's code
// is reported with these, whatever prefix the reply chose.
QString canonicalPrefix(QStringView uri) {
    static const std::pair<const char*, const char*> kKnown[] = {
        {kSoapNs, "s"},  {kAddressingNs, "a"}, {kEnumerationNs, "n"},
        {kWsmanNs, "w"}, {kMsWsmanNs, "p"},    {kFaultNs, "f"},
    };
    for (const auto& [ns, prefix] : kKnown)
        if (uri == QLatin1StringView(ns)) return QString::fromLatin1(prefix);
    return {};
}

// A reading of the reply that keeps the namespace declarations in scope (to resolve QNames in
// text) and refuses document type declarations.
class Reader {
  public:
    explicit Reader(QByteArrayView body)
        : xml_(QByteArray::fromRawData(body.data(), body.size())) {}

    Token next() {
        const Token t = xml_.readNext();
        if (t == Token::StartElement) {
            marks_.push_back(scope_.size());
            for (const QXmlStreamNamespaceDeclaration& d : xml_.namespaceDeclarations())
                scope_.push_back({d.prefix().toString(), d.namespaceUri().toString()});
        } else if (t == Token::EndElement) {
            scope_.resize(marks_.back());
            marks_.pop_back();
        } else if (t == Token::DTD) {
            throw DecodeError(QStringLiteral("回复中含有文档类型声明，不予处理。"));
        } else if (t == Token::Invalid) {
            fail();
        }
        return t;
    }

    [[noreturn]] void fail() const {
        if (xml_.error() == QXmlStreamReader::PrematureEndOfDocumentError)
            throw DecodeError(QStringLiteral("回复不完整：XML 在结束之前中断。"));
        throw DecodeError(QStringLiteral("回复不是有效的 XML（第 %1 行，第 %2 列）。")
                              .arg(xml_.lineNumber())
                              .arg(xml_.columnNumber()));
    }

    bool is(const char* ns, QLatin1StringView local) const {
        return xml_.name() == local && xml_.namespaceUri() == QLatin1StringView(ns);
    }
    QStringView local() const { return xml_.name(); }
    QStringView uri() const { return xml_.namespaceUri(); }
    QStringView text() const { return xml_.text(); }
    const QXmlStreamReader& xml() const { return xml_; }

    // Walks the children of the element just started; `onChild` is called at each child's start
    // and must consume it (its end included).
    template <typename F>
    void children(F&& onChild) {
        for (;;) {
            const Token t = next();
            if (t == Token::StartElement)
                onChild();
            else if (t == Token::EndElement)
                return;
            else if (t == Token::EndDocument)
                fail();
        }
    }

    void skip() {
        int depth = 1;
        while (depth > 0) {
            const Token t = next();
            if (t == Token::StartElement)
                ++depth;
            else if (t == Token::EndElement)
                --depth;
            else if (t == Token::EndDocument)
                fail();
        }
    }

    // "w:AccessDenied" with the prefix Windows uses for its namespace.
    QString qualified(QStringView qname) const {
        const QStringView name = trimmed(qname);
        const qsizetype colon = name.indexOf(u':');
        const QStringView prefix = colon < 0 ? QStringView() : name.left(colon);
        for (auto it = scope_.rbegin(); it != scope_.rend(); ++it) {
            if (it->first != prefix) continue;
            const QString canonical = canonicalPrefix(it->second);
            if (canonical.isEmpty()) break;
            return canonical + u':' + name.mid(colon + 1);
        }
        return name.toString();
    }

  private:
    QXmlStreamReader xml_;
    std::vector<std::pair<QString, QString>> scope_;
    std::vector<std::size_t> marks_;
};

// The text directly inside the element just started (child elements skipped).
QString directText(Reader& r, bool* hadChildren = nullptr) {
    QString text;
    for (;;) {
        const Token t = r.next();
        if (t == Token::Characters) {
            text += r.text();
        } else if (t == Token::StartElement) {
            if (hadChildren) *hadChildren = true;
            r.skip();
        } else if (t == Token::EndElement) {
            return text;
        } else if (t == Token::EndDocument) {
            r.fail();
        }
    }
}

// One occurrence of a property element, before it is typed.
struct Raw {
    enum class Kind { Nil, Text, Datetime, Interval, Date, Unreadable } kind = Kind::Text;
    QString text;
};

Raw readProperty(Reader& r) {
    Raw raw;
    const QStringView nil =
        r.xml().attributes().value(QLatin1StringView(kXsiNs), QLatin1StringView("nil"));
    if (trimmed(nil) == u"true" || trimmed(nil) == u"1") {
        raw.kind = Raw::Kind::Nil;
        r.skip();
        return raw;
    }
    QString text;
    bool child = false;
    for (;;) {
        const Token t = r.next();
        if (t == Token::Characters) {
            text += r.text();
        } else if (t == Token::StartElement) {
            const QStringView local = r.local();
            const bool cim = r.uri() == QLatin1StringView(kCimNs);
            if (child || !cim) {
                raw.kind = Raw::Kind::Unreadable;
                r.skip();
            } else {
                if (local == u"Datetime" || local == u"CIM_DateTime")
                    raw.kind = Raw::Kind::Datetime;
                else if (local == u"Interval")
                    raw.kind = Raw::Kind::Interval;
                else if (local == u"Date")
                    raw.kind = Raw::Kind::Date;
                else
                    raw.kind = Raw::Kind::Unreadable;
                bool nested = false;
                raw.text = directText(r, &nested);
                if (nested) raw.kind = Raw::Kind::Unreadable;
            }
            child = true;
        } else if (t == Token::EndElement) {
            break;
        } else if (t == Token::EndDocument) {
            r.fail();
        }
    }
    if (!child) raw.text = std::move(text);
    return raw;
}

// A value of `type` from its text; nullopt when the text is not such a value.
std::optional<Variant> typedValue(const QString& text, CimType type) {
    if (type == CimType::String) return Variant(text);
    // An element with nothing in it is the empty text, whatever the type.
    if (text.isEmpty()) return Variant(QString());
    // Integers up to 32 bits are taken beyond their declared width too: Windows never sends
    // such a value, and a recorded machine that holds one (a Linux host's 8 GB of video memory
    // in a 32-bit property) reads the same over this road as from its snapshot.
    auto fromUnsigned = [&]() -> std::optional<Variant> {
        if (std::optional<quint64> v = unsignedValue(text, std::numeric_limits<qint64>::max()))
            return Variant(qint64(*v));
        return {};
    };
    auto fromSigned = [&]() -> std::optional<Variant> {
        if (std::optional<qint64> v = signedValue(text, std::numeric_limits<qint64>::min(),
                                                  std::numeric_limits<qint64>::max()))
            return Variant(*v);
        return {};
    };
    switch (type) {
        case CimType::String:
            break;
        case CimType::UInt8:
        case CimType::UInt16:
        case CimType::UInt32:
            return fromUnsigned();
        case CimType::SInt8:
        case CimType::SInt16:
        case CimType::SInt32:
            return fromSigned();
        case CimType::UInt64:
            if (std::optional<quint64> v = unsignedValue(text, std::numeric_limits<quint64>::max()))
                return Variant(QString::number(*v));
            return {};
        case CimType::SInt64:
            if (std::optional<qint64> v = signedValue(text, std::numeric_limits<qint64>::min(),
                                                      std::numeric_limits<qint64>::max()))
                return Variant(QString::number(*v));
            return {};
        case CimType::Real32:
        case CimType::Real64: {
            const QStringView s = trimmed(text);
            if (s == u"NaN") return Variant(std::numeric_limits<double>::quiet_NaN());
            if (s == u"INF") return Variant(std::numeric_limits<double>::infinity());
            if (s == u"-INF") return Variant(-std::numeric_limits<double>::infinity());
            bool ok = false;
            const double d = s.toDouble(&ok);
            if (ok) return Variant(d);
            return {};
        }
        case CimType::Boolean: {
            const QStringView s = trimmed(text);
            if (s == u"true" || s == u"1") return Variant(true);
            if (s == u"false" || s == u"0") return Variant(false);
            return {};
        }
        case CimType::DateTime:
            if (std::optional<QString> cim = cimDateTime(text)) return Variant(*cim);
            return {};
    }
    return {};
}

std::optional<Variant> typedValue(const Raw& raw, const schema::Property* p) {
    switch (raw.kind) {
        case Raw::Kind::Nil:
            return Variant();
        case Raw::Kind::Unreadable:
            return {};
        case Raw::Kind::Datetime:
        case Raw::Kind::Interval:
        case Raw::Kind::Date: {
            std::optional<QString> cim = raw.kind == Raw::Kind::Datetime   ? cimDateTime(raw.text)
                                         : raw.kind == Raw::Kind::Interval ? cimInterval(raw.text)
                                                                           : cimDate(raw.text);
            if (cim) return Variant(*cim);
            // A property the schema does not know keeps the text it came with.
            if (!p) return Variant(raw.text);
            return {};
        }
        case Raw::Kind::Text:
            if (!p) return Variant(raw.text);
            return typedValue(raw.text, p->type);
    }
    return {};
}

// The property elements of one instance (or fragment), typed by `cls`.
Instance readInstance(Reader& r, const schema::Class* cls) {
    std::vector<std::pair<QString, std::vector<Raw>>> seen;
    QHash<QString, std::size_t> index;
    r.children([&] {
        const QString name = r.local().toString();
        const QString key = name.toLower();
        auto it = index.find(key);
        if (it == index.end()) {
            it = index.insert(key, seen.size());
            seen.push_back({name, {}});
        }
        seen[*it].second.push_back(readProperty(r));
    });

    Instance instance;
    instance.properties.reserve(seen.size() + 4);
    for (auto& [name, raws] : seen) {
        const schema::Property* p = cls ? schema::findProperty(*cls, name) : nullptr;
        Property out{name, Variant(), true};
        const bool array = p ? p->array : raws.size() > 1;
        if (array) {
            Variant::Array elements;
            elements.reserve(raws.size());
            for (const Raw& raw : raws) {
                std::optional<Variant> v = typedValue(raw, p);
                if (!v) {
                    out.readable = false;
                    break;
                }
                elements.push_back(std::move(*v));
            }
            if (out.readable) out.value = Variant(std::move(elements));
        } else if (raws.size() != 1) {
            out.readable = false;  // a single value given more than once
        } else if (std::optional<Variant> v = typedValue(raws.front(), p)) {
            out.value = std::move(*v);
        } else {
            out.readable = false;
        }
        instance.properties.push_back(std::move(out));
    }
    // An array that is Null is left out of the reply altogether.
    if (cls) {
        for (const schema::Property& p : cls->properties)
            if (p.array && !index.contains(QString::fromLatin1(p.name).toLower()))
                instance.properties.push_back({QString::fromLatin1(p.name), Variant(), true});
    }
    return instance;
}

void readItems(Reader& r, const schema::Class* cls, std::vector<Instance>& items) {
    r.children([&] {
        if (r.is(kWsmanNs, QLatin1StringView("XmlFragment"))) {
            items.push_back(readInstance(r, cls));
        } else if (r.is(kWsmanNs, QLatin1StringView("Item"))) {
            bool found = false;
            r.children([&] {
                if (r.is(kAddressingNs, QLatin1StringView("EndpointReference")) || found) {
                    r.skip();
                    return;
                }
                found = true;
                items.push_back(readInstance(r, cls));
            });
        } else {
            items.push_back(readInstance(r, cls));
        }
    });
}

EnumerationReply readResponse(Reader& r, const schema::Class* cls) {
    EnumerationReply reply;
    bool haveContext = false;
    r.children([&] {
        const bool enumeration = r.uri() == QLatin1StringView(kEnumerationNs);
        const bool wsman = r.uri() == QLatin1StringView(kWsmanNs);
        if (enumeration && r.local() == u"EnumerationContext") {
            reply.context = trimmed(directText(r)).toString();
            haveContext = true;
        } else if ((enumeration || wsman) && r.local() == u"Items") {
            readItems(r, cls, reply.items);
        } else if ((enumeration || wsman) && r.local() == u"EndOfSequence") {
            reply.endOfSequence = true;
            r.skip();
        } else {
            r.skip();
        }
    });
    if (!reply.endOfSequence && reply.context.isEmpty())
        throw DecodeError(haveContext
                              ? QStringLiteral("回复的枚举上下文为空，却没有表明枚举已结束。")
                              : QStringLiteral("回复中既没有枚举上下文，也没有表明枚举已结束。"));
    return reply;
}

std::optional<std::uint32_t> codeNumber(QStringView text) {
    QStringView s = trimmed(text);
    if (s.startsWith(u"0x") || s.startsWith(u"0X")) {
        bool ok = false;
        const uint v = s.mid(2).toUInt(&ok, 16);
        if (ok) return v;
        return {};
    }
    if (std::optional<quint64> v = digits(s, 0xFFFFFFFFu)) return std::uint32_t(*v);
    if (std::optional<qint64> v = signedValue(s, std::numeric_limits<std::int32_t>::min(), -1))
        return std::uint32_t(std::int32_t(*v));
    return {};
}

bool isWmiNumber(std::uint32_t n) {
    return (n & 0xFFFFF000u) == 0x80041000u;
}

bool isAccessDenied(std::uint32_t n) {
    return n == 5 || n == code::AccessDenied || n == 0x80338104u || n == 0x80338105u ||
           n == 0x80338106u || n == 0x80041003u;
}

// What a fault's detail says, gathered in one pass over it.
struct Detail {
    std::vector<std::uint32_t> numbers;  // WSManFault codes, WMI status codes, in order
    std::vector<QString> messages;
    bool extendedStatus = false;
};

void readDetail(Reader& r, Detail& d) {
    struct Open {
        QString local;
        bool fault;
        QString text;
    };
    std::vector<Open> stack;
    for (;;) {
        const Token t = r.next();
        if (t == Token::StartElement) {
            const bool fault = r.uri() == QLatin1StringView(kFaultNs);
            if (fault && r.local() == u"WSManFault") {
                const QStringView code = r.xml().attributes().value(QLatin1StringView("Code"));
                if (std::optional<std::uint32_t> n = codeNumber(code)) d.numbers.push_back(*n);
            }
            if (r.local() == u"__ExtendedStatus" || r.local() == u"MSFT_WmiError")
                d.extendedStatus = true;
            stack.push_back({r.local().toString(), fault, {}});
        } else if (t == Token::Characters) {
            if (!stack.empty()) stack.back().text += r.text();
        } else if (t == Token::EndElement) {
            if (stack.empty()) return;  // the end of s:Detail
            const Open e = std::move(stack.back());
            stack.pop_back();
            const QString text = trimmed(e.text).toString();
            if (text.isEmpty()) continue;
            if (e.local == u"Message") {
                d.messages.push_back(text);
            } else if (e.local == u"StatusCode" || e.local == u"error_Code") {
                if (std::optional<std::uint32_t> n = codeNumber(text)) d.numbers.push_back(*n);
            } else if (e.local == u"MessageID") {
                const qsizetype at = text.indexOf(u"0x", 0, Qt::CaseInsensitive);
                if (at >= 0)
                    if (std::optional<std::uint32_t> n = codeNumber(text.mid(at, 10)))
                        d.numbers.push_back(*n);
            }
        } else if (t == Token::EndDocument) {
            r.fail();
        }
    }
}

std::uint32_t wmiErrorOf(const Fault& f, const Detail& d) {
    for (std::uint32_t n : d.numbers)
        if (isWmiNumber(n)) return isAccessDenied(n) ? code::AccessDenied : n;
    for (std::uint32_t n : d.numbers)
        if (isAccessDenied(n)) return code::AccessDenied;
    if (f.subcode == u"w:AccessDenied") return code::AccessDenied;
    bool cannotFilter = f.subcode == u"n:CannotProcessFilter";
    for (std::uint32_t n : d.numbers) cannotFilter = cannotFilter || n == 0x8033801Au;
    if (cannotFilter) {
        bool aboutQuery = false;
        for (const QString& m : d.messages) {
            if (m.contains(u"class does not exist", Qt::CaseInsensitive) ||
                m.contains(u"invalid class", Qt::CaseInsensitive))
                return code::InvalidClass;
            aboutQuery = aboutQuery || m.contains(u"query", Qt::CaseInsensitive);
        }
        return d.extendedStatus && !aboutQuery ? code::InvalidClass : code::InvalidQuery;
    }
    for (std::uint32_t n : d.numbers)
        if (n == 0x80338029u) return code::Timeout;
    if (f.subcode == u"w:TimedOut") return code::Timeout;
    return 0;
}

Fault readFault(Reader& r) {
    Fault f;
    Detail d;
    bool haveReason = false;
    r.children([&] {
        if (r.is(kSoapNs, QLatin1StringView("Code"))) {
            r.children([&] {
                if (r.is(kSoapNs, QLatin1StringView("Value"))) {
                    f.code = r.qualified(directText(r));
                } else if (r.is(kSoapNs, QLatin1StringView("Subcode"))) {
                    r.children([&] {
                        if (r.is(kSoapNs, QLatin1StringView("Value")) && f.subcode.isEmpty())
                            f.subcode = r.qualified(directText(r));
                        else
                            r.skip();
                    });
                } else {
                    r.skip();
                }
            });
        } else if (r.is(kSoapNs, QLatin1StringView("Reason"))) {
            r.children([&] {
                if (r.is(kSoapNs, QLatin1StringView("Text")) && !haveReason) {
                    f.reason = trimmed(directText(r)).toString();
                    haveReason = true;
                } else {
                    r.skip();
                }
            });
        } else if (r.is(kSoapNs, QLatin1StringView("Detail"))) {
            readDetail(r, d);
        } else {
            r.skip();
        }
    });
    if (f.reason.isEmpty() && !d.messages.empty()) f.reason = d.messages.front();
    f.wmiError = wmiErrorOf(f, d);
    return f;
}

}  // namespace

Decoded decodeEnumerationReply(QByteArrayView body, const schema::Class* cls) {
    if (body.size() < 64 && trimmed(QString::fromUtf8(body)).isEmpty())
        throw DecodeError(QStringLiteral("回复中没有内容。"));
    Reader r(body);
    Decoded out;
    bool envelope = false, haveBody = false, answered = false;
    for (;;) {
        const Token t = r.next();
        if (t == Token::EndDocument) break;
        if (t != Token::StartElement) continue;
        if (!r.is(kSoapNs, QLatin1StringView("Envelope")))
            throw DecodeError(QStringLiteral("回复不是 SOAP 信封。"));
        envelope = true;
        r.children([&] {
            if (!r.is(kSoapNs, QLatin1StringView("Body")) || haveBody) {
                r.skip();
                return;
            }
            haveBody = true;
            r.children([&] {
                if (answered) {
                    r.skip();
                } else if (r.is(kSoapNs, QLatin1StringView("Fault"))) {
                    out.fault = readFault(r);
                    answered = true;
                } else if (r.is(kEnumerationNs, QLatin1StringView("EnumerateResponse")) ||
                           r.is(kEnumerationNs, QLatin1StringView("PullResponse"))) {
                    out.reply = readResponse(r, cls);
                    answered = true;
                } else if (r.local().endsWith(QLatin1StringView("_OUTPUT"))) {
                    // A method's answer: its output parameters, as one instance.
                    out.reply.items.push_back(readInstance(r, cls));
                    out.reply.endOfSequence = answered = true;
                } else {
                    throw DecodeError(
                        QStringLiteral("回复既不是枚举结果，也不是错误（%1）。").arg(r.local()));
                }
            });
        });
    }
    if (!envelope) throw DecodeError(QStringLiteral("回复中没有内容。"));
    if (!haveBody || !answered) throw DecodeError(QStringLiteral("回复中没有 SOAP 正文。"));
    return out;
}

std::optional<QString> cimDateTime(QStringView text) {
    const QStringView s = trimmed(text);
    if (isCimText(s)) return s.toString();
    // yyyy-mm-ddThh:mm:ss[.f…][Z|±hh:mm]
    if (s.size() < 19 || s[4] != u'-' || s[7] != u'-' || s[10] != u'T' || s[13] != u':' ||
        s[16] != u':')
        return {};
    const QStringView year = s.mid(0, 4), month = s.mid(5, 2), day = s.mid(8, 2),
                      hour = s.mid(11, 2), minute = s.mid(14, 2), second = s.mid(17, 2);
    for (QStringView part : {year, month, day, hour, minute, second})
        if (!allDigits(part)) return {};
    const int m = twoDigits(month), d = twoDigits(day);
    if (m < 1 || m > 12 || d < 1 || d > daysInMonth(year.toInt(), m) || twoDigits(hour) > 23 ||
        twoDigits(minute) > 59 || twoDigits(second) > 59)
        return {};
    QStringView rest = s.mid(19);
    QString fraction = QStringLiteral("000000");
    if (rest.startsWith(u'.')) {
        qsizetype n = 1;
        while (n < rest.size() && isDigit(rest[n])) ++n;
        if (n == 1) return {};
        fraction = microseconds(rest.mid(1, n - 1));
        rest = rest.mid(n);
    }
    QChar sign = u'+';
    int offset = 0;
    if (rest.isEmpty() || rest == u"Z") {
    } else if (rest.size() == 6 && (rest[0] == u'+' || rest[0] == u'-') && rest[3] == u':' &&
               allDigits(rest.mid(1, 2)) && allDigits(rest.mid(4, 2)) &&
               twoDigits(rest.mid(4, 2)) < 60) {
        offset = twoDigits(rest.mid(1, 2)) * 60 + twoDigits(rest.mid(4, 2));
        if (offset > 999) return {};
        sign = rest[0];
    } else {
        return {};
    }
    QString date = year.toString() + month + day;
    QString time = hour.toString() + minute + second;
    return cimText(date, time, fraction, sign, offset);
}

}  // namespace qelto::wmi::wsman
