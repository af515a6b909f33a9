// The WMI object encoding: every recorded machine encoded as the tests' WMI server sends it and
// decoded again, the store's value conventions, the class cache, hostile objects refused, and
// the framing read by an independent decoder.

#include "sources/dcom/wmio.h"
#include "sources/linux/local.h"
#include "wmi/snapshot.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

namespace qelto::dcom {
namespace {

using namespace qelto::wmi;

std::string str(const QString& s) {
    return s.toStdString();
}

// A value as the independent decoder's script prints it (64-bit integers as text, as the store
// keeps them).
QJsonValue asPrinted(const Variant& v) {
    QJsonArray items;
    for (const Variant& e : v.arrayValue()) items << asPrinted(e);
    switch (v.type()) {
        case Variant::Type::Text:
            return v.textValue();
        case Variant::Type::Int:
            return double(v.intValue());
        case Variant::Type::Double:
            return v.doubleValue();
        case Variant::Type::Bool:
            return v.boolValue();
        case Variant::Type::Array:
            return items;
        default:
            return QJsonValue();
    }
}

std::string show(const Property* p) {
    if (!p || !p->readable) return p ? "(unreadable)" : "(absent)";
    return QJsonDocument(QJsonArray{asPrinted(p->value)})
        .toJson(QJsonDocument::Compact)
        .toStdString();
}

void expectSame(const Instance& sent, const Instance& got, const std::string& where) {
    EXPECT_EQ(got.properties.size(), sent.properties.size()) << where;
    for (const Property& p : sent.properties) {
        const Property* q = got.find(p.name);
        ASSERT_NE(q, nullptr) << where << " " << str(p.name);
        EXPECT_EQ(q->readable, p.readable) << where << " " << str(p.name);
        EXPECT_TRUE(!q->readable || q->value == p.value)
            << where << " " << str(p.name) << ": " << show(&p) << " != " << show(q);
    }
}

// Every instance of every recorded machine, as Next sends it, read back through one class cache
// per class as an enumeration reads it.
TEST(Wmio, EveryRecordedMachineReadsBack) {
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
            ClassCache cache;
            std::size_t k = 0;
            for (const std::optional<Instance>& i : c->items) {
                if (!i) continue;
                const std::string where = name + " " + str(c->name) + "#" + std::to_string(k++);
                const DecodedObject d =
                    decodeEncodingUnit(encodeInstance(*i, c->name, cls), &cache);
                ASSERT_FALSE(d.isClass) << where;
                EXPECT_EQ(str(d.cls->name), str(c->name)) << where;
                EXPECT_EQ(str(d.wmiNamespace), "ROOT\\cimv2") << where;
                expectSame(*i, d.instance, where);
                ++instances;
            }
            EXPECT_LE(cache.size(), k) << name << " " << str(c->name);
        }
    }
    EXPECT_GT(instances, 100);
}

Instance sample() {
    Instance i;
    i.set(QStringLiteral("Caption"), Variant(u"Windows 11 专业版"));
    i.set(QStringLiteral("Organization"), Variant(QString()));
    i.set(QStringLiteral("CSDVersion"), Variant());
    i.set(QStringLiteral("EncryptionLevel"), Variant(qint64(256)));
    i.set(QStringLiteral("TotalVirtualMemorySize"), Variant(u"18446744073709551615"));
    i.set(QStringLiteral("FreePhysicalMemory"), Variant(u"007"));  // not canonical: kept as text
    i.set(QStringLiteral("NumberOfProcesses"), Variant(qint64(8589934592LL)));  // beyond 32 bits
    i.set(QStringLiteral("Primary"), Variant(true));
    i.set(QStringLiteral("InstallDate"), Variant(u"20230302142147.000000+060"));
    i.set(QStringLiteral("Extra"), Variant(Variant::Array{Variant(1.5), Variant(-2.25)}));
    i.set(QStringLiteral("Mixed"), Variant(Variant::Array{Variant(true), Variant(qint64(1))}));
    i.properties.push_back({QStringLiteral("SystemDrive"), Variant(), false});
    return i;
}

