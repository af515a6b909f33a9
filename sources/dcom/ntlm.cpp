#include "ntlm.h"

#include "security.h"
#include "wire.h"

#include <QDateTime>

#include <utility>
#include <vector>

namespace qelto::dcom {

namespace {

using namespace ntlmflag;

constexpr std::uint32_t Requested = Unicode | RequestTarget | Ntlm | AlwaysSign | Sign | Seal |
                                    ExtendedSessionSecurity | TargetInfo | Version | Key128 |
                                    KeyExchange | Key56;
// The VERSION structure sent with the messages: 6.1 (7601), NTLM revision 15.
constexpr char VersionBytes[8] = {6, 1, char(0xb1), 0x1d, 0, 0, 0, 15};
constexpr char Signature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

enum AvId : std::uint16_t { AvEol = 0, AvFlags = 6, AvTimestamp = 7 };
constexpr std::uint32_t AvFlagMicPresent = 0x2;

QByteArray utf16(const QString& s) {
    return QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2);
}

QByteArray magicKey(QByteArrayView key, const char* constant) {
    QByteArray input(key.data(), key.size());
    input.append(constant, qsizetype(qstrlen(constant)) + 1);  // with the terminating NUL
    return crypto::md5(input);
}

[[noreturn]] void badChallenge(const QString& why) {
    throw ProtocolError(QStringLiteral("NTLM 质询消息无效：") + why);
}

// 100-ns ticks since 1601-01-01, as MsvAvTimestamp carries them.
std::uint64_t fileTimeNow() {
    constexpr std::uint64_t Epoch1970 = 116444736000000000ull;
    return Epoch1970 + std::uint64_t(QDateTime::currentMSecsSinceEpoch()) * 10000ull;
}

}  // namespace

struct NtlmClient::Challenge {
    QByteArray raw;
    std::uint32_t flags = 0;
    QByteArray serverChallenge;
    std::vector<std::pair<std::uint16_t, QByteArray>> avPairs;  // without the end marker
    std::optional<std::uint64_t> timestamp;
};

NtlmSession::NtlmSession(QByteArrayView key, std::uint32_t flags, Side side) : flags_(flags) {
    // SEALKEY (MS-NLMP 3.4.5.3): the exported key cut to the negotiated strength.
    const QByteArrayView sealBase = (flags & Key128)  ? key
                                    : (flags & Key56) ? key.first(7)
                                                      : key.first(5);
    Direction c2s{magicKey(key, "session key to client-to-server signing key magic constant"),
                  crypto::Rc4(magicKey(
                      sealBase, "session key to client-to-server sealing key magic constant")),
                  0};
    Direction s2c{magicKey(key, "session key to server-to-client signing key magic constant"),
                  crypto::Rc4(magicKey(
                      sealBase, "session key to server-to-client sealing key magic constant")),
                  0};
    out_ = side == Side::Client ? c2s : s2c;
    in_ = side == Side::Client ? s2c : c2s;
}

QByteArray NtlmSession::checksum(Direction& d, QByteArrayView message) {
    WireWriter input;
    input.u32(d.sequence).bytes(message);
    return crypto::hmacMd5(d.signKey, input.bytes()).first(8);
}

QByteArray NtlmSession::sign(QByteArray& message, qsizetype sealFrom, qsizetype sealLength) {
    QByteArray sum = checksum(out_, message);
    if (sealLength > 0) out_.seal.apply(message.data() + sealFrom, sealLength);
    if (flags_ & KeyExchange) out_.seal.apply(sum);
    WireWriter sig;
    sig.u32(1).bytes(sum).u32(out_.sequence++);
    return sig.bytes();
}

bool NtlmSession::verify(QByteArray& message, QByteArrayView signature, qsizetype sealFrom,
                         qsizetype sealLength) {
    if (broken_ || signature.size() != SignatureSize || sealFrom < 0 || sealLength < 0 ||
        sealFrom + sealLength > message.size())
        return !(broken_ = true);
    if (sealLength > 0) in_.seal.apply(message.data() + sealFrom, sealLength);
    QByteArray sum = checksum(in_, message);
    if (flags_ & KeyExchange) in_.seal.apply(sum);
    WireReader r(signature);
    const bool good = r.u32() == 1 && r.bytes(8) == sum && r.u32() == in_.sequence;
    ++in_.sequence;
    broken_ = !good;
    return good;
}

