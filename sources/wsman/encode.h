#pragma once

#include "wmi/schema.h"
#include "wmi/store.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// The other direction of decode.h: instances and replies written the way a Windows listener
// writes them. The tests' listener answers with these, so that what it sends and what the decoder
// reads agree by construction.
namespace qelto::wmi::wsman {

// Namespace URIs of the envelope and of the replies.
inline constexpr char kSoapNs[] = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr char kAddressingNs[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
inline constexpr char kEnumerationNs[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
inline constexpr char kWsmanNs[] = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
inline constexpr char kMsWsmanNs[] = "http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd";
inline constexpr char kFaultNs[] = "http://schemas.microsoft.com/wbem/wsman/1/wsmanfault";
inline constexpr char kCimNs[] = "http://schemas.dmtf.org/wbem/wscim/1/common";
inline constexpr char kXsiNs[] = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr char kWqlDialect[] = "http://schemas.microsoft.com/wbem/wsman/1/WQL";

// The resource URI of a WMI namespace ("root\cimv2") or of one class in it:
// "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2[/<class>]".
QString resourceUri(QStringView wmiNamespace, QStringView className = {});

// How an item stands in the Items of a reply: the instance itself (what `Select *` gives), the
// instance wrapped in w:Item, or a w:XmlFragment whose property elements have no namespace (what
// a query naming its properties gives).
enum class ItemShape { Instance, Item, Fragment };

// One instance as the element a Windows listener sends, typed by `cls`: properties in
// case-insensitive alphabetical order under the schema's spelling; uint64/sint64 as decimal text;
// datetimes as cim:Datetime (cim:Interval for intervals); arrays as the element repeated, a Null
// or empty array left out; Null as xsi:nil. A property the schema does not know is written from
// its value; an unreadable property as an embedded element, which reads back unreadable.
// `resourceUri` is the namespace of the instance (resourceUri(ns, class)).
QByteArray encodeInstance(const Instance& instance, const schema::Class& cls,
                          const QString& resourceUri, ItemShape shape = ItemShape::Instance);

// A CIM datetime "yyyymmddHHMMSS.ffffff±UUU" as xs:dateTime ("2024-03-15T09:30:12.5+08:00",
// trailing fraction zeros dropped, "Z" for offset 0), or an interval "ddddddddHHMMSS.ffffff:000"
// as xs:duration ("P3DT4H5M6.25S"). nullopt for text that is neither.
std::optional<QString> xsDateTime(QStringView cim);
std::optional<QString> xsDuration(QStringView cimInterval);

// The headers every reply carries. An empty messageId gets a fresh one.
struct ReplyHeader {
    QString relatesTo;  // the MessageID of the request
    QString messageId;
};

// An EnumerateResponse (optimized: items in w:Items, w:EndOfSequence) or a PullResponse (n:Items,
// n:EndOfSequence). `items` are encodeInstance() results. `context` is written when not empty;
// with `emptyContext` an empty n:EnumerationContext is written too (as Windows does beside
// EndOfSequence in a one-message answer).
struct ItemsReply {
    std::vector<QByteArray> items;
    QString context;
    bool endOfSequence = false;
    bool emptyContext = false;
};
QByteArray enumerateResponse(const ReplyHeader& header, const ItemsReply& reply);
QByteArray pullResponse(const ReplyHeader& header, const ItemsReply& reply);
QByteArray releaseResponse(const ReplyHeader& header);
// The answer to a method `method` of the class at `classUri`: <p:method_OUTPUT> with each output
// parameter (an array as one element per value), in order.
QByteArray invokeResponse(const ReplyHeader& header, const QString& classUri, const QString& method,
                          const std::vector<std::pair<QString, QStringList>>& output);

// A SOAP fault in Windows's shape: s:Code/s:Value + s:Subcode/s:Value, s:Reason/s:Text, and a
// detail f:WSManFault Code=… with either a plain f:Message or a WMI provider fault wrapping the
// provider's message and an __ExtendedStatus (Operation, ParameterInfo, StatusCode).
struct FaultSpec {
    QString code =
        QStringLiteral("s:Sender");  // prefixes: s, a, n, w, p (declared by the envelope)
    QString subcode;                 // e.g. "n:CannotProcessFilter"; empty: none
    QString reason;
    std::uint32_t wsmanCode = 0;  // f:WSManFault@Code; 0: no detail at all
    QString message;              // f:Message of the outer WSManFault (plain form)
    bool providerFault = false;   // the WMI provider form below instead of `message`
    QString providerMessage;
    QString operation;                       // __ExtendedStatus Operation, e.g. "ExecQuery"
    QString parameterInfo;                   // the query
    std::optional<std::uint32_t> wmiStatus;  // __ExtendedStatus StatusCode; nullopt: xsi:nil
    QString action = QStringLiteral("http://schemas.dmtf.org/wbem/wsman/1/wsman/fault");
};
QByteArray encodeFault(const ReplyHeader& header, const FaultSpec& fault);

// Faults as Windows sends them: a class that does not exist in the namespace queried, access
// denied (WinRM refusing the user, or WMI refusing after WinRM let the user in), and a WMI error
// of the provider with its own number and text (e.g. a value it cannot render).
FaultSpec invalidClassFault(const QString& query);
FaultSpec accessDeniedFault();
FaultSpec wmiAccessDeniedFault();
FaultSpec providerFault(std::uint32_t wsmanCode, const QString& message);

}  // namespace qelto::wmi::wsman
