// The primitives the NTLM security provider needs: MD4 and RC4 written here (OpenSSL 3 keeps them
// in its legacy provider, which a distribution or a FIPS set-up may not ship), MD5, HMAC-MD5 and
// random bytes from OpenSSL's default provider.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstdint>

namespace qelto::dcom::crypto {

QByteArray md4(QByteArrayView data);  // RFC 1320
QByteArray md5(QByteArrayView data);
QByteArray hmacMd5(QByteArrayView key, QByteArrayView data);
// `n` bytes from the system's random source; throws wmi::Error when it has none.
QByteArray randomBytes(int n);

// RC4 as one keystream: every apply() continues where the last one stopped (the NTLM sealing
// handles live for the whole security context).
class Rc4 {
  public:
    Rc4() = default;
    explicit Rc4(QByteArrayView key);
    void apply(char* data, qsizetype n);
    void apply(QByteArray& data) { apply(data.data(), data.size()); }

  private:
    std::array<std::uint8_t, 256> s_{};
    std::uint8_t i_ = 0, j_ = 0;
};

}  // namespace qelto::dcom::crypto
