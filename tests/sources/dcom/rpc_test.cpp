// The RPC layer without a server: the primitives against their RFCs' answers, NTLMv2 against
// the worked example of the protocol document (section 4.2.4), the MIC, and the connection
// against a scripted peer that breaks every rule it can, its sealed answers included.

#include "sources/dcom/rpc.h"
#include "sources/dcom/crypto.h"
#include "sources/dcom/ntlm.h"
#include "sources/dcom/wire.h"
#include "wmi/error.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <thread>

namespace qelto::dcom {
namespace {

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}
std::string hexOf(QByteArrayView b) {
    return b.toByteArray().toHex().toStdString();
}

TEST(DcomCrypto, PrimitivesGiveTheKnownAnswers) {
    const struct {
        char kind;  // '4' MD4 of input, 'r' RC4 of input under key, 'h' HMAC-MD5
        const char* key;
        QByteArray input;
        const char* expected;
    } cases[] = {
        {'4', "", "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {'4', "", "abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {'4', "", "message digest", "d9130a8164549fe818874806e1c7014b"},
        {'4', "", QByteArray("1234567890").repeated(8), "e33b4ddc9c38f2199c3e7b164fcc0536"},
        {'r', "Key", "Plaintext", "bbf316e8d940af0ad3"},
        {'r', "Wiki", "pedia", "1021bf0420"},
        {'r', "Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
        {'h', "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
    };
    for (const auto& c : cases) {
        QByteArray got = c.input;
        if (c.kind == 'r') crypto::Rc4(c.key).apply(got);
        if (c.kind != 'r')
            got = c.kind == '4' ? crypto::md4(c.input) : crypto::hmacMd5(c.key, c.input);
        EXPECT_EQ(hexOf(got), c.expected) << c.kind << " " << c.input.toStdString();
    }
}

// A CHALLENGE_MESSAGE: flags, the example's server challenge, and these AV pairs.
QByteArray challenge(std::uint32_t flags, const QByteArray& avPairs) {
    WireWriter w;
    w.bytes(QByteArrayView("NTLMSSP\0", 8)).u32(2).u16(0).u16(0).u32(56).u32(flags);
    w.bytes(hex("0123456789abcdef")).zeros(8);
    const auto n = std::uint16_t(avPairs.size());
    w.u16(n).u16(n).u32(56).zeros(8).bytes(avPairs);
    return w.bytes();
}

QByteArray avPair(std::uint16_t id, QByteArrayView value) {
    WireWriter w;
    w.u16(id).u16(std::uint16_t(value.size())).bytes(value);
    return w.bytes();
}

QByteArray utf16(const QString& s) {
    return QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2);
}

// A field of an AUTHENTICATE message by its place in the header.
QByteArray field(const QByteArray& message, int headerOffset) {
    WireReader r(message);
    r.seek(headerOffset);
    const std::uint16_t length = r.u16();
    r.skip(2);
    r.seek(r.u32());
    return r.bytes(length).toByteArray();
}

const NtlmCredentials exampleUser{QStringLiteral("User"), QStringLiteral("Domain"),
                                  QStringLiteral("Password"), QStringLiteral("COMPUTER")};
constexpr std::uint32_t exampleFlags = 0xe28a8233;

TEST(DcomNtlm, Ntlmv2MatchesTheDocumentsWorkedExample) {
    EXPECT_EQ(
        hexOf(NtlmClient::ntowfv2(exampleUser.password, exampleUser.user, exampleUser.domain)),
        "0c868a403bfd7a93a3001ef22ef02e3f");
    NtlmClient client(exampleUser, {hex("aaaaaaaaaaaaaaaa"), QByteArray(16, 0x55), 0});
    client.negotiate();
    const QByteArray targetInfo = avPair(2, utf16(QStringLiteral("Domain"))) +
                                  avPair(1, utf16(QStringLiteral("Server"))) + avPair(0, {});
    const QByteArray auth = client.authenticate(challenge(exampleFlags, targetInfo));
    EXPECT_EQ(hexOf(field(auth, 12)), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");  // LMv2
    EXPECT_EQ(hexOf(field(auth, 20).first(16)), "68cd0ab851e51c96aabc927bebef6a1c");  // NTProofStr
    EXPECT_EQ(hexOf(field(auth, 52)), "c5dad2544fc9799094ce1ce90bc9d03e");  // encrypted session key
    EXPECT_EQ(field(auth, 36), utf16(QStringLiteral("User")));
    EXPECT_EQ(field(auth, 72 - 44), utf16(QStringLiteral("Domain")));
    EXPECT_EQ(hexOf(QByteArrayView(auth).sliced(72, 16)),
              std::string(32, '0'));  // no timestamp: no MIC

    // Section 4.2.4.4: "Plaintext" sealed and signed with sequence number 0.
    QByteArray message = utf16(QStringLiteral("Plaintext"));
    const QByteArray signature = client.session()->sign(message, 0, message.size());
    EXPECT_EQ(hexOf(message), "54e50165bf1936dc996020c1811b0f06fb5f");
    EXPECT_EQ(hexOf(signature), "010000007fb38ec5c55d497600000000");
}

TEST(DcomNtlm, ServerTimestampBringsTheMicAndAnEmptyLmResponse) {
    NtlmClient client(exampleUser);
    const QByteArray negotiate = client.negotiate();
    const QByteArray info =
        avPair(2, utf16(QStringLiteral("D"))) + avPair(7, hex("0011223344556677")) + avPair(0, {});
    const QByteArray chal = challenge(exampleFlags, info);
    QByteArray auth = client.authenticate(chal);
    EXPECT_EQ(field(auth, 12), QByteArray(24, '\0'));
    const QByteArray mic = auth.mid(72, 16);
    auth.replace(72, 16, QByteArray(16, '\0'));
    EXPECT_EQ(mic,
              crypto::hmacMd5(client.exportedSessionKey(), QByteArray(negotiate + chal + auth)));
    // The client's AV pairs carry the server's timestamp and MsvAvFlags with "MIC present".
    const QByteArray blob = field(auth, 20);
    EXPECT_EQ(blob.mid(16 + 8, 8), hex("0011223344556677"));
    EXPECT_TRUE(blob.contains(avPair(6, hex("02000000"))));
}

// A peer that answers with the bytes it was given and keeps what the client sent.
class Scripted : public Transport {
  public:
    explicit Scripted(QByteArray in, QByteArray* sent) : in_(std::move(in)), sent_(sent) {}
    void send(QByteArrayView b, reach::Deadline) override { sent_->append(b); }
    void receive(char* into, qsizetype n, reach::Deadline) override {
        if (n > in_.size() - at_) throw wmi::Error(rpcstatus::CallFailed, QStringLiteral("closed"));
        std::memcpy(into, in_.constData() + at_, size_t(n));
        at_ += n;
    }

  private:
    QByteArray in_;
    qsizetype at_ = 0;
    QByteArray* sent_;
};

constexpr std::uint8_t F = pfc::FirstFrag, L = pfc::LastFrag;
const SyntaxId Iface{QUuid(0x12345678, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10), 1, 0};
const QByteArray SessionKey(16, 0x11);

QByteArray bindAck(std::uint8_t results = 1, std::uint16_t result = 0,
                   const QByteArray& token = {}) {
    WireWriter w;
    w.u16(5840)
        .u16(5840)
        .u32(7)
        .u16(4)
        .bytes(QByteArrayView("135", 4))
        .align(4)
        .u8(results)
        .zeros(3);
    for (int k = 0; k < results; ++k)
        w.u16(result).u16(result ? 1 : 0).uuid(Ndr20.uuid).u16(2).u16(0);
    const AuthTrailer t{authtype::Ntlm, AuthLevel::Privacy, 0, 1};
    QByteArray pdu = makePdu(PType::BindAck, F | L, 1, w.bytes(), token.isEmpty() ? nullptr : &t,
                             std::uint16_t(token.size()));
    return pdu.replace(pdu.size() - token.size(), token.size(), token);
}
QByteArray plain(PType type, std::uint32_t callId, QByteArrayView stub,
                 std::uint8_t flags = F | L) {
    WireWriter w;
    w.u32(type == PType::Response ? std::uint32_t(stub.size()) : 0xffffffffu).u32(0).bytes(stub);
    return makePdu(type, flags, callId, w.bytes());
}
QByteArray sealed(NtlmSession& s, std::uint32_t callId, QByteArrayView stub,
                  std::uint8_t flags = F | L) {
    const auto pad = std::uint8_t((16 - stub.size() % 16) % 16);
    const AuthTrailer t{authtype::Ntlm, AuthLevel::Privacy, pad, 1};
    WireWriter w;
    w.u32(std::uint32_t(stub.size())).u32(0).bytes(stub);
    QByteArray pdu = makePdu(PType::Response, flags, callId, w.bytes(), &t, 16);
    pdu.chop(16);
    return pdu + s.sign(pdu, 24, stub.size() + pad);
}
QByteArray patched(QByteArray b, qsizetype at, char v) {
    return b.replace(at, 1, &v, 1);
}
QByteArray fault(std::uint32_t callId, std::uint32_t status) {
    return plain(PType::Fault, callId, QByteArray(WireWriter().u32(status).u32(0).bytes()));
}

// Binds (at privacy with NTLM when `secure`) and makes `calls` calls of "request"; the answers,
// and the error numbers of all but the last call, make the result.
QByteArray run(const QByteArray& script, bool secure, int calls = 1, RpcOptions options = {},
               QByteArray* sent = nullptr) {
    QByteArray ignored;
    RpcConnection c(std::make_unique<Scripted>(script, sent ? sent : &ignored),
                    QStringLiteral("peer"), options);
    const NtlmFixed fixed{QByteArray(8, 'c'), SessionKey, {}};
    c.bind(Iface, reach::Deadline::in(std::chrono::seconds(5)),
           secure ? ntlmSecurity(
                        {QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("p"), {}}, fixed)
                  : nullptr);
    QByteArray out;
    for (int k = 0; k < calls; ++k) {
        try {
            out += c.call(0, 1, "request", reach::Deadline::in(std::chrono::seconds(5)));
        } catch (const wmi::Error& e) {
            if (k == calls - 1) throw;
            out += QByteArray::number(e.number(), 16) + ';';
        }
    }
    return out;
}

struct Hostile {
    const char* name;
    QByteArray script;
    bool secure;
    std::uint32_t error;  // 0: the answer is `expected`
    QByteArray expected = {};
    int calls = 1;
    qsizetype maxResponse = 1 << 20;
};

void expectEach(const std::vector<Hostile>& cases) {
    for (const auto& c : cases) {
        try {
            const QByteArray got = run(c.script, c.secure, c.calls, {.maxResponse = c.maxResponse});
            EXPECT_EQ(c.error, 0u) << c.name << ": answered " << got.toStdString();
            EXPECT_EQ(got, c.expected) << c.name;
        } catch (const wmi::Error& e) {
            EXPECT_EQ(e.number(), c.error) << c.name << ": " << e.description().toStdString();
        }
    }
}

TEST(DcomRpc, HostileFramingEndsInItsErrorClass) {
    const QByteArray ack = bindAck();
    const QByteArray ok = plain(PType::Response, 2, "stub");
    const auto response = [](QByteArrayView stub, std::uint8_t flags) {
        return plain(PType::Response, 2, stub, flags);
    };
    expectEach({
        {"three fragments", ack + response("ab", F) + response("cd", 0) + response("e", L), false,
         0, "abcde"},
        {"alloc_hint of 4 GiB", ack + patched(patched(ok, 16 + 3, char(0xff)), 16 + 2, char(0xff)),
         false, 0, "stub"},
        {"fault, then an answer", ack + fault(2, 0x1C010002) + plain(PType::Response, 3, "again"),
         false, 0, "800706be;again", 2},
        {"frag_length below the header", ack + patched(ok, 8, 10), false, rpcstatus::ProtocolError},
        {"frag_length above max_recv_frag", ack + patched(patched(ok, 8, 0), 9, 0x20), false,
         rpcstatus::ProtocolError},
        {"truncated, then closed", ack + ok.left(20), false, rpcstatus::CallFailed},
        {"auth_length beyond the fragment", ack + patched(ok, 10, 100), false,
         rpcstatus::ProtocolError},
        {"rpc version 4", ack + patched(ok, 0, 4), false, rpcstatus::ProtocolError},
        {"big-endian data", ack + patched(ok, 4, 0), false, rpcstatus::ProtocolError},
        {"another call id", ack + plain(PType::Response, 9, "x"), false, rpcstatus::ProtocolError},
        {"bind_ack without results", bindAck(0), false, rpcstatus::ProtocolError},
        {"interface refused", bindAck(1, 2), false, wmi::code::NotSupported},
        {"bind_nak invalid checksum", makePdu(PType::BindNak, F | L, 1, QByteArrayView("\x09", 2)),
         false, wmi::code::AccessDenied},
        {"bind_nak version", makePdu(PType::BindNak, F | L, 1, QByteArrayView("\x04", 2)), false,
         rpcstatus::CallFailed},
        {"fault op_rng_error", ack + fault(2, 0x1C010002), false, rpcstatus::CallFailed},
        {"fault access denied", ack + fault(2, 5), false, wmi::code::AccessDenied},
        {"FIRST_FRAG without end",
         ack + response(QByteArray(60, 'a'), F) + response(QByteArray(60, 'a'), 0).repeated(100),
         false,
         wmi::code::Failed,
         {},
         1,
         100},
        {"empty middle fragment", ack + response("ab", F) + response("", 0), false,
         rpcstatus::ProtocolError},
        {"FIRST_FRAG again", ack + response("ab", F) + response("cd", F | L), false,
         rpcstatus::ProtocolError},
    });
}

TEST(DcomRpc, HostileSecurityEndsInItsErrorClass) {
    // Sealed answers in the order of their sequence numbers (operands of + are unsequenced).
    const auto inOrder =
        [](std::initializer_list<std::tuple<std::uint32_t, const char*, std::uint8_t>> pdus) {
            NtlmSession s(SessionKey, exampleFlags, NtlmSession::Side::Server);
            std::vector<QByteArray> out;
            for (const auto& [callId, stub, flags] : pdus)
                out.push_back(sealed(s, callId, stub, flags));
            return out;
        };
    const QByteArray info = avPair(2, "dd") + avPair(0, {});
    const QByteArray ack = bindAck(1, 0, challenge(exampleFlags, info));
    const QByteArray good = inOrder({{3, "sealed-", F | L}})[0];
    const auto two = inOrder({{3, "sealed-", F}, {3, "data", L}});
    const auto three = inOrder({{3, "a", F | L}, {4, "b", F | L}, {5, "c", F | L}});
    expectEach({
        {"sealed in two fragments", ack + two[0] + two[1], true, 0, "sealed-data"},
        {"challenge truncated", bindAck(1, 0, challenge(exampleFlags, info).left(30)), true,
         rpcstatus::ProtocolError},
        {"challenge without NTLMv2", bindAck(1, 0, challenge(exampleFlags & ~0x00080000u, info)),
         true, rpcstatus::ProtocolError},
        {"target info beyond the challenge",
         bindAck(1, 0, challenge(exampleFlags, info).chopped(2)), true, rpcstatus::ProtocolError},
        {"target info without end marker", bindAck(1, 0, challenge(exampleFlags, avPair(2, "ab"))),
         true, rpcstatus::ProtocolError},
        {"empty target info", bindAck(1, 0, challenge(exampleFlags, {})), true,
         rpcstatus::ProtocolError},
        {"auth_pad_length beyond the body", ack + patched(good, good.size() - 16 - 6, 60), true,
         rpcstatus::ProtocolError},
        {"first call after auth3 refused", ack + fault(3, 0x1C01000B), true,
         wmi::code::AccessDenied},
        {"sealed body altered", ack + patched(good, 26, char(good[26] ^ 1)), true,
         rpcstatus::MessageAltered},
        {"signed header altered", ack + patched(good, 22, 1), true, rpcstatus::MessageAltered},
        {"sealed answers out of order", ack + patched(three[1], 12, 3), true,
         rpcstatus::MessageAltered},
        {"plain answer at privacy", ack + plain(PType::Response, 3, "x"), true,
         rpcstatus::ProtocolError},
        {"bad checksum breaks the connection",
         ack + three[0] + patched(three[1], 30, 0) + three[2],
         true,
         rpcstatus::CallFailed,
         {},
         3},
    });
}

TEST(DcomRpc, RequestsAreCutIntoSealedFragmentsTheServerCanOpen) {
    NtlmSession peer(SessionKey, exampleFlags, NtlmSession::Side::Server), answer = peer;
    const QByteArray stub = QByteArray("0123456789").repeated(30);
    const QByteArray script =
        bindAck(1, 0, challenge(exampleFlags, avPair(2, "dd") + avPair(0, {}))) +
        sealed(answer, 3, "ok");
    QByteArray sent;
    RpcConnection c(std::make_unique<Scripted>(script, &sent), QStringLiteral("peer"),
                    {.fragmentLimit = 128});
    c.bind(Iface, {},
           ntlmSecurity({QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("p"), {}},
                        {QByteArray(8, 'c'), SessionKey, {}}));
    const qsizetype handshake = sent.size();
    ASSERT_EQ(c.call(0, 1, stub, {}), "ok");
    QByteArray reassembled;
    for (qsizetype at = handshake; at < sent.size();) {
        Fragment f = parseFragment(
            sent.mid(at, WireReader(QByteArrayView(sent).sliced(at + 8, 2)).u16()), 128);
        at += f.header.fragLength;
        EXPECT_EQ(f.header.flags & F, reassembled.isEmpty() ? F : 0);
        EXPECT_EQ((f.trailerAt - 24) % 16, 0) << "the trailer follows the stub padded to 16";
        QByteArray signedPart = f.bytes.first(f.trailerAt + 8);
        ASSERT_TRUE(peer.verify(signedPart, f.authValue(), 24, f.trailerAt - 24));
        EXPECT_EQ(WireReader(f.body()).u32(), std::uint32_t(stub.size() - reassembled.size()))
            << "alloc_hint";
        reassembled += signedPart.mid(24, f.trailerAt - 24 - f.auth.padLength);
        EXPECT_EQ(bool(f.header.flags & L), at == sent.size());
    }
    EXPECT_EQ(reassembled, stub);
}

TEST(DcomRpc, TheSocketWaitsWithinTheDeadlineAndTakesBytesAsTheyCome) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    reach::Socket theirs(fds[1]);
    SocketTransport ours(reach::Socket(fds[0]), QStringLiteral("peer"));
    const QByteArray bytes = bindAck();
    std::thread writer([&] {
        for (char b : bytes) {
            ::send(theirs.fd(), &b, 1, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    QByteArray got(bytes.size(), '\0');
    ours.receive(got.data(), got.size(), reach::Deadline::in(std::chrono::seconds(10)));
    writer.join();
    EXPECT_EQ(got, bytes);
    const auto start = reach::Clock::now();
    try {
        ours.receive(got.data(), 1, reach::Deadline::in(std::chrono::milliseconds(150)));
        ADD_FAILURE() << "a silent peer answered";
    } catch (const wmi::Error& e) {
        EXPECT_EQ(e.number(), wmi::code::Timeout);
    }
    EXPECT_LT(reach::Clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace qelto::dcom
