// The stub data of the DCOM and WMI calls: each request read back as the tests' server reads
// it, each reply as the client reads it, the exact bytes of the fixed layouts, the choice of
// the object's port, and broken replies refused; an independent client parses the activation.

#include "sources/dcom/calls.h"
#include "sources/dcom/wmio.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

#include <unistd.h>

namespace qelto::dcom {
namespace {

const Guid kCid = guidFromText("00112233-4455-6677-8899-AABBCCDDEEFF");
const Guid kIpid = guidFromText("0000A001-1111-2222-3333-444455556666");

DualStringArray bindings() {
    DualStringArray a;
    a.strings = {{kTowerTcp, QStringLiteral("WS-0417[49667]")},
                 {kTowerTcp, QStringLiteral("198.18.0.1[49668]")},
                 {kTowerTcp, QStringLiteral("fe80::1[49669]")},
                 {0x0010, QStringLiteral("WS-0417")}};
    a.security = {{10, QStringLiteral("")}, {16, QStringLiteral("host/ws-0417.example.cn")}};
    return a;
}

ActivationReply activation() {
    ActivationReply a;
    a.object = ObjRef{};
    a.object->flags = 1;
    a.object->iid = ids::kWbemLevel1Login;
    a.object->std = {0, 5, 0x1122334455667788ull, 0x99AABBCCDDEEFF00ull, kIpid};
    a.oxid = 0x1122334455667788ull;
    a.bindings = bindings();
    a.ipidRemUnknown = guidFromText("0000A002-1111-2222-3333-444455556666");
    a.authnHint = 6;
    a.serverMajor = 5;
    a.serverMinor = 7;
    return a;
}

TEST(DcomCalls, RequestsReadBackAsTheServerReadsThem) {
    const ActivationRequest act = readRemoteCreateInstanceRequest(
        remoteCreateInstanceRequest(kCid, ids::kClsidWbemLevel1Login, ids::kWbemLevel1Login));
    EXPECT_EQ(act.clsid, ids::kClsidWbemLevel1Login);
    ASSERT_EQ(act.iids.size(), 1u);
    EXPECT_EQ(act.iids[0], ids::kWbemLevel1Login);
    EXPECT_EQ(readNtlmLoginRequest(ntlmLoginRequest(kCid, QStringLiteral("//./root/cimv2"))),
              QStringLiteral("//./root/cimv2"));
    const ExecQueryRequest q = readExecQueryRequest(
        execQueryRequest(kCid, QStringLiteral("Select * From Win32_Share where Name='统一'")));
    EXPECT_EQ(q.language, QStringLiteral("WQL"));
    EXPECT_EQ(q.query, QStringLiteral("Select * From Win32_Share where Name='统一'"));
    EXPECT_EQ(q.flags, 0x30u);
    const NextRequest n = readNextRequest(nextRequest(kCid, 5000, 100));
    EXPECT_EQ(n.timeoutMs, 5000);
    EXPECT_EQ(n.count, 100u);
    const std::vector<InterfaceRef> refs =
        readRemReleaseRequest(remReleaseRequest(kCid, {{kIpid, 5, 0}, {kCid, 1, 2}}));
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_EQ(refs[1].ipid, kCid);
    EXPECT_EQ(refs[1].privateRefs, 2u);
}

// Layouts fixed by the IDL, byte for byte: ORPCTHIS (COM 5.7, no flags, the causality ID, no
// extensions) then Next's two longs; ExecQuery's BSTRs as FLAGGED_WORD_BLOBs without a NUL.
TEST(DcomCalls, FixedLayoutsByteForByte) {
    const QByteArray orpcThis =
        QByteArray::fromHex("05000700000000000000000033221100554477668899aabbccddeeff00000000");
    EXPECT_EQ(nextRequest(kCid, -1, 100).toHex().toStdString(),
              QByteArray(orpcThis + QByteArray::fromHex("ffffffff64000000")).toHex().toStdString());
    EXPECT_EQ(execQueryRequest(kCid, QStringLiteral("ab")).toHex().toStdString(),
              QByteArray(orpcThis + QByteArray::fromHex("00000200"
                                                        "03000000060000000300000057005100"
                                                        "4c000000"
                                                        "0400020002000000040000000200000061006200"
                                                        "3000000000000000"))
                  .toHex()
                  .toStdString());
    EXPECT_EQ(resultReply(kSFalse).toHex(), QByteArray("000000000000000001000000"));
}

TEST(DcomCalls, RepliesReadBackAsTheClientReadsThem) {
    const ActivationReply a = readRemoteCreateInstanceReply(
        remoteCreateInstanceReply(activation(), ids::kWbemLevel1Login));
    ASSERT_TRUE(a.object);
    EXPECT_EQ(a.object->std.ipid, kIpid);
    EXPECT_EQ(a.object->std.oxid, 0x1122334455667788ull);
    EXPECT_EQ(a.oxid, 0x1122334455667788ull);
    EXPECT_EQ(a.authnHint, 6u);
    EXPECT_EQ(a.serverMinor, 7);
    ASSERT_EQ(a.bindings.strings.size(), 4u);
    EXPECT_EQ(a.bindings.security[1].principal, QStringLiteral("host/ws-0417.example.cn"));
    const InterfaceReply login = readInterfaceReply(
        interfaceReply(writeStandardObjRef(ids::kWbemServices, a.object->std, {}), kSOk));
    ASSERT_TRUE(login.object);
    EXPECT_EQ(login.object->iid, ids::kWbemServices);
    const InterfaceReply denied = readInterfaceReply(interfaceReply(std::nullopt, 0x80041003));
    EXPECT_FALSE(denied.object);
    EXPECT_EQ(denied.result, 0x80041003u);
    Instance share;
    share.set(QStringLiteral("Name"), Variant(u"C$"));
    const QByteArray unit = encodeInstance(share, QStringLiteral("Win32_Share"), nullptr);
    const NextReply next = readNextReply(nextReply({unit, unit, unit}, 3, kSFalse), 3);
    ASSERT_EQ(next.objects.size(), 3u);
    EXPECT_EQ(next.result, kSFalse);
    EXPECT_EQ(decodeEncodingUnit(next.objects[2]).instance.find(u"Name")->value, Variant(u"C$"));
    EXPECT_EQ(readResultReply(resultReply(kSOk)), kSOk);
}

// The object's port is taken on the address already reached, never from another host.
TEST(DcomCalls, PortOnTheReachedAddress) {
    const struct {
        const char* reached;
        std::optional<std::uint16_t> port;
    } cases[] = {
        {"198.18.0.1", 49668}, {"ws-0417", 49667}, {"fe80::1", 49669}, {"192.0.2.7", 49667}};
    for (const auto& c : cases)
        EXPECT_EQ(portOnReachedAddress(bindings(), QString::fromLatin1(c.reached)), c.port)
            << c.reached;
    DualStringArray none;
    none.strings = {{kTowerTcp, QStringLiteral("HOST")},
                    {kTowerTcp, QStringLiteral("HOST[0]")},
                    {kTowerTcp, QStringLiteral("HOST[70000]")},
                    {0x0010, QStringLiteral("HOST[135]")}};
    EXPECT_EQ(portOnReachedAddress(none, QStringLiteral("HOST")), std::nullopt);
}

void put32(QByteArray& b, qsizetype at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = char(v >> (8 * k));
}

// Replies a hostile or broken server could send: refused, each with its message.
TEST(DcomCalls, BrokenRepliesAreRefused) {
    Instance share;
    share.set(QStringLiteral("Name"), Variant(u"C$"));
    const QByteArray unit = encodeInstance(share, QStringLiteral("Win32_Share"), nullptr);
    const QByteArray next = nextReply({unit, unit}, 2, kSOk);
    const QByteArray act = remoteCreateInstanceReply(activation(), ids::kWbemLevel1Login);
    const QByteArray login = interfaceReply(writeStandardObjRef(ids::kWbemServices, {}, {}), kSOk);
    using Read = std::function<void(QByteArrayView)>;
    const Read readNext = [](QByteArrayView b) { (void)readNextReply(b, 2); };
    const Read readAct = [](QByteArrayView b) { (void)readRemoteCreateInstanceReply(b); };
    const Read readLogin = [](QByteArrayView b) { (void)readInterfaceReply(b); };
    const Read readFew = [](QByteArrayView b) { (void)readNextReply(b, 1); };
    const struct {
        const char* what;
        const QByteArray& stub;
        const Read& read;
        qsizetype at;  // where `value` is written; -1: nowhere
        std::uint32_t value;
    } cases[] = {
        {"more objects than asked", next, readFew, -1, 0},
        {"actual count above max count", next, readNext, 16, 3},
        {"a NULL object", next, readNext, 20, 0},
        {"object length beyond the stub", next, readNext, 32, 0x7FFFFFF0},
        {"objref signature", login, readLogin, 20, 0x12345678},
        {"objref kind", login, readLogin, 24, 2},
        {"security offset beyond the entries", login, readLogin, 84, 0x00FF0001},
        {"activation blob not a type serialization", act, readAct, 76, 0x01000002},
    };
    for (const auto& c : cases) {
        QByteArray bad = c.stub;
        if (c.at >= 0) put32(bad, c.at, c.value);
        try {
            c.read(bad);
            ADD_FAILURE() << c.what << ": taken";
        } catch (const FormatError& e) {
            EXPECT_FALSE(e.message().isEmpty()) << c.what;
        }
        for (qsizetype n = 0; n < c.stub.size(); n += 1 + n / 64)  // cut anywhere: refused
            EXPECT_THROW(c.read(c.stub.first(n)), FormatError) << c.what << " cut at " << n;
    }
}

// The requests checked once with an independent reader (python3-impacket's DCOM and WMI call
// structures): the activation blob's frame (custom OBJREFs, headers, the properties' classes),
// the query, the namespace and the references released. (Read that way it leaves the activation
// properties' own deferred data out, so it says nothing of those; the replies are checked end to
// end below.)
TEST(DcomCalls, AnIndependentReaderReadsTheRequests) {
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import impacket")}) != 0)
        GTEST_SKIP() << "python3-impacket is not installed: the requests are not cross-checked";
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("stubs.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    for (const QByteArray& stub :
         {remoteCreateInstanceRequest(kCid, ids::kClsidWbemLevel1Login, ids::kWbemLevel1Login),
          execQueryRequest(kCid, QStringLiteral("Select * From Win32_Share")),
          ntlmLoginRequest(kCid, QStringLiteral("//./root/cimv2")),
          remReleaseRequest(kCid, {{kIpid, 5, 0}}),
          remoteCreateInstanceReply(activation(), ids::kWbemLevel1Login)})
        file.write(stub.toHex() + '\n');
    file.close();
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(QELTO_TEST_DATA "/calls_check.py"), file.fileName()});
    ASSERT_TRUE(python.waitForFinished(60000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    QJsonObject got = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    for (const char* blob : {"request", "reply"}) {  // the classes by their first group
        QJsonObject b = got.value(QLatin1StringView(blob)).toObject();
        QJsonArray classes;
        for (const QJsonValue& c : b.value(u"properties").toArray())
            classes << c.toString().left(8);
        b[QStringLiteral("properties")] = classes;
        b[QStringLiteral("objref")] = b.value(u"objref").toString().left(8);
        got[QLatin1StringView(blob)] = b;
    }
    EXPECT_EQ(QJsonDocument(got).toJson(QJsonDocument::Compact).toStdString(),
              R"({"login":["//./root/cimv2",0],"query":["WQL","Select * From Win32_Share",48],)"
              R"("release":[1,5],"reply":{"destCtx":2,"objref":"00000339","properties":)"
              R"(["00000339","000001B6"],"sizes":[152,256],"total":520},"request":{"destCtx":2,)"
              R"("objref":"00000338","properties":["000001A5","000001AB","000001A4","000001AA",)"
              R"("000001A6"],"sizes":[40,88,32,48,32],"total":416}})");
}

QList<std::pair<QByteArray, QByteArray>> recordedStubs(QIODevice& in) {
    QList<std::pair<QByteArray, QByteArray>> out;
    for (const QByteArray& line : in.readAll().trimmed().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2) out.push_back({parts[0], QByteArray::fromHex(parts[1])});
    }
    return out;
}

// What the tests' server reads from an independent client's requests (python3-impacket's DCOM
// client, recorded once in fixtures/impacket-requests.txt as "port:opnum stub").
void expectImpacketRequests(const QList<std::pair<QByteArray, QByteArray>>& stubs) {
    ASSERT_GE(stubs.size(), 5);
    for (const auto& [call, stub] : stubs) {
        if (call == "135:4") {
            const ActivationRequest a = readRemoteCreateInstanceRequest(stub);
            EXPECT_EQ(a.clsid, ids::kClsidWbemLevel1Login);
            ASSERT_EQ(a.iids.size(), 1u);
            EXPECT_EQ(a.iids[0], ids::kWbemLevel1Login);
        } else if (call.endsWith(":6")) {
            EXPECT_EQ(readNtlmLoginRequest(stub), QStringLiteral("//./root/cimv2"));
        } else if (call.endsWith(":20")) {
            const ExecQueryRequest q = readExecQueryRequest(stub);
            EXPECT_EQ(q.language + u'|' + q.query, QStringLiteral("WQL|Select * From Win32_Share"));
        } else if (call.endsWith(":4")) {
            EXPECT_EQ(readNextRequest(stub).count, 1u);
        } else {
            EXPECT_EQ(readRemReleaseRequest(stub).size(), 1u) << call.toStdString();
        }
    }
}

TEST(DcomCalls, RequestsOfAnIndependentClient) {
    QFile fixture(QStringLiteral(QELTO_TEST_DATA "/fixtures/impacket-requests.txt"));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    expectImpacketRequests(recordedStubs(fixture));
}

// The replies checked with an independent client end to end: python3-impacket's DCOM client
// activates, logs in, queries and enumerates against a server in a namespace of its own that
// answers with the stubs written here, and reads the object; its requests read back here.
TEST(DcomCalls, AnIndependentClientRunsAQueryOnTheseReplies) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import impacket")}) != 0)
        GTEST_SKIP() << "python3-impacket is not installed: the replies are not cross-checked";
    ActivationReply a = activation();
    a.bindings.strings = {{kTowerTcp, QStringLiteral("127.0.0.1[1500]")}};
    a.bindings.security = {{10, QString()}};
    a.object->resolver = a.bindings;
    a.authnHint = 1;
    Instance share;
    share.set(QStringLiteral("Name"), Variant(u"财务报表"));
    share.set(QStringLiteral("Path"), Variant(u"D:\\共享"));
    const QByteArray unit = encodeInstance(share, QStringLiteral("Win32_Share"), nullptr);
    auto objRef = [&](const Guid& iid, std::uint64_t oid) {
        return writeStandardObjRef(iid, {0, 5, a.oxid, oid, kIpid}, a.bindings);
    };
    QTemporaryDir dir;
    QFile replies(dir.filePath(QStringLiteral("replies.txt")));
    ASSERT_TRUE(replies.open(QIODevice::WriteOnly));
    const std::pair<const char*, QByteArray> stubs[] = {
        {"act", remoteCreateInstanceReply(a, ids::kWbemLevel1Login)},
        {"login", interfaceReply(objRef(ids::kWbemServices, 2), kSOk)},
        {"query", interfaceReply(objRef(ids::kEnumWbemClassObject, 3), kSOk)},
        {"next1", nextReply({unit}, 1, kSOk)},
        {"next2", nextReply({}, 1, kSFalse)},
        {"result", resultReply(kSOk)},
    };
    for (const auto& [name, stub] : stubs) replies.write(name + (' ' + stub.toHex()) + '\n');
    replies.close();
    const QString requests = dir.filePath(QStringLiteral("requests.txt"));
    QProcess run;
    run.start(QStringLiteral("unshare"),
              {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
               QStringLiteral(
                   "ip link set lo up && exec timeout 60 /usr/bin/python3 \"$0\" \"$1\" \"$2\""),
               QStringLiteral(QELTO_TEST_DATA "/replay_client.py"), replies.fileName(), requests});
    ASSERT_TRUE(run.waitForFinished(90000));
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    EXPECT_EQ(out, QStringLiteral("object 财务报表 D:\\共享\nreleased\n"))
        << run.readAllStandardError().toStdString();
    QFile recorded(requests);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
    expectImpacketRequests(recordedStubs(recorded));
}

}  // namespace
}  // namespace qelto::dcom