// The types the encoder declares and what the decoder makes of them, property by property.
TEST(Wmio, TypesFollowTheSchemaWhereTheValueFitsIt) {
    const schema::Class* os = schema::findClass(u"Win32_OperatingSystem");
    const Instance i = sample();
    const struct {
        const char* property;
        std::uint32_t type;
    } cases[] = {
        {"Caption", cim::kString},
        {"CSDVersion", cim::kString},
        {"EncryptionLevel", cim::kUInt32},
        {"TotalVirtualMemorySize", cim::kUInt64},
        {"FreePhysicalMemory", cim::kString},
        {"NumberOfProcesses", cim::kSInt64},
        {"Primary", cim::kBoolean},
        {"InstallDate", cim::kDateTime},
        {"Extra", cim::kReal64 | cim::kArray},
        {"Mixed", cim::kObject},
        {"SystemDrive", cim::kObject},
    };
    const DecodedObject d =
        decodeEncodingUnit(encodeInstance(i, QStringLiteral("Win32_OperatingSystem"), os));
    for (const auto& c : cases) {
        const QString name = QString::fromLatin1(c.property);
        const Property* p = i.find(name);
        ASSERT_TRUE(p) << c.property;
        EXPECT_EQ(encodedType(*p, schema::findProperty(*os, name)), c.type) << c.property;
        const auto def = std::find_if(d.cls->properties.begin(), d.cls->properties.end(),
                                      [&](const PropertyDef& x) { return x.name == name; });
        ASSERT_NE(def, d.cls->properties.end()) << c.property;
        EXPECT_EQ(def->type, c.type) << c.property;
    }
    Instance expected = i;
    for (Property& p : expected.properties)
        if (p.name == u"Mixed") p.readable = false;  // no encoding holds a mixed array
    expectSame(expected, d.instance, "sample");
}

QByteArray smallUnit() {
    Instance i;
    i.set(QStringLiteral("Name"), Variant(u"C$"));
    return encodeInstance(i, QStringLiteral("Win32_Share"), schema::findClass(u"Win32_Share"),
                          {QStringLiteral("S"), QStringLiteral("N"), QString()});
}

void put32(QByteArray& b, qsizetype at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = char(v >> (8 * k));
}

// Objects a hostile or broken server could send: each is refused with a message, none read
// beyond its parts. Offsets are those of smallUnit(): the frame (8), flags (1), decoration (6),
// then the class part.
TEST(Wmio, HostileObjectsAreRefused) {
    constexpr qsizetype kClass = 15;
    const struct {
        const char* what;
        qsizetype at;
        std::uint32_t value;
        int width;
    } cases[] = {
        {"signature", 0, 0x87654321, 4},
        {"object length beyond the data", 4, 0x7FFFFFFF, 4},
        {"neither class nor instance", 8, 0x00, 1},
        {"both class and instance", 8, 0x07, 1},
        {"unknown string flag", 9, 0x02, 1},
        {"class part shorter than its header", kClass, 5, 4},
        {"class part beyond the object", kClass, 0x10000, 4},
        {"class name beyond the heap", kClass + 5, 0x7FFFFFF0, 4},
        {"unknown dictionary string", kClass + 5, 0x80000063, 4},
        {"class name not the instance's", kClass + 5, 0x80000001, 4},
        {"derivation list shorter than its length", kClass + 13, 2, 4},
        {"property count beyond the table", kClass + 21, 0x7FFFFFFF, 4},
        {"property info beyond the heap", kClass + 29, 0x00FFFFFF, 4},
    };
    const QByteArray good = smallUnit();
    ASSERT_NO_THROW(decodeEncodingUnit(good));
    for (const auto& c : cases) {
        QByteArray bad = good;
        if (c.width == 1)
            bad[c.at] = char(c.value);
        else
            put32(bad, c.at, c.value);
        try {
            decodeEncodingUnit(bad);
            ADD_FAILURE() << c.what << ": taken";
        } catch (const FormatError& e) {
            EXPECT_FALSE(e.message().isEmpty()) << c.what;
        }
    }
    for (qsizetype n = 0; n < good.size(); ++n)
        EXPECT_THROW(decodeEncodingUnit(good.first(n)), FormatError) << "cut at " << n;
}