NtlmClient::NtlmClient(NtlmCredentials credentials, NtlmFixed fixed)
    : credentials_(std::move(credentials)), fixed_(std::move(fixed)) {}

QByteArray NtlmClient::ntowfv2(const QString& password, const QString& user,
                               const QString& domain) {
    return crypto::hmacMd5(crypto::md4(utf16(password)), utf16(user.toUpper() + domain));
}

QByteArray NtlmClient::negotiate() {
    WireWriter w;
    w.bytes(QByteArrayView(Signature, 8)).u32(1).u32(Requested);
    w.u16(0).u16(0).u32(40).u16(0).u16(0).u32(40);  // no domain, no workstation
    w.bytes(QByteArrayView(VersionBytes, 8));
    negotiateMessage_ = w.bytes();
    return negotiateMessage_;
}

NtlmClient::Challenge NtlmClient::parseChallenge(QByteArrayView bytes) const {
    WireReader r(bytes, "NTLM 质询消息");
    if (r.bytes(8) != QByteArrayView(Signature, 8) || r.u32() != 2)
        badChallenge(QStringLiteral("不是 CHALLENGE_MESSAGE"));
    Challenge c;
    c.raw = bytes.toByteArray();
    r.skip(8);  // TargetName
    c.flags = r.u32();
    c.serverChallenge = r.bytes(8).toByteArray();
    r.skip(8);
    const std::uint16_t infoLength = r.u16();
    r.skip(2);
    const std::uint32_t infoOffset = r.u32();
    if (!(c.flags & ExtendedSessionSecurity) || !(c.flags & Unicode))
        badChallenge(QStringLiteral("服务器不支持扩展会话安全（NTLMv2）"));
    if (infoLength == 0 || infoOffset > std::uint32_t(bytes.size()) ||
        infoLength > bytes.size() - qsizetype(infoOffset))
        badChallenge(QStringLiteral("TargetInfo 越界或为空"));
    WireReader av(bytes.sliced(infoOffset, infoLength), "NTLM TargetInfo");
    for (;;) {
        const std::uint16_t id = av.u16(), length = av.u16();
        if (id == AvEol) break;
        QByteArray value = av.bytes(length).toByteArray();
        if (id == AvTimestamp && length == 8) c.timestamp = WireReader(value).u64();
        c.avPairs.emplace_back(id, std::move(value));
    }
    return c;
}

// temp of MS-NLMP 3.3.2 (NTLMv2_CLIENT_CHALLENGE); sets the LM response that goes with it.
QByteArray NtlmClient::clientBlob(const Challenge& c, QByteArray& lmResponse) const {
    const QByteArray clientChallenge =
        fixed_.clientChallenge.size() == 8 ? fixed_.clientChallenge : crypto::randomBytes(8);
    const std::uint64_t time = c.timestamp   ? *c.timestamp
                               : fixed_.time ? *fixed_.time
                                             : fileTimeNow();
    WireWriter w;
    w.u8(1).u8(1).zeros(6).u64(time).bytes(clientChallenge).zeros(4);
    std::uint32_t avFlags = c.timestamp ? AvFlagMicPresent : 0;
    for (const auto& [id, value] : c.avPairs) {
        if (id == AvFlags && value.size() == 4) {
            avFlags |= WireReader(value).u32();
            continue;
        }
        w.u16(id).u16(std::uint16_t(value.size())).bytes(value);
    }
    if (avFlags) w.u16(AvFlags).u16(4).u32(avFlags);
    w.u16(AvEol).u16(0).zeros(4);
    const QByteArray key = ntowfv2(credentials_.password, credentials_.user, credentials_.domain);
    // With a server timestamp the LM response is left empty (zeros), as a MIC is sent.
    lmResponse =
        c.timestamp
            ? QByteArray(24, '\0')
            : QByteArray(crypto::hmacMd5(key, QByteArray(c.serverChallenge + clientChallenge)) +
                         clientChallenge);
    return w.bytes();
}

