// Little-endian fields of the protocol messages read with strict bounds and written in order.
// A read past the end throws ProtocolError: nothing outside the bytes is ever looked at. A
// reader only views its bytes: they must outlive it.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <exception>

namespace qelto::dcom {

// A message that breaks the protocol's rules (the peer's, or bytes that cannot be ours).
class ProtocolError : public std::exception {
  public:
    explicit ProtocolError(QString what) : what_(std::move(what)) {}
    const QString& text() const noexcept { return what_; }
    const char* what() const noexcept override { return "qelto::dcom::ProtocolError"; }

  private:
    QString what_;
};

class WireReader {
  public:
    explicit WireReader(QByteArrayView bytes, const char* what = "报文")
        : bytes_(bytes), what_(what) {}

    qsizetype offset() const { return at_; }
    qsizetype left() const { return bytes_.size() - at_; }
    void seek(qsizetype at) {
        if (at < 0 || at > bytes_.size()) tooShort();
        at_ = at;
    }
    void skip(qsizetype n) { take(n); }
    std::uint8_t u8() { return std::uint8_t(*take(1)); }
    std::uint16_t u16() {
        const char* p = take(2);
        return std::uint16_t(std::uint8_t(p[0]) | std::uint8_t(p[1]) << 8);
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | std::uint32_t(u16()) << 16;
    }
    std::uint64_t u64() {
        const std::uint64_t lo = u32();
        return lo | std::uint64_t(u32()) << 32;
    }
    QByteArrayView bytes(qsizetype n) { return QByteArrayView(take(n), n); }
    // Mixed-endian as on the wire: the first three fields little-endian.
    QUuid uuid() {
        const std::uint32_t d1 = u32();
        const std::uint16_t d2 = u16(), d3 = u16();
        const QByteArrayView d4 = bytes(8);
        return QUuid(d1, d2, d3, uchar(d4[0]), uchar(d4[1]), uchar(d4[2]), uchar(d4[3]),
                     uchar(d4[4]), uchar(d4[5]), uchar(d4[6]), uchar(d4[7]));
    }

  private:
    const char* take(qsizetype n) {
        if (n < 0 || n > left()) tooShort();
        const char* p = bytes_.data() + at_;
        at_ += n;
        return p;
    }
    [[noreturn]] void tooShort() const {
        throw ProtocolError(
            QStringLiteral("%1在第 %2 字节处不完整").arg(QString::fromUtf8(what_)).arg(at_));
    }

    QByteArrayView bytes_;
    const char* what_;
    qsizetype at_ = 0;
};

class WireWriter {
  public:
    QByteArray& bytes() { return out_; }
    qsizetype size() const { return out_.size(); }
    WireWriter& u8(std::uint8_t v) { return out_.append(char(v)), *this; }
    WireWriter& u16(std::uint16_t v) { return u8(std::uint8_t(v)).u8(std::uint8_t(v >> 8)); }
    WireWriter& u32(std::uint32_t v) { return u16(std::uint16_t(v)).u16(std::uint16_t(v >> 16)); }
    WireWriter& u64(std::uint64_t v) { return u32(std::uint32_t(v)).u32(std::uint32_t(v >> 32)); }
    WireWriter& bytes(QByteArrayView b) { return out_.append(b.data(), b.size()), *this; }
    WireWriter& zeros(qsizetype n) { return out_.append(n, '\0'), *this; }
    WireWriter& uuid(const QUuid& u) {
        u32(u.data1).u16(u.data2).u16(u.data3);
        return bytes(QByteArrayView(reinterpret_cast<const char*>(u.data4), 8));
    }
    // Zeros up to the next multiple of `n` from the start.
    WireWriter& align(qsizetype n) { return zeros((n - out_.size() % n) % n); }
    // Overwrites a field written before.
    void put16(qsizetype at, std::uint16_t v) {
        out_[at] = char(v);
        out_[at + 1] = char(v >> 8);
    }
    void put32(qsizetype at, std::uint32_t v) {
        put16(at, std::uint16_t(v));
        put16(at + 2, std::uint16_t(v >> 16));
    }

  private:
    QByteArray out_;
};

}  // namespace qelto::dcom
