// NTLM as written for the RPC connection: the primitives against their RFCs' answers, NTLMv2
// against the worked example of the protocol document (section 4.2.4), the MIC, and the message
// security of both directions, including the tampered, replayed and reordered messages that
// must fail.

#include "sources/dcom/ntlm.h"
#include "sources/dcom/crypto.h"
#include "sources/dcom/wire.h"

#include <gtest/gtest.h>

#include <functional>

namespace qelto::dcom {
namespace {

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}
std::string hexOf(QByteArrayView b) {
    return b.toByteArray().toHex().toStdString();
}

TEST(DcomCrypto, PrimitivesGiveTheKnownAnswers) {
    const auto rc4 = [](QByteArrayView key, QByteArray data) {
        crypto::Rc4(key).apply(data);
        return data;
    };
    const struct {
        const char* name;
        std::function<QByteArray()> run;
        const char* expected;
    } cases[] = {
        {"md4 empty", [] { return crypto::md4(""); }, "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"md4 abc", [] { return crypto::md4("abc"); }, "a448017aaf21d8525fc10ae87aa6729d"},
        {"md4 message digest", [] { return crypto::md4("message digest"); },
         "d9130a8164549fe818874806e1c7014b"},
        {"md4 80 digits (two blocks)",
         [] { return crypto::md4(QByteArray("1234567890").repeated(8)); },
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
        {"md4 alphabet", [] { return crypto::md4("abcdefghijklmnopqrstuvwxyz"); },
         "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"rc4 Key", [&] { return rc4("Key", "Plaintext"); }, "bbf316e8d940af0ad3"},
        {"rc4 Wiki", [&] { return rc4("Wiki", "pedia"); }, "1021bf0420"},
        {"rc4 Secret", [&] { return rc4("Secret", "Attack at dawn"); },
         "45a01f645fc35b383552544b9bf5"},
        {"hmac-md5 Jefe", [] { return crypto::hmacMd5("Jefe", "what do ya want for nothing?"); },
         "750c783e6ab0b503eaa86e310a5db738"},
        {"md5 abc", [] { return crypto::md5("abc"); }, "900150983cd24fb0d6963f7d28e17f72"},
    };
    for (const auto& c : cases) EXPECT_EQ(hexOf(c.run()), c.expected) << c.name;
}

// A CHALLENGE_MESSAGE: flags, the example's server challenge, and these AV pairs.
QByteArray challenge(std::uint32_t flags, const QByteArray& avPairs) {
    WireWriter w;
    w.bytes(QByteArrayView("NTLMSSP\0", 8)).u32(2).u16(0).u16(0).u32(56).u32(flags);
    w.bytes(hex("0123456789abcdef")).zeros(8);
    w.u16(std::uint16_t(avPairs.size()))
        .u16(std::uint16_t(avPairs.size()))
        .u32(56)
        .zeros(8)
        .bytes(avPairs);
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

TEST(DcomNtlm, MalformedChallengesAreRefused) {
    const QByteArray info = avPair(2, utf16(QStringLiteral("D"))) + avPair(0, {});
    const QByteArray good = challenge(exampleFlags, info);
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"truncated header", good.left(30)},
        {"not a challenge", QByteArray(good).replace(8, 1, "\x03")},
        {"no extended session security", challenge(exampleFlags & ~0x00080000u, info)},
        {"target info beyond the message", good.left(good.size() - 2)},
        {"target info without end marker", challenge(exampleFlags, avPair(2, "ab"))},
        {"empty target info", challenge(exampleFlags, {})},
    };
    for (const auto& c : cases) {
        NtlmClient client(exampleUser);
        EXPECT_THROW(client.authenticate(c.bytes), ProtocolError) << c.name;
        EXPECT_EQ(client.session(), nullptr) << c.name;
    }
}

TEST(DcomNtlm, EachDirectionChecksItsSequenceAndContent) {
    const QByteArray key = hex("00112233445566778899aabbccddeeff");
    const struct {
        const char* name;
        std::function<void(QByteArray& body, QByteArray& sig)> damage;
        bool seal;
        bool accepted;
    } cases[] = {
        {"sealed as sent", [](QByteArray&, QByteArray&) {}, true, true},
        {"signed as sent", [](QByteArray&, QByteArray&) {}, false, true},
        {"a flipped body bit", [](QByteArray& b, QByteArray&) { b[3] = char(b[3] ^ 1); }, true,
         false},
        {"a flipped header bit", [](QByteArray& b, QByteArray&) { b[0] = char(b[0] ^ 1); }, false,
         false},
        {"another sequence number", [](QByteArray&, QByteArray& s) { s[12] = 1; }, true, false},
        {"a version other than 1", [](QByteArray&, QByteArray& s) { s[0] = 2; }, false, false},
        {"a short signature", [](QByteArray&, QByteArray& s) { s.chop(1); }, false, false},
    };
    for (const auto& c : cases) {
        NtlmSession client(key, exampleFlags, NtlmSession::Side::Client);
        NtlmSession server(key, exampleFlags, NtlmSession::Side::Server);
        for (int round = 0; round < 3; ++round) {  // the streams and numbers advance together
            QByteArray body =
                QByteArray("header") + QByteArray::number(round) + QByteArray("-stub-data");
            const QByteArray plain = body;
            QByteArray sig = server.sign(body, 7, c.seal ? 10 : 0);
            if (c.seal) {
                EXPECT_NE(body, plain) << c.name;
            }
            if (round == 2) c.damage(body, sig);
            const bool ok = client.verify(body, sig, 7, c.seal ? 10 : 0);
            EXPECT_EQ(ok, round < 2 || c.accepted) << c.name << " round " << round;
            if (ok) {
                EXPECT_EQ(body, plain) << c.name;
            }
        }
        // Once broken, nothing further is accepted; a replay of an old message neither.
        QByteArray again("x");
        const QByteArray sig = server.sign(again);
        EXPECT_EQ(client.verify(again, sig), c.accepted) << c.name;
        EXPECT_FALSE(client.verify(again, sig)) << c.name << " (replayed)";
    }
}

}  // namespace
}  // namespace qelto::dcom
