// The envelopes of the engine's messages: the addressing, the resource of a class, the options
// of an enumeration, and how many instances each Pull asks for.

#include "engine.h"

#include <QUuid>

#include <algorithm>

namespace qelto::wmi::wsman::engine {

QString Engine::newUuid() {
    return u"uuid:" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString Engine::resourceUri(const Job& job) const {
    if (!job.method.isEmpty()) return QString::fromLatin1(kWmiResources) + kRegistryClass;
    return QString::fromLatin1(kWmiResources) + job.resourcePath + u"/*";
}

QByteArray Engine::envelope(const char* action, const Job& job, const QString& body) const {
    const QString text =
        QStringLiteral(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
            "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
            "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
            "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
            "xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd\">"
            "<s:Header>"
            "<a:To>%1</a:To>"
            "<a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
            "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
            "</a:Address></a:ReplyTo>"
            "<a:Action s:mustUnderstand=\"true\">%2</a:Action>"
            "<a:MessageID>%3</a:MessageID>"
            "<w:ResourceURI s:mustUnderstand=\"true\">%4</w:ResourceURI>"
            "<w:MaxEnvelopeSize s:mustUnderstand=\"true\">%5</w:MaxEnvelopeSize>"
            "<w:OperationTimeout>PT%6S</w:OperationTimeout>"
            "<w:Locale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>"
            "<p:DataLocale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>"
            "<p:SessionId s:mustUnderstand=\"false\">%7</p:SessionId>"
            "</s:Header><s:Body>%8</s:Body></s:Envelope>")
            .arg(xmlEscaped(endpoint_.url),
                 job.method.isEmpty()
                     ? QString::fromLatin1(kEnumeration) + u'/' + QString::fromLatin1(action)
                     : xmlEscaped(resourceUri(job) + u'/' + job.method),
                 newUuid(), xmlEscaped(resourceUri(job)), QString::number(tuning_.maxEnvelopeSize),
                 QString::number(operationSeconds()), sessionId_, body);
    return text.toUtf8();
}

qint64 Engine::operationSeconds() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(deadline_ - Clock::now()).count();
    return std::clamp<qint64>(left - 2, 1, 60);
}

std::optional<qint64> Engine::domainRole() const {
    for (const Job& j : jobs_) {
        if (!isClass(j, "Win32_ComputerSystem") || j.out->items.empty()) continue;
        const Property* p = j.out->items.front().find(u"DomainRole");
        if (p && p->value.type() == Variant::Type::Int) return p->value.intValue();
        if (p && p->value.type() == Variant::Type::UInt) return qint64(p->value.uintValue());
    }
    return std::nullopt;
}

int Engine::maxElements(const Job& job) const {
    if (!job.capped) return tuning_.maxElements;
    const std::size_t left = kMaxAccounts + 1 - std::min(job.out->items.size(), kMaxAccounts);
    return int(std::min<std::size_t>(std::size_t(tuning_.maxElements), left));
}

}  // namespace qelto::wmi::wsman::engine
