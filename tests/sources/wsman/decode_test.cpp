// The WS-Management reply decoder: datetimes, both item shapes, Windows's reply and fault shapes,
// and the encoder of the tests' listener read back through it, down to every recorded machine.

#include "sources/wsman/decode.h"
#include "sources/linux/local.h"
#include "sources/linux/source.h"
#include "sources/wsman/encode.h"
#include "sources/wsman/encrypted.h"
#include "wmi/error.h"
#include "wmi/snapshot.h"

#include <QDir>

#include <gtest/gtest.h>

#include <chrono>

namespace qelto::wmi::wsman {
namespace {

std::string str(const QString& s) {
    return s.toStdString();
}

std::string show(const Property* p) {
    if (!p) return "(absent)";
    if (!p->readable) return "(unreadable)";
    const Variant& v = p->value;
    std::string out = typeName(v.type());
    if (v.isArray()) {
        out += "[";
        for (const Variant& e : v.arrayValue())
            out += std::string(typeName(e.type())) + ":" + str(e.textValue()) + ",";
        return out + "]";
    }
    return out + ":" + str(v.textValue()) + std::to_string(v.intValue()) +
           (v.boolValue() ? "t" : "");
}

// What reading `sent` back over WS-Management must give: the same properties, an empty array
// becoming Null (Windows leaves out empty and Null arrays alike).
void expectSameInstance(const Instance& sent, const Instance& got, const schema::Class& cls,
                        const std::string& where) {
    for (const Property& p : sent.properties) {
        const Property* q = got.find(p.name);
        Property expected = p;
        if (p.readable && p.value.isArray() && p.value.arrayValue().empty()) expected.value = {};
        ASSERT_NE(q, nullptr) << where << " " << str(p.name);
        EXPECT_EQ(q->readable, expected.readable) << where << " " << str(p.name);
        EXPECT_TRUE(!q->readable || q->value == expected.value)
            << where << " " << str(p.name) << ": " << show(&expected) << " != " << show(q);
    }
    for (const Property& q : got.properties) {
        const schema::Property* s = schema::findProperty(cls, q.name);
        EXPECT_TRUE(sent.find(q.name) || (s && s->array && q.value.isNull()))
            << where << " extra " << str(q.name);
    }
}

Decoded pulled(const std::vector<QByteArray>& items, const schema::Class* cls) {
    return decodeEnumerationReply(
        pullResponse({QStringLiteral("uuid:1"), {}}, {items, QStringLiteral("uuid:ctx"), false}),
        cls);
}

TEST(CimDateTime, ConvertsXsDateTimesKeepingTheHostsOffset) {
    const struct {
        const char16_t* in;
        const char16_t* out;  // nullptr: not a date
    } cases[] = {
        {u"2024-11-12T07:58:31.5+01:00", u"20241112075831.500000+060"},
        {u"2013-04-15T16:28:39.5Z", u"20130415162839.500000+000"},
        {u"2023-06-02T10:15:00-07:00", u"20230602101500.000000-420"},
        {u"2014-04-03T14:45:50.46875+08:00", u"20140403144550.468750+480"},
        {u"2020-01-01T00:00:00.1234567+05:45", u"20200101000000.123456+345"},
        {u"2024-02-29T23:59:59", u"20240229235959.000000+000"},
        {u"  2024-03-15T10:30:00.123-00:00\n", u"20240315103000.123000-000"},
        {u"20240315093012.000000+480", u"20240315093012.000000+480"},
        {u"2024031509****.******+480", u"2024031509****.******+480"},
        {u"2023-02-29T10:00:00Z", nullptr},
        {u"2024-13-01T10:00:00Z", nullptr},
        {u"2024-04-31T10:00:00Z", nullptr},
        {u"2024-01-01T24:00:00Z", nullptr},
        {u"2024-01-01T10:60:00Z", nullptr},
        {u"2024-01-01T10:00:00.Z", nullptr},
        {u"2024-01-01T10:00:00+5:00", nullptr},
        {u"2024-01-01T10:00:00+05:60", nullptr},
        {u"2024-01-01 10:00:00Z", nullptr},
        {u"2024-1-01T10:00:00Z", nullptr},
        {u"", nullptr},
        {u"20240315093012.000000x480", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<QString> got = cimDateTime(QStringView(c.in));
        if (!c.out) {
            EXPECT_FALSE(got) << str(QString::fromUtf16(c.in)) << " -> "
                              << str(got.value_or(QString()));
            continue;
        }
        ASSERT_TRUE(got) << str(QString::fromUtf16(c.in));
        EXPECT_EQ(str(*got), str(QString::fromUtf16(c.out)));
    }
}

TEST(EncodeDecode, EveryTypeInEveryItemShapeReadsBack) {
    const schema::Class* os = schema::findClass(u"win32_operatingsystem");
    const schema::Class* nac = schema::findClass(u"Win32_NetworkAdapterConfiguration");
    ASSERT_TRUE(os && nac);
    Instance a;
    a.set(QStringLiteral("Caption"), Variant(u"Windows <10> & \"Pro\"\r\n\t 中文"));
    a.set(QStringLiteral("Organization"), Variant(QString()));
    a.set(QStringLiteral("CSDVersion"), Variant());
    a.set(QStringLiteral("encryptionlevel"), Variant(qint64(256)));
    a.set(QStringLiteral("TotalVirtualMemorySize"), Variant(u"18446744073709551615"));
    a.set(QStringLiteral("Primary"), Variant(true));
    a.set(QStringLiteral("InstallDate"), Variant(u"20230302142147.000000+060"));
    a.set(QStringLiteral("LastBootUpTime"), Variant(u"20241112075831.500000-330"));
    a.set(QStringLiteral("LocalDateTime"), Variant(u"20241112075831.123456+000"));
    a.set(QStringLiteral("Extra"), Variant(u"kept as text"));
    a.properties.push_back({QStringLiteral("SystemDrive"), Variant(), false});
    Instance b;
    b.set(QStringLiteral("IPAddress"), Variant(Variant::Array{Variant(u"10.0.0.5")}));
    b.set(QStringLiteral("IPSubnet"),
          Variant(Variant::Array{Variant(u"255.0.0.0"), Variant(u"64")}));
    b.set(QStringLiteral("DefaultIPGateway"), Variant());
    b.set(QStringLiteral("DHCPEnabled"), Variant(false));
    b.set(QStringLiteral("InterfaceIndex"), Variant(qint64(4294967295LL)));
    for (ItemShape shape : {ItemShape::Instance, ItemShape::Item, ItemShape::Fragment}) {
        const std::string where = "shape " + std::to_string(int(shape));
        const Decoded d = pulled(
            {encodeInstance(a, *os, resourceUri(u"root\\cimv2", u"Win32_OperatingSystem"), shape)},
            os);
        ASSERT_EQ(d.reply.items.size(), 1u);
        expectSameInstance(a, d.reply.items[0], *os, where);
        const Decoded e =
            pulled({encodeInstance(b, *nac, resourceUri(u"root\\cimv2", u"X"), shape),
                    encodeInstance(Instance{}, *nac, resourceUri(u"root\\cimv2", u"X"), shape)},
                   nac);
        ASSERT_EQ(e.reply.items.size(), 2u);
        expectSameInstance(b, e.reply.items[0], *nac, where);
        // An instance without its arrays has them as Null, as WMI gives them.
        EXPECT_TRUE(e.reply.items[1].find(u"IPAddress") &&
                    e.reply.items[1].find(u"IPAddress")->value.isNull());
    }
}

// Every recorded machine, snapshot and Linux, sent as the tests' listener sends it.
TEST(EncodeDecode, EveryRecordedMachineReadsBack) {
    std::vector<std::pair<std::string, std::shared_ptr<const InstanceStore>>> machines;
    const QString scans = QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines");
    for (const QString& f : QDir(scans).entryList({QStringLiteral("*.json")}))
        if (!f.endsWith(u".expected.json"))
            machines.push_back({str(f), loadSnapshot(scans + u'/' + f)});
    const QString linux = QStringLiteral(QELTO_SOURCE_DIR "/tests/sources/linux/machines");
    for (const QString& m : QDir(linux).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        machines.push_back({str(m), lnx::scanLocal(linux + u'/' + m)});
    ASSERT_GE(machines.size(), 6u);
    int instances = 0;
    for (const auto& [name, store] : machines) {
        for (const ClassData* c : store->classes()) {
            const schema::Class* cls = schema::findClass(c->name);
            ASSERT_TRUE(cls) << name << " " << str(c->name);
            std::vector<QByteArray> items;
            std::vector<const Instance*> sent;
            for (const std::optional<Instance>& i : c->items) {
                if (!i) continue;
                items.push_back(encodeInstance(*i, *cls, resourceUri(u"root\\cimv2", c->name)));
                sent.push_back(&*i);
            }
            const Decoded d = pulled(items, cls);
            ASSERT_EQ(d.reply.items.size(), sent.size()) << name << " " << str(c->name);
            for (std::size_t k = 0; k < sent.size(); ++k, ++instances)
                expectSameInstance(*sent[k], d.reply.items[k], *cls,
                                   name + " " + str(c->name) + "#" + std::to_string(k));
        }
    }
    EXPECT_GT(instances, 100);
}

// Replies written by hand the way Windows writes them, under prefixes of their own: the decoder
// goes by namespaces, takes EndOfSequence only where it belongs and the latest context.
TEST(DecodeReply, WindowsShapesAndPrefixes) {
    const QByteArray head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><e:Envelope "
        "xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:x=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
        "xmlns:y=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\"><e:Header/><e:Body>";
    const QByteArray tail = "</e:Body></e:Envelope>";
    const QByteArray share =
        "<q:Win32_Share xmlns:q=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/"
        "Win32_Share\"><q:Name>C$</q:Name><q:EndOfSequence/></q:Win32_Share>";
    const schema::Class* cls = schema::findClass(u"Win32_Share");
    const struct {
        QByteArray body;
        const char* context;
        bool end;
        std::size_t items;
    } cases[] = {
        {"<x:EnumerateResponse><x:EnumerationContext></x:EnumerationContext><y:Items>" + share +
             share + "</y:Items><y:EndOfSequence/></x:EnumerateResponse>",
         "", true, 2},
        {"<x:EnumerateResponse><x:EnumerationContext> uuid:A </x:EnumerationContext><y:Items>" +
             share + "</y:Items></x:EnumerateResponse>",
         "uuid:A", false, 1},
        {"<x:EnumerateResponse><x:EnumerationContext>uuid:B</x:EnumerationContext>"
         "</x:EnumerateResponse>",
         "uuid:B", false, 0},
        {"<x:PullResponse><x:EnumerationContext>uuid:C</x:EnumerationContext><x:Items/>"
         "</x:PullResponse>",
         "uuid:C", false, 0},
        {"<x:PullResponse><x:Items>" + share + "</x:Items><x:EndOfSequence/></x:PullResponse>", "",
         true, 1},
    };
    for (const auto& c : cases) {
        const Decoded d = decodeEnumerationReply(QByteArray(head + c.body + tail), cls);
        ASSERT_FALSE(d.fault) << c.body.toStdString();
        EXPECT_EQ(str(d.reply.context), c.context) << c.body.toStdString();
        EXPECT_EQ(d.reply.endOfSequence, c.end) << c.body.toStdString();
        ASSERT_EQ(d.reply.items.size(), c.items) << c.body.toStdString();
        for (const Instance& i : d.reply.items)
            EXPECT_EQ(str(i.find(u"Name")->value.textValue()), "C$");
    }
    // Neither a context nor the end: pulling again could never end.
    EXPECT_THROW(decodeEnumerationReply(QByteArray(head + "<x:PullResponse><x:Items>" + share +
                                                   "</x:Items></x:PullResponse>" + tail),
                                        cls),
                 DecodeError);
}

TEST(DecodeReply, FaultsGiveTheirWmiNumbers) {
    FaultSpec wmiStatus = providerFault(2150858778u, QStringLiteral("Provider failure"));
    wmiStatus.operation = QStringLiteral("ExecQuery");
    wmiStatus.wmiStatus = code::InvalidClass;
    FaultSpec syntax = invalidClassFault(QStringLiteral("Select * Fro X"));
    syntax.providerMessage = QStringLiteral("The query is not valid.");
    syntax.operation.clear();
    FaultSpec timedOut;
    timedOut.subcode = QStringLiteral("w:TimedOut");
    timedOut.reason = QStringLiteral("The operation timed out.");
    const struct {
        FaultSpec fault;
        const char* subcode;
        std::uint32_t wmiError;
    } cases[] = {
        {invalidClassFault(QStringLiteral("Select * From Win32_TerminalServiceSetting")),
         "n:CannotProcessFilter", code::InvalidClass},
        {syntax, "n:CannotProcessFilter", code::InvalidQuery},
        {accessDeniedFault(), "w:AccessDenied", code::AccessDenied},
        {wmiAccessDeniedFault(), "w:AccessDenied", code::AccessDenied},
        {wmiStatus, "w:InternalError", code::InvalidClass},
        {providerFault(0x80338041u, QStringLiteral("The request contains an invalid datetime.")),
         "w:InternalError", 0},
        {timedOut, "w:TimedOut", code::Timeout},
    };
    for (const auto& c : cases) {
        const Decoded d =
            decodeEnumerationReply(encodeFault({QStringLiteral("uuid:1"), {}}, c.fault), nullptr);
        ASSERT_TRUE(d.fault) << str(c.fault.reason);
        EXPECT_EQ(str(d.fault->subcode), c.subcode);
        EXPECT_EQ(d.fault->wmiError, c.wmiError) << str(c.fault.reason);
        EXPECT_EQ(str(d.fault->reason), str(c.fault.reason.trimmed()));
    }
    // The other detail form, under a prefix Windows would not choose for the subcode.
    const QByteArray msft =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:z=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\"><s:Body><s:Fault><s:Code>"
        "<s:Value>s:Receiver</s:Value><s:Subcode><s:Value>z:CannotProcessFilter</s:Value>"
        "</s:Subcode></s:Code><s:Reason><s:Text xml:lang=\"en-US\"></s:Text></s:Reason><s:Detail>"
        "<p:MSFT_WmiError xmlns:p=\"http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/"
        "MSFT_WmiError\"><p:Message>Invalid namespace </p:Message><p:MessageID>HRESULT "
        "0x8004100e</p:MessageID></p:MSFT_WmiError></s:Detail></s:Fault></s:Body></s:Envelope>";
    const Decoded d = decodeEnumerationReply(msft, nullptr);
    ASSERT_TRUE(d.fault);
    EXPECT_EQ(str(d.fault->subcode), "n:CannotProcessFilter");
    EXPECT_EQ(d.fault->wmiError, 0x8004100Eu);
    EXPECT_EQ(str(d.fault->reason), "Invalid namespace");
}

TEST(DecodeReply, BrokenRepliesFailCleanly) {
    const schema::Class* cls = schema::findClass(u"Win32_OperatingSystem");
    Instance os;
    os.set(QStringLiteral("Caption"), Variant(u"Windows"));
    os.set(QStringLiteral("InstallDate"), Variant(u"20230302142147.000000+060"));
    const QByteArray good = pullResponse(
        {QStringLiteral("uuid:1"), {}},
        {{encodeInstance(os, *cls, resourceUri(u"root\\cimv2", u"Win32_OperatingSystem"))},
         {},
         true});
    ASSERT_EQ(decodeEnumerationReply(good, cls).reply.items.size(), 1u);
    // Cut anywhere, the reply is refused, never half taken.
    for (qsizetype n = 0; n < good.size(); ++n)
        EXPECT_THROW(decodeEnumerationReply(good.left(n), cls), DecodeError) << n;
    const QByteArray bad[] = {
        "not xml at all",
        "<a><b></a>",
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"/>",
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body/></s:Envelope>",
        "<Envelope><Body/></Envelope>",
        "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaa\">]><x>&a;</x>",
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body><s:Other/>"
        "</s:Body></s:Envelope>",
        good + "<second/>",
        QByteArray(good).replace("Windows",
                                 "Win\x01"
                                 "dows"),
    };
    for (const QByteArray& b : bad)
        EXPECT_THROW(decodeEnumerationReply(b, cls), DecodeError) << b.toStdString();
}

// Values of the wrong form are unreadable properties, not failed replies.
TEST(DecodeReply, ValuesThatDoNotFitTheirTypeAreUnreadable) {
    const schema::Class* cls = schema::findClass(u"Win32_PointingDevice");
    const QByteArray values[] = {"<p:NumberOfButtons>18446744073709551616</p:NumberOfButtons>",
                                 "<p:NumberOfButtons>-1</p:NumberOfButtons>",
                                 "<p:NumberOfButtons>3x</p:NumberOfButtons>",
                                 "<p:NumberOfButtons>3</p:NumberOfButtons><p:NumberOfButtons>4"
                                 "</p:NumberOfButtons>",
                                 "<p:NumberOfButtons><p:Inner/></p:NumberOfButtons>"};
    for (const QByteArray& v : values) {
        const QByteArray item = "<p:Win32_PointingDevice xmlns:p=\"urn:x\"><p:Name>m</p:Name>" + v +
                                "</p:Win32_PointingDevice>";
        const Decoded d = pulled({item}, cls);
        ASSERT_EQ(d.reply.items.size(), 1u);
        const Property* p = d.reply.items[0].find(u"NumberOfButtons");
        ASSERT_TRUE(p) << v.toStdString();
        EXPECT_FALSE(p->readable) << v.toStdString();
        EXPECT_TRUE(d.reply.items[0].find(u"Name")->readable);
    }
}

TEST(DecodeReply, ManyItemsInLinearTime) {
    const schema::Class* cls = schema::findClass(u"Win32_Share");
    Instance share;
    share.set(QStringLiteral("Name"), Variant(u"share"));
    const QByteArray item =
        encodeInstance(share, *cls, resourceUri(u"root\\cimv2", u"Win32_Share"));
    auto timeFor = [&](int n) {
        const QByteArray reply = pullResponse({}, {std::vector<QByteArray>(n, item), {}, true});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(decodeEnumerationReply(reply, cls).reply.items.size(), std::size_t(n));
        return std::chrono::steady_clock::now() - start;
    };
    const auto small = timeFor(5000), large = timeFor(40000);
    EXPECT_LT(large, small * 8 * 4) << "decoding grows faster than the reply";
}

// Sealed bytes may hold CR, LF and the boundary itself; part headers come with or without tabs.
TEST(EncryptedBody, RoundTripsBinaryAndReadsUntabbedHeaders) {
    EncryptedPart part{kSpnegoEncrypted, kSoapType, 24, QByteArray("\x01\0\0\0sig-sig-sig-", 16),
                       QByteArray("\r\n--Encrypted Boundary\r\n\0\xff", 24)};
    const QByteArray body = encryptedBody(part);
    const auto parts = parseEncryptedBody(encryptedContentType(kSpnegoEncrypted), body);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].header, part.header);
    EXPECT_EQ(parts[0].sealed, part.sealed);
    EXPECT_EQ(parts[0].plainLength, 24);
    EXPECT_EQ(parts[0].originalType, QByteArray(kSoapType));
    QByteArray untabbed = body;
    untabbed.replace("\r\n\t", "\r\n");
    EXPECT_EQ(parseEncryptedBody(encryptedContentType(kSpnegoEncrypted), untabbed)[0].sealed,
              part.sealed);
}

TEST(EncryptedBody, RefusesWhatIsNotOne) {
    const QByteArray type = encryptedContentType(kSpnegoEncrypted);
    const QByteArray good =
        encryptedBody({kSpnegoEncrypted, kSoapType, 4, QByteArray(16, 's'), "data"});
    QByteArray longer = good, hugeHeader = good, otherProtocol = good;
    longer.replace("Length=4", "Length=5000");
    hugeHeader.replace(QByteArray("\x10\0\0\0", 4), QByteArray("\xff\xff\0\0", 4));
    otherProtocol.replace("Content-Type: application/HTTP-SPNEGO", "Content-Type: application/X");
    const struct {
        const char* what;
        QByteArray type, body;
    } cases[] = {
        {"plain SOAP", "application/soap+xml;charset=UTF-8", good},
        {"no boundary parameter", "multipart/encrypted;protocol=\"x\"", good},
        {"length beyond the body", type, longer},
        {"header beyond the body", type, hugeHeader},
        {"no closing boundary", type, good.left(good.size() - 24)},
        {"protocol differs", type, otherProtocol},
        {"empty", type, {}},
    };
    for (const auto& c : cases)
        EXPECT_THROW(parseEncryptedBody(c.type, c.body), DecodeError) << c.what;
}

}  // namespace
}  // namespace qelto::wmi::wsman