QByteArray NtlmClient::authenticate(QByteArrayView challengeBytes) {
    if (negotiateMessage_.isEmpty()) negotiate();
    const Challenge c = parseChallenge(challengeBytes);
    flags_ = c.flags & Requested;
    QByteArray lm;
    const QByteArray temp = clientBlob(c, lm);
    const QByteArray key = ntowfv2(credentials_.password, credentials_.user, credentials_.domain);
    const QByteArray proof = crypto::hmacMd5(key, QByteArray(c.serverChallenge + temp));
    const QByteArray nt = QByteArray(proof + temp);
    const QByteArray keyExchangeKey = crypto::hmacMd5(key, proof);  // KXKEY = SessionBaseKey
    QByteArray encryptedKey;
    exportedKey_ = keyExchangeKey;
    if (flags_ & KeyExchange) {
        exportedKey_ = fixed_.exportedSessionKey.size() == 16 ? fixed_.exportedSessionKey
                                                              : crypto::randomBytes(16);
        encryptedKey = exportedKey_;
        crypto::Rc4(keyExchangeKey).apply(encryptedKey);
    }
    const QByteArray fields[] = {utf16(credentials_.domain),
                                 utf16(credentials_.user),
                                 utf16(credentials_.workstation),
                                 lm,
                                 nt,
                                 encryptedKey};
    constexpr int order[] = {3, 4, 0, 1, 2, 5};  // the header lists LM, NT, domain, user, ws, key
    WireWriter w;
    w.bytes(QByteArrayView(Signature, 8)).u32(3);
    std::uint32_t offset = 88, at[6];
    for (int k = 0; k < 6; ++k) at[k] = offset, offset += std::uint32_t(fields[k].size());
    for (int k : order)
        w.u16(std::uint16_t(fields[k].size())).u16(std::uint16_t(fields[k].size())).u32(at[k]);
    w.u32(flags_).bytes(QByteArrayView(VersionBytes, 8)).zeros(16);
    for (const QByteArray& f : fields) w.bytes(f);
    QByteArray message = w.bytes();
    if (c.timestamp) {
        const QByteArray mic =
            crypto::hmacMd5(exportedKey_, QByteArray(negotiateMessage_ + c.raw + message));
        message.replace(72, 16, mic);
    }
    session_.emplace(exportedKey_, flags_, NtlmSession::Side::Client);
    return message;
}

namespace {

// A field of an AUTHENTICATE message by the place of its length in the header.
QByteArray authenticateField(QByteArrayView message, qsizetype headerAt) {
    WireReader r(message, "NTLM 认证消息");
    r.seek(headerAt);
    const std::uint16_t length = r.u16();
    r.skip(2);
    r.seek(r.u32());
    return r.bytes(length).toByteArray();
}

// Whether the client's NTLMv2 blob (after NTProofStr) says a MIC follows (MsvAvFlags 0x2).
bool micAnnounced(QByteArrayView blob) {
    WireReader r(blob, "NTLMv2 响应");
    r.skip(28);
    for (;;) {
        const std::uint16_t id = r.u16(), length = r.u16();
        if (id == AvEol) return false;
        const QByteArrayView value = r.bytes(length);
        if (id == AvFlags && length == 4) return WireReader(value).u32() & AvFlagMicPresent;
    }
}

QString fromUtf16(const QByteArray& bytes) {
    return QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2);
}

}  // namespace

QByteArray NtlmServer::challenge(QByteArrayView negotiate) {
    negotiate_ = negotiate.toByteArray();
    WireReader r(negotiate, "NTLM 协商消息");
    r.skip(12);
    const std::uint32_t flags =
        (r.u32() & Requested) | Unicode | ExtendedSessionSecurity | TargetInfo;
    serverChallenge_ = crypto::randomBytes(8);
    WireWriter info;
    const QByteArray domain =
        utf16(account_.domain.isEmpty() ? QStringLiteral("WORKGROUP") : account_.domain);
    const QByteArray computer = utf16(QStringLiteral("WMI-TEST"));
    info.u16(2).u16(std::uint16_t(domain.size())).bytes(domain);      // MsvAvNbDomainName
    info.u16(1).u16(std::uint16_t(computer.size())).bytes(computer);  // MsvAvNbComputerName
    info.u16(AvTimestamp).u16(8).u64(fileTimeNow()).u16(AvEol).u16(0);
    WireWriter w;
    w.bytes(QByteArrayView(Signature, 8)).u32(2).u16(0).u16(0).u32(56).u32(flags);
    w.bytes(serverChallenge_).zeros(8);
    const auto n = std::uint16_t(info.size());
    w.u16(n).u16(n).u32(56).bytes(QByteArrayView(VersionBytes, 8)).bytes(info.bytes());
    challenge_ = w.bytes();
    return challenge_;
}

