#include "crypto.h"

#include "wmi/error.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstring>
#include <utility>

namespace qelto::dcom::crypto {

namespace {

std::uint32_t rotl(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

// One 64-byte block of MD4 (RFC 1320 section 3.4).
void md4Block(std::uint32_t st[4], const unsigned char* p) {
    std::uint32_t x[16];
    for (int k = 0; k < 16; ++k)
        x[k] = std::uint32_t(p[4 * k]) | std::uint32_t(p[4 * k + 1]) << 8 |
               std::uint32_t(p[4 * k + 2]) << 16 | std::uint32_t(p[4 * k + 3]) << 24;
    std::uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    const auto f = [](std::uint32_t u, std::uint32_t v, std::uint32_t w) {
        return (u & v) | (~u & w);
    };
    const auto g = [](std::uint32_t u, std::uint32_t v, std::uint32_t w) {
        return (u & v) | (u & w) | (v & w);
    };
    const auto h = [](std::uint32_t u, std::uint32_t v, std::uint32_t w) { return u ^ v ^ w; };
    static const int s1[4] = {3, 7, 11, 19}, s2[4] = {3, 5, 9, 13}, s3[4] = {3, 9, 11, 15};
    static const int o2[4] = {0, 4, 8, 12},
                     o3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    std::uint32_t* r[4] = {&a, &d, &c, &b};
    for (int k = 0; k < 16; ++k) {
        std::uint32_t& t = *r[k % 4];
        const std::uint32_t u = *r[(k + 3) % 4], v = *r[(k + 2) % 4], w = *r[(k + 1) % 4];
        t = rotl(t + f(u, v, w) + x[k], s1[k % 4]);
    }
    for (int k = 0; k < 16; ++k) {
        std::uint32_t& t = *r[k % 4];
        const std::uint32_t u = *r[(k + 3) % 4], v = *r[(k + 2) % 4], w = *r[(k + 1) % 4];
        t = rotl(t + g(u, v, w) + x[k / 4 + o2[k % 4]] + 0x5A827999u, s2[k % 4]);
    }
    for (int k = 0; k < 16; ++k) {
        std::uint32_t& t = *r[k % 4];
        const std::uint32_t u = *r[(k + 3) % 4], v = *r[(k + 2) % 4], w = *r[(k + 1) % 4];
        t = rotl(t + h(u, v, w) + x[o3[k]] + 0x6ED9EBA1u, s3[k % 4]);
    }
    st[0] += a, st[1] += b, st[2] += c, st[3] += d;
}

[[noreturn]] void cryptoFailed(const char* what) {
    throw wmi::Error(wmi::code::Failed,
                     QStringLiteral("加密库无法计算 %1。").arg(QLatin1String(what)));
}

}  // namespace

QByteArray md4(QByteArrayView data) {
    std::uint32_t st[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    qsizetype n = data.size();
    for (; n >= 64; p += 64, n -= 64) md4Block(st, p);
    unsigned char tail[128] = {};
    std::memcpy(tail, p, size_t(n));
    tail[n] = 0x80;
    const int blocks = n < 56 ? 1 : 2;
    const std::uint64_t bits = std::uint64_t(data.size()) * 8;
    for (int k = 0; k < 8; ++k)
        tail[blocks * 64 - 8 + k] = static_cast<unsigned char>(bits >> (8 * k));
    for (int b = 0; b < blocks; ++b) md4Block(st, tail + 64 * b);
    QByteArray out(16, Qt::Uninitialized);
    for (int k = 0; k < 16; ++k) out[k] = char(st[k / 4] >> (8 * (k % 4)));
    return out;
}

QByteArray md5(QByteArrayView data) {
    QByteArray out(16, Qt::Uninitialized);
    unsigned int length = 0;
    if (!EVP_Digest(data.data(), size_t(data.size()), reinterpret_cast<unsigned char*>(out.data()),
                    &length, EVP_md5(), nullptr) ||
        length != 16)
        cryptoFailed("MD5");
    return out;
}

QByteArray hmacMd5(QByteArrayView key, QByteArrayView data) {
    QByteArray out(16, Qt::Uninitialized);
    unsigned int length = 0;
    if (!HMAC(EVP_md5(), key.data(), int(key.size()),
              reinterpret_cast<const unsigned char*>(data.data()), size_t(data.size()),
              reinterpret_cast<unsigned char*>(out.data()), &length) ||
        length != 16)
        cryptoFailed("HMAC-MD5");
    return out;
}

QByteArray randomBytes(int n) {
    QByteArray out(n, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), n) != 1) cryptoFailed("随机数");
    return out;
}

Rc4::Rc4(QByteArrayView key) {
    for (int k = 0; k < 256; ++k) s_[size_t(k)] = std::uint8_t(k);
    if (key.isEmpty()) return;  // never asked for: the keys here are 16 bytes
    std::uint8_t j = 0;
    for (int k = 0; k < 256; ++k) {
        j = std::uint8_t(j + s_[size_t(k)] + std::uint8_t(key[k % key.size()]));
        std::swap(s_[size_t(k)], s_[j]);
    }
}

void Rc4::apply(char* data, qsizetype n) {
    for (qsizetype k = 0; k < n; ++k) {
        i_ = std::uint8_t(i_ + 1);
        j_ = std::uint8_t(j_ + s_[i_]);
        std::swap(s_[i_], s_[j_]);
        data[k] = char(std::uint8_t(data[k]) ^ s_[std::uint8_t(s_[i_] + s_[j_])]);
    }
}

}  // namespace qelto::dcom::crypto
