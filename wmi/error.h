#pragma once

#include <QString>

#include <cstdint>
#include <exception>

namespace qelto::wmi {

// WMI and COM error numbers that the program gives or compares.
namespace code {
inline constexpr std::uint32_t Failed = 0x80041001;            // generic failure
inline constexpr std::uint32_t NotFound = 0x80041002;          // no such property
inline constexpr std::uint32_t InvalidClass = 0x80041010;      // no such class
inline constexpr std::uint32_t InvalidQuery = 0x80041017;      // malformed WQL
inline constexpr std::uint32_t LocalCredentials = 0x80041064;  // credentials on a local connection
inline constexpr std::uint32_t TypeMismatch = 0x80041005;      // a value of the wrong type
inline constexpr std::uint32_t RpcUnavailable = 0x800706BA;    // the host cannot be reached
inline constexpr std::uint32_t AccessDenied = 0x80070005;
inline constexpr std::uint32_t HostNotFound = 0x80072EE7;    // the host name does not resolve
inline constexpr std::uint32_t Timeout = 0x800705B4;         // a time limit ran out
inline constexpr std::uint32_t NotSupported = 0x8004100C;    // a host the source cannot read
inline constexpr std::uint32_t HostKeyUnknown = 0x800B0109;  // a host key nobody has trusted yet
inline constexpr std::uint32_t HostKeyChanged = 0x80096004;  // a host key unlike the known one
inline constexpr std::uint32_t CertificateRefused = 0x80090325;  // a TLS certificate not trusted
}  // namespace code

// A failure of a query-layer operation: a 32-bit WMI/COM error number and a description.
class Error : public std::exception {
  public:
    Error(std::uint32_t number, QString description)
        : number_(number), description_(std::move(description)) {}

    std::uint32_t number() const noexcept { return number_; }
    // The number as the signed 32-bit value that scripting callers compare.
    std::int32_t signedNumber() const noexcept { return static_cast<std::int32_t>(number_); }
    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return "qelto::wmi::Error"; }

  private:
    std::uint32_t number_;
    QString description_;
};

}  // namespace qelto::wmi