// An instance sent without its class (the smart enumerator's form) reads against the class
// met before; the same class part met again is decoded once.
TEST(Wmio, ElidedClassAndCache) {
    const QByteArray unit = smallUnit();
    ClassCache cache;
    const DecodedObject first = decodeEncodingUnit(unit, &cache);
    const DecodedObject second = decodeEncodingUnit(unit, &cache);
    EXPECT_EQ(first.cls, second.cls);
    EXPECT_EQ(cache.size(), 1u);
    // The block without its flags, decoration (7 octets here) and class part (its length first).
    const qsizetype classPart = qFromLittleEndian<quint32>(unit.constData() + 15);
    const QByteArray noClass = QByteArray(1, '\x02') + unit.mid(15 + classPart);
    const DecodedObject elided = decodeObjectBlock(noClass, nullptr, first.cls);
    expectSame(first.instance, elided.instance, "elided");
    EXPECT_EQ(str(elided.instance.find(u"Name")->value.textValue()), "C$");
}

// The framing checked once with an independent decoder of the same encoding (python3-impacket's
// WMI structures): every instance of the desktop machine, encoded as the tests' WMI server sends
// it, read there property by property. Arrays of strings are left out of the comparison: that
// decoder reads the items after the count as the strings themselves, where the encoding has
// references to them (Encoded-Array of EncodedValue, each a HeapRef for a string).
TEST(Wmio, AnIndependentDecoderReadsTheEncoding) {
    const QString script = QStringLiteral(QELTO_TEST_DATA "/wmio_check.py");
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import impacket")}) != 0)
        GTEST_SKIP() << "python3-impacket is not installed: the encoding is not cross-checked";
    const auto store =
        loadSnapshot(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json"));
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("objects.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    std::vector<const Instance*> sent;
    for (const ClassData* c : store->classes())
        for (const std::optional<Instance>& i : c->items) {
            if (!i) continue;
            file.write(encodeInstance(*i, c->name, schema::findClass(c->name)).toHex() + '\n');
            sent.push_back(&*i);
        }
    file.close();
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {script, file.fileName()});
    ASSERT_TRUE(python.waitForFinished(60000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    const QList<QByteArray> lines = python.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(std::size_t(lines.size()), sent.size());
    auto hasStrings = [](const Property& p) {
        return p.readable && p.value.isArray() && !p.value.arrayValue().empty() &&
               p.value.arrayValue().front().isText();
    };
    int read = 0;
    for (std::size_t k = 0; k < sent.size(); ++k) {
        const QJsonObject printed = QJsonDocument::fromJson(lines[qsizetype(k)]).object();
        if (printed.contains(u"#error")) {
            // Reading string arrays its own way, that decoder can run off the heap's end.
            EXPECT_TRUE(
                std::any_of(sent[k]->properties.begin(), sent[k]->properties.end(), hasStrings))
                << "#" << k << " " << str(printed.value(u"#error").toString());
            continue;
        }
        ++read;
        for (const Property& p : sent[k]->properties) {
            QJsonValue value;
            for (auto e = printed.begin(); e != printed.end(); ++e)
                if (e.key().compare(p.name, Qt::CaseInsensitive) == 0) value = e.value();
            EXPECT_TRUE(!p.readable || hasStrings(p) || asPrinted(p.value) == value)
                << "#" << k << " " << str(p.name) << ": " << show(&p) << " printed "
                << QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString();
        }
    }
    EXPECT_GT(read, 30);
}

}  // namespace
}  // namespace qelto::dcom
