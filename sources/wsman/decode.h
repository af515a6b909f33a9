#pragma once

#include "wmi/schema.h"
#include "wmi/store.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

// What a WS-Management listener sends back for an enumeration, taken apart: pure functions over
// bytes, reached by the fuzzers. The transport (engine.h) and the tests' listener use them.
namespace qelto::wmi::wsman {

// A SOAP fault, with the WMI error number it stands for (0 when none fits).
struct Fault {
    QString code;     // e.g. "s:Sender"
    QString subcode;  // e.g. "w:InvalidSelectors", "w:AccessDenied", "w:CannotProcessFilter"
    QString reason;   // the fault's own text, for the user
    std::uint32_t wmiError =
        0;  // from the WMI error detail (f:WSManFault/…) or mapped from the subcode
};

// One EnumerateResponse or PullResponse.
struct EnumerationReply {
    QString context;             // the latest EnumerationContext, empty when none
    bool endOfSequence = false;  // "done" is EndOfSequence, never an empty context
    std::vector<Instance> items;
};

// A reply that cannot be understood (malformed or truncated XML, no body).
class DecodeError : public std::exception {
  public:
    explicit DecodeError(QString message) : message_(std::move(message)) {}
    const QString& message() const noexcept { return message_; }  // Chinese
    const char* what() const noexcept override { return "qelto::wmi::wsman::DecodeError"; }

  private:
    QString message_;
};

// Decodes an Enumerate or Pull response body. Items come in either shape (wsman:Item wrapping the
// instance, or the instance directly under wsen:Items); each property is typed by `cls` (the
// schema of the class enumerated; properties it does not know are kept as text). Returns the
// fault instead when the body is a SOAP fault. Throws DecodeError. Linear in the input.
struct Decoded {
    std::optional<Fault> fault;
    EnumerationReply reply;
};
// A method's answer (<p:Method_OUTPUT>) is read too: its output parameters as the one item, with
// EndOfSequence.
Decoded decodeEnumerationReply(QByteArrayView body, const schema::Class* cls);

// A cim:Datetime / xs:dateTime text ("2024-03-15T10:30:00.123+08:00", 0–7 fraction digits, "Z"
// or "±hh:mm", or a CIM datetime already) as WMI's CIM datetime text
// "yyyymmddHHMMSS.ffffff±UUU", keeping the host's own local time and offset. nullopt when it is
// not a date.
std::optional<QString> cimDateTime(QStringView text);

}  // namespace qelto::wmi::wsman
