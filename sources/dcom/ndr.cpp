#include "ndr.h"

#include <cstring>

namespace qelto::dcom {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

Guid guidFromText(const char* text) {
    // Byte positions of Data1 (4, reversed), Data2 (2, reversed), Data3 (2, reversed), Data4 (8).
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    Guid g{};
    int k = 0;
    for (const char* p = text; *p && k < 32; ++p) {
        if (*p == '-') continue;
        const int d = hexDigit(*p);
        if (d < 0) return Guid{};
        g[std::size_t(kOrder[k / 2])] |= std::uint8_t(k % 2 == 0 ? d << 4 : d);
        ++k;
    }
    return k == 32 ? g : Guid{};
}

QString guidText(const Guid& g) {
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    QString out;
    for (int k = 0; k < 16; ++k) {
        if (k == 4 || k == 6 || k == 8 || k == 10) out += u'-';
        out += QStringLiteral("%1").arg(g[std::size_t(kOrder[k])], 2, 16, QLatin1Char('0'));
    }
    return out.toUpper();
}

QUuid uuidOf(const Guid& g) {
    return QUuid::fromString(QString(u'{' + guidText(g) + u'}'));
}

Guid guidOf(const QUuid& u) {
    return guidFromText(u.toString(QUuid::WithoutBraces).toLatin1().constData());
}

void Reader::fail(const QString& why) const {
    throw FormatError(
        QStringLiteral("%1无效：%2（偏移 %3）。").arg(QString::fromUtf8(what_), why).arg(pos_));
}

void Reader::need(std::size_t n) const {
    if (n > remaining()) fail(QStringLiteral("数据在结束之前中断"));
}

std::uint8_t Reader::u8() {
    need(1);
    return std::uint8_t(data_[qsizetype(pos_++)]);
}

std::uint16_t Reader::u16() {
    need(2);
    const auto* p = reinterpret_cast<const std::uint8_t*>(data_.data()) + pos_;
    pos_ += 2;
    return std::uint16_t(p[0] | (p[1] << 8));
}

std::uint32_t Reader::u32() {
    need(4);
    const auto* p = reinterpret_cast<const std::uint8_t*>(data_.data()) + pos_;
    pos_ += 4;
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

std::uint64_t Reader::u64() {
    const std::uint64_t lo = u32();
    return lo | (std::uint64_t(u32()) << 32);
}

Guid Reader::guid() {
    const QByteArrayView b = bytes(16);
    Guid g;
    std::memcpy(g.data(), b.data(), 16);
    return g;
}

QByteArrayView Reader::bytes(std::size_t n) {
    need(n);
    const QByteArrayView b = data_.sliced(qsizetype(pos_), qsizetype(n));
    pos_ += n;
    return b;
}

void Reader::align(std::size_t n) {
    const std::size_t pad = (n - pos_ % n) % n;
    skip(pad);
}

void Reader::seek(std::size_t pos) {
    if (pos > size()) fail(QStringLiteral("偏移超出范围"));
    pos_ = pos;
}

void Writer::u16(std::uint16_t v) {
    u8(std::uint8_t(v));
    u8(std::uint8_t(v >> 8));
}

void Writer::u32(std::uint32_t v) {
    u16(std::uint16_t(v));
    u16(std::uint16_t(v >> 16));
}

void Writer::u64(std::uint64_t v) {
    u32(std::uint32_t(v));
    u32(std::uint32_t(v >> 32));
}

void Writer::align(std::size_t n) {
    while (pos() % n != 0) u8(0);
}

void Writer::patch32(std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) out_[qsizetype(at) + k] = char(v >> (8 * k));
}

}  // namespace qelto::dcom
