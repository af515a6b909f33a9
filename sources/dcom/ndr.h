#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QUuid>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>

// Little-endian bytes read and written under strict bounds: the NDR 2.0 stub data of the DCOM and
// WMI calls (alignment relative to the start of the stub) and the encoded WMI objects inside them
// (no alignment). Pure functions over bytes, reached by the fuzzers.
namespace qelto::dcom {

// Bytes that cannot be taken as what they should be (truncated, a length or offset beyond its
// part, a count above its cap). The message is the user's, in Chinese.
class FormatError : public std::exception {
  public:
    explicit FormatError(QString message) : message_(std::move(message)) {}
    const QString& message() const noexcept { return message_; }
    const char* what() const noexcept override { return "qelto::dcom::FormatError"; }

  private:
    QString message_;
};

using Guid = std::array<std::uint8_t, 16>;  // as on the wire (Data1..3 little-endian)

// A GUID from its text "8BC3F05E-D86B-11D0-A075-00C04FB68820"; a malformed text gives zeros.
Guid guidFromText(const char* text);
QString guidText(const Guid& g);
// The same GUID as the RPC layer's QUuid (an interface's UUID, a call's object UUID), and back.
QUuid uuidOf(const Guid& g);
Guid guidOf(const QUuid& u);

// Reads one part; every read past its end throws FormatError naming `what`.
class Reader {
  public:
    Reader(QByteArrayView data, const char* what) : data_(data), what_(what) {}

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::uint64_t u64();
    Guid guid();
    QByteArrayView bytes(std::size_t n);
    // Skips to the next multiple of `n` from the start of the part (NDR alignment).
    void align(std::size_t n);
    void skip(std::size_t n) { (void)bytes(n); }
    void seek(std::size_t pos);

    std::size_t pos() const { return pos_; }
    std::size_t size() const { return std::size_t(data_.size()); }
    std::size_t remaining() const { return size() - pos_; }
    QByteArrayView data() const { return data_; }
    [[noreturn]] void fail(const QString& why) const;

  private:
    void need(std::size_t n) const;

    QByteArrayView data_;
    const char* what_;
    std::size_t pos_ = 0;
};

// Appends little-endian values; align() pads with zeros relative to the start of the output.
class Writer {
  public:
    void u8(std::uint8_t v) { out_.append(char(v)); }
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    void guid(const Guid& g) { out_.append(reinterpret_cast<const char*>(g.data()), 16); }
    void bytes(QByteArrayView b) { out_.append(b); }
    void align(std::size_t n);
    void patch32(std::size_t at, std::uint32_t v);

    std::size_t pos() const { return std::size_t(out_.size()); }
    const QByteArray& data() const { return out_; }
    QByteArray take() { return std::move(out_); }

  private:
    QByteArray out_;
};

}  // namespace qelto::dcom
