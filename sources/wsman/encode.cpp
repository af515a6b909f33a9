#include "encode.h"

#include <QLocale>
#include <QUuid>

#include <algorithm>
#include <cmath>

namespace qelto::wmi::wsman {

namespace {

using schema::CimType;

// Text as XML character data (or attribute text, with `attribute`). Characters XML 1.0 cannot
// carry at all become U+FFFD; CR is written as a reference so that it survives end-of-line
// handling.
void appendEscaped(QByteArray& out, QStringView text, bool attribute = false) {
    QString clean;
    clean.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            clean.append(c);
            clean.append(text[++i]);
            continue;
        }
        const char16_t u = c.unicode();
        const bool allowed = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u < 0xD800) ||
                             (u >= 0xE000 && u <= 0xFFFD);
        if (!allowed) {
            clean.append(QChar(0xFFFD));
            continue;
        }
        switch (u) {
            case u'&':
                clean.append(u"&amp;");
                break;
            case u'<':
                clean.append(u"&lt;");
                break;
            case u'>':
                clean.append(u"&gt;");
                break;
            case u'\r':
                clean.append(u"&#13;");
                break;
            case u'"':
                if (attribute)
                    clean.append(u"&quot;");
                else
                    clean.append(c);
                break;
            case u'\n':
                if (attribute)
                    clean.append(u"&#10;");
                else
                    clean.append(c);
                break;
            case u'\t':
                if (attribute)
                    clean.append(u"&#9;");
                else
                    clean.append(c);
                break;
            default:
                clean.append(c);
        }
    }
    out.append(clean.toUtf8());
}

QByteArray escaped(QStringView text, bool attribute = false) {
    QByteArray out;
    appendEscaped(out, text, attribute);
    return out;
}

bool allDigits(QStringView s) {
    return std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

int number(QStringView s) {
    int v = 0;
    for (QChar c : s) v = v * 10 + (c.unicode() - u'0');
    return v;
}

bool leapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leapYear(y) ? 29 : kDays[m - 1];
}

// The fraction digits without trailing zeros, with their point; empty when all are zero.
QString fraction(QStringView digits) {
    qsizetype n = digits.size();
    while (n > 0 && digits[n - 1] == u'0') --n;
    return n == 0 ? QString() : u'.' + digits.left(n).toString();
}