bool NtlmServer::accept(QByteArrayView authenticate) {
    WireReader r(authenticate, "NTLM 认证消息");
    if (r.bytes(8) != QByteArrayView(Signature, 8) || r.u32() != 3)
        throw ProtocolError(QStringLiteral("不是 AUTHENTICATE_MESSAGE"));
    const QByteArray nt = authenticateField(authenticate, 20);
    const QString domain = fromUtf16(authenticateField(authenticate, 28));
    const QString user = fromUtf16(authenticateField(authenticate, 36));
    QByteArray encryptedKey = authenticateField(authenticate, 52);
    r.seek(60);
    const std::uint32_t flags = r.u32();
    if (nt.size() < 48 || user.compare(account_.user, Qt::CaseInsensitive) != 0 ||
        domain.compare(account_.domain, Qt::CaseInsensitive) != 0)
        return false;
    const QByteArray key = NtlmClient::ntowfv2(account_.password, user, domain);
    const QByteArray proof = crypto::hmacMd5(key, QByteArray(serverChallenge_ + nt.mid(16)));
    if (proof != nt.left(16)) return false;
    const QByteArray keyExchangeKey = crypto::hmacMd5(key, proof);
    QByteArray exported = keyExchangeKey;
    if (flags & KeyExchange) {
        if (encryptedKey.size() != 16) return false;
        crypto::Rc4(keyExchangeKey).apply(encryptedKey);
        exported = encryptedKey;
    }
    if (micAnnounced(QByteArrayView(nt).sliced(16))) {
        QByteArray zeroed = authenticate.toByteArray();
        const QByteArray mic = zeroed.mid(72, 16);
        zeroed.replace(72, 16, QByteArray(16, '\0'));
        if (crypto::hmacMd5(exported, QByteArray(negotiate_ + challenge_ + zeroed)) != mic)
            return false;
    }
    session_.emplace(exported, flags, NtlmSession::Side::Server);
    return true;
}

}  // namespace qelto::dcom

namespace qelto::dcom {

namespace {

class NtlmSecurity : public Security {
  public:
    NtlmSecurity(const NtlmCredentials& credentials, const NtlmFixed& fixed)
        : client_(credentials, fixed) {}
    std::uint8_t authType() const override { return 10; }
    QByteArray firstToken() override { return client_.negotiate(); }
    QByteArray nextToken(QByteArrayView serverToken) override {
        return client_.authenticate(serverToken);
    }
    bool canSeal() const override { return (client_.flags() & ntlmflag::Seal) != 0; }
    std::uint16_t signatureSize() const override { return NtlmSession::SignatureSize; }
    QByteArray protect(QByteArray& pdu, qsizetype from, qsizetype length, bool seal) override {
        NtlmSession* s = client_.session();
        if (!s) throw ProtocolError(QStringLiteral("NTLM 安全上下文尚未建立"));
        return seal ? s->sign(pdu, from, length) : s->sign(pdu);
    }
    bool unprotect(QByteArray& pdu, qsizetype from, qsizetype length, QByteArrayView verifier,
                   bool seal) override {
        NtlmSession* s = client_.session();
        return s && (seal ? s->verify(pdu, verifier, from, length) : s->verify(pdu, verifier));
    }

  private:
    NtlmClient client_;
};

}  // namespace

std::unique_ptr<Security> ntlmSecurity(const NtlmCredentials& credentials) {
    return std::make_unique<NtlmSecurity>(credentials, NtlmFixed{});
}

std::unique_ptr<Security> ntlmSecurity(const NtlmCredentials& credentials, const NtlmFixed& fixed) {
    return std::make_unique<NtlmSecurity>(credentials, fixed);
}

}  // namespace qelto::dcom