QString twoDigits(int v) {
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

// The text of a scalar value.
QString scalarText(const Variant& v) {
    switch (v.type()) {
        case Variant::Type::Null:
        case Variant::Type::Array:
            return {};
        case Variant::Type::Text:
            return v.textValue();
        case Variant::Type::Int:
            return QString::number(v.intValue());
        case Variant::Type::UInt:
            return QString::number(v.uintValue());
        case Variant::Type::Double: {
            const double d = v.doubleValue();
            if (std::isnan(d)) return QStringLiteral("NaN");
            if (std::isinf(d)) return d > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
            return QString::number(d, 'g', QLocale::FloatingPointShortest);
        }
        case Variant::Type::Bool:
            return v.boolValue() ? QStringLiteral("true") : QStringLiteral("false");
    }
    return {};
}

struct Writer {
    QByteArray& out;
    QByteArray prefix;  // "p:" or "" for a fragment

    void open(const QByteArray& name) { out += '<' + prefix + name; }
    void close(const QByteArray& name) { out += "</" + prefix + name + '>'; }

    void nil(const QByteArray& name) {
        open(name);
        out += " xsi:nil=\"true\"/>";
    }

    void value(const QByteArray& name, const Variant& v, CimType type, bool known) {
        if (v.isNull()) return nil(name);
        open(name);
        out += '>';
        const QString text = scalarText(v);
        if (known && type == CimType::DateTime && v.isText() && !text.isEmpty()) {
            if (std::optional<QString> xs = xsDateTime(text)) {
                out += "<cim:Datetime>" + escaped(*xs) + "</cim:Datetime>";
            } else if (std::optional<QString> d = xsDuration(text)) {
                out += "<cim:Interval>" + escaped(*d) + "</cim:Interval>";
            } else {
                out += "<cim:CIM_DateTime>" + escaped(text) + "</cim:CIM_DateTime>";
            }
        } else {
            appendEscaped(out, text);
        }
        close(name);
    }

    void property(const Property& p, const schema::Property* s) {
        const QByteArray name = s ? QByteArray(s->name) : p.name.toUtf8();
        const CimType type = s ? s->type : CimType::String;
        if (!p.readable) {
            // An embedded object: a value that has no place in a property of the store.
            open(name);
            out += '>';
            open("Value");
            out += "/>";
            close(name);
            return;
        }
        if (p.value.isArray()) {
            for (const Variant& e : p.value.arrayValue()) value(name, e, type, s != nullptr);
            return;
        }
        // Windows leaves out a Null array; a scalar Null is written as nil.
        if (p.value.isNull() && s && s->array) return;
        value(name, p.value, type, s != nullptr);
    }
};

QString newMessageId() {
    return QStringLiteral("uuid:") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QByteArray envelope(const ReplyHeader& header, const QString& action, const QByteArray& body) {
    QByteArray out;
    out.reserve(body.size() + 1024);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<s:Envelope xml:lang=\"en-US\" xmlns:s=\"";
    out += kSoapNs;
    out += "\" xmlns:a=\"";
    out += kAddressingNs;
    out += "\" xmlns:n=\"";
    out += kEnumerationNs;
    out += "\" xmlns:w=\"";
    out += kWsmanNs;
    out += "\" xmlns:p=\"";
    out += kMsWsmanNs;
    out += "\"><s:Header><a:Action>" + escaped(action) + "</a:Action><a:MessageID>";
    out += escaped(header.messageId.isEmpty() ? newMessageId() : header.messageId);
    out +=
        "</a:MessageID><a:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
        "</a:To><a:RelatesTo>";
    out += escaped(header.relatesTo);
    out += "</a:RelatesTo></s:Header><s:Body>";
    out += body;
    out += "</s:Body></s:Envelope>";
    return out;
}

QByteArray itemsBody(const char* response, const char* itemsPrefix, const ItemsReply& reply) {
    QByteArray body = QByteArray("<n:") + response + '>';
    if (!reply.context.isEmpty() || reply.emptyContext)
        body += "<n:EnumerationContext>" + escaped(reply.context) + "</n:EnumerationContext>";
    if (!reply.items.empty()) {
        body += QByteArray("<") + itemsPrefix + ":Items>";
        for (const QByteArray& item : reply.items) body += item;
        body += QByteArray("</") + itemsPrefix + ":Items>";
    }
    if (reply.endOfSequence) body += QByteArray("<") + itemsPrefix + ":EndOfSequence/>";
    body += QByteArray("</n:") + response + '>';
    return body;
}

QByteArray wsmanFault(std::uint32_t code, const QByteArray& message) {
    return "<f:WSManFault xmlns:f=\"" + QByteArray(kFaultNs) + "\" Code=\"" +
           QByteArray::number(code) + "\" Machine=\"localhost\"><f:Message>" + message +
           "</f:Message></f:WSManFault>";
}

}  // namespace

QString resourceUri(QStringView wmiNamespace, QStringView className) {
    QString uri = QStringLiteral("http://schemas.microsoft.com/wbem/wsman/1/wmi/") +
                  wmiNamespace.toString().replace(u'\\', u'/');
    if (!className.isEmpty()) uri += u'/' + className.toString();
    return uri;
}

QByteArray encodeInstance(const Instance& instance, const schema::Class& cls,
                          const QString& resourceUri, ItemShape shape) {
    std::vector<const Property*> order;
    order.reserve(instance.properties.size());
    for (const Property& p : instance.properties) order.push_back(&p);
    auto nameOf = [&cls](const Property* p) {
        const schema::Property* s = schema::findProperty(cls, p->name);
        return s ? QString::fromLatin1(s->name) : p->name;
    };
    std::stable_sort(order.begin(), order.end(), [&](const Property* a, const Property* b) {
        return nameOf(a).compare(nameOf(b), Qt::CaseInsensitive) < 0;
    });

    const QByteArray className(cls.name);
    const QByteArray declarations =
        " xmlns:cim=\"" + QByteArray(kCimNs) + "\" xmlns:xsi=\"" + QByteArray(kXsiNs) + '"';
    QByteArray out;
    Writer w{out, shape == ItemShape::Fragment ? QByteArray() : QByteArrayLiteral("p:")};
    if (shape == ItemShape::Fragment) {
        out += "<w:XmlFragment xmlns:w=\"" + QByteArray(kWsmanNs) + '"' + declarations + '>';
    } else {
        if (shape == ItemShape::Item) out += "<w:Item xmlns:w=\"" + QByteArray(kWsmanNs) + "\">";
        out += "<p:" + className + " xmlns:p=\"" + escaped(resourceUri, true) + '"' + declarations +
               " xsi:type=\"p:" + className + "_Type\">";
    }
    for (const Property* p : order) w.property(*p, schema::findProperty(cls, p->name));
    if (shape == ItemShape::Fragment) {
        out += "</w:XmlFragment>";
        return out;
    }
    out += "</p:" + className + '>';
    if (shape == ItemShape::Item) {
        out += "<a:EndpointReference xmlns:a=\"" + QByteArray(kAddressingNs) +
               "\"><a:Address>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
               "</a:Address><a:ReferenceParameters><w:ResourceURI>" +
               escaped(resourceUri) +
               "</w:ResourceURI><w:SelectorSet><w:Selector Name=\"__cimnamespace\">root/cimv2"
               "</w:Selector></w:SelectorSet></a:ReferenceParameters></a:EndpointReference>"
               "</w:Item>";
    }
    return out;
}

std::optional<QString> xsDateTime(QStringView cim) {
    if (cim.size() != 25 || cim[14] != u'.' || (cim[21] != u'+' && cim[21] != u'-')) return {};
    if (!allDigits(cim.left(14)) || !allDigits(cim.mid(15, 6)) || !allDigits(cim.mid(22, 3)))
        return {};
    const int year = number(cim.mid(0, 4)), month = number(cim.mid(4, 2)),
              day = number(cim.mid(6, 2)), hour = number(cim.mid(8, 2)),
              minute = number(cim.mid(10, 2)), second = number(cim.mid(12, 2));
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return {};
    const int offset = number(cim.mid(22, 3));
    QString out = cim.mid(0, 4).toString() + u'-' + cim.mid(4, 2) + u'-' + cim.mid(6, 2) + u'T' +
                  cim.mid(8, 2) + u':' + cim.mid(10, 2) + u':' + cim.mid(12, 2) +
                  fraction(cim.mid(15, 6));
    if (offset == 0 && cim[21] == u'+') return out + u'Z';
    return out + cim[21] + twoDigits(offset / 60) + u':' + twoDigits(offset % 60);
}

std::optional<QString> xsDuration(QStringView cim) {
    if (cim.size() != 25 || cim[14] != u'.' || cim.mid(21) != u":000") return {};
    if (!allDigits(cim.left(14)) || !allDigits(cim.mid(15, 6))) return {};
    const int hour = number(cim.mid(8, 2)), minute = number(cim.mid(10, 2)),
              second = number(cim.mid(12, 2));
    if (hour > 23 || minute > 59 || second > 59) return {};
    return QStringLiteral("P%1DT%2H%3M%4")
               .arg(cim.left(8).toString().toLongLong())
               .arg(hour)
               .arg(minute)
               .arg(second) +
           fraction(cim.mid(15, 6)) + u'S';
}

QByteArray enumerateResponse(const ReplyHeader& header, const ItemsReply& reply) {
    return envelope(header,
                    QStringLiteral("http://schemas.xmlsoap.org/ws/2004/09/enumeration/"
                                   "EnumerateResponse"),
                    itemsBody("EnumerateResponse", "w", reply));
}

QByteArray pullResponse(const ReplyHeader& header, const ItemsReply& reply) {
    return envelope(
        header, QStringLiteral("http://schemas.xmlsoap.org/ws/2004/09/enumeration/PullResponse"),
        itemsBody("PullResponse", "n", reply));
}

QByteArray releaseResponse(const ReplyHeader& header) {
    return envelope(
        header, QStringLiteral("http://schemas.xmlsoap.org/ws/2004/09/enumeration/ReleaseResponse"),
        {});
}

QByteArray invokeResponse(const ReplyHeader& header, const QString& classUri, const QString& method,
                          const std::vector<std::pair<QString, QStringList>>& output) {
    QByteArray body =
        "<r:" + escaped(method) + "_OUTPUT xmlns:r=\"" + escaped(classUri, true) + "\">";
    for (const auto& [name, values] : output)
        for (const QString& v : values)
            body += "<r:" + escaped(name) + ">" + escaped(v) + "</r:" + escaped(name) + ">";
    body += "</r:" + escaped(method) + "_OUTPUT>";
    return envelope(header, classUri + u'/' + method + u"Response", body);
}

QByteArray encodeFault(const ReplyHeader& header, const FaultSpec& fault) {
    QByteArray body = "<s:Fault><s:Code><s:Value>" + escaped(fault.code) + "</s:Value>";
    if (!fault.subcode.isEmpty())
        body += "<s:Subcode><s:Value>" + escaped(fault.subcode) + "</s:Value></s:Subcode>";
    body += "</s:Code><s:Reason><s:Text xml:lang=\"en-US\">" + escaped(fault.reason) +
            "</s:Text></s:Reason>";
    if (fault.wsmanCode != 0) {
        QByteArray message;
        if (fault.providerFault) {
            message =
                "<f:ProviderFault provider=\"WMI Provider\" "
                "path=\"%systemroot%\\system32\\WsmWmiPl.dll\">" +
                wsmanFault(fault.wsmanCode, escaped(fault.providerMessage));
            if (!fault.operation.isEmpty()) {
                const QString statusUri = resourceUri(u"root\\cimv2", u"__ExtendedStatus");
                message += "<f:ExtendedError><p:__ExtendedStatus xmlns:p=\"" +
                           escaped(statusUri, true) + "\" xmlns:cim=\"" + QByteArray(kCimNs) +
                           "\" xmlns:xsi=\"" + QByteArray(kXsiNs) +
                           "\" xsi:type=\"p:__ExtendedStatus_Type\">"
                           "<p:Description xsi:nil=\"true\"/><p:Operation>" +
                           escaped(fault.operation) + "</p:Operation><p:ParameterInfo>" +
                           escaped(fault.parameterInfo) +
                           "</p:ParameterInfo><p:ProviderName>WinMgmt</p:ProviderName>";
                if (fault.wmiStatus)
                    message +=
                        "<p:StatusCode>" + QByteArray::number(*fault.wmiStatus) + "</p:StatusCode>";
                else
                    message += "<p:StatusCode xsi:nil=\"true\"/>";
                message += "</p:__ExtendedStatus></f:ExtendedError>";
            }
            message += "</f:ProviderFault>";
        } else {
            message = escaped(fault.message);
        }
        body += "<s:Detail>" + wsmanFault(fault.wsmanCode, message) + "</s:Detail>";
    }
    body += "</s:Fault>";
    return envelope(header, fault.action, body);
}

FaultSpec invalidClassFault(const QString& query) {
    FaultSpec f;
    f.subcode = QStringLiteral("n:CannotProcessFilter");
    f.reason = QStringLiteral(
        "The data source could not process the filter. The filter might be missing or it might be "
        "invalid. Change the filter and try the request again. ");
    f.wsmanCode = 2150858778u;  // 0x8033801A
    f.providerFault = true;
    f.providerMessage =
        QStringLiteral("The specified class does not exist in the given namespace. ");
    f.operation = QStringLiteral("ExecQuery");
    f.parameterInfo = query;
    f.action = QStringLiteral("http://schemas.xmlsoap.org/ws/2004/09/enumeration/fault");
    return f;
}

FaultSpec accessDeniedFault() {
    FaultSpec f;
    f.subcode = QStringLiteral("w:AccessDenied");
    f.reason = QStringLiteral("Access is denied. ");
    f.wsmanCode = 5;
    f.message = f.reason;
    return f;
}

FaultSpec wmiAccessDeniedFault() {
    FaultSpec f;
    f.subcode = QStringLiteral("w:AccessDenied");
    f.reason = QStringLiteral(
        "The WS-Management service cannot process the request. The WMI service returned an "
        "'access denied' error. ");
    f.wsmanCode = 2150859012u;  // 0x80338104
    f.providerFault = true;
    f.providerMessage = f.reason;
    return f;
}

FaultSpec providerFault(std::uint32_t wsmanCode, const QString& message) {
    FaultSpec f;
    f.code = QStringLiteral("s:Receiver");
    f.subcode = QStringLiteral("w:InternalError");
    f.reason = message;
    f.wsmanCode = wsmanCode;
    f.providerFault = true;
    f.providerMessage = message;
    return f;
}

}  // namespace qelto::wmi::wsman
