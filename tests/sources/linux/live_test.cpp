// This machine, whatever it is: the answers must have the right forms, and where an independent
// tool of the system reports the same thing, the same values.

#include "sources/linux/local.h"
#include "sources/linux/source.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace qelto::test {
namespace {

std::shared_ptr<wmi::InstanceStore> live() {
    static const auto store = wmi::lnx::scanLocal();
    return store;
}

std::vector<const wmi::Instance*> instances(const char* cls) {
    std::vector<const wmi::Instance*> out;
    if (const wmi::ClassData* c = live()->findClass(QString::fromLatin1(cls)))
        for (const auto& i : c->items)
            if (i) out.push_back(&*i);
    return out;
}

wmi::Variant value(const wmi::Instance& i, const char* property) {
    const wmi::Property* p = i.find(QString::fromLatin1(property));
    return p ? p->value : wmi::Variant();
}

// The standard output of a tool, or nullopt when the tool is not installed.
std::optional<QByteArray> run(const QString& tool, const QStringList& args) {
    if (QStandardPaths::findExecutable(tool).isEmpty()) return std::nullopt;
    QProcess p;
    p.start(tool, args);
    if (!p.waitForFinished(20000) || p.exitCode() != 0) return QByteArray();
    return p.readAllStandardOutput();
}

bool matches(const wmi::Variant& v, const char* pattern) {
    return v.isText() && QRegularExpression(QLatin1String(pattern)).match(v.textValue()).hasMatch();
}

TEST(LiveMachine, TheComputerHasANameAndItIsTheHostName) {
    const auto cs = instances("Win32_ComputerSystem");
    ASSERT_EQ(cs.size(), 1u);
    const wmi::Variant caption = value(*cs[0], "Caption");
    ASSERT_TRUE(caption.isText());
    EXPECT_FALSE(caption.textValue().isEmpty());
    EXPECT_EQ(value(*instances("Win32_OperatingSystem").at(0), "CSName"), caption);
    const auto out = run(QStringLiteral("hostname"), {});
    if (!out) GTEST_SKIP() << "hostname is not installed";
    EXPECT_EQ(caption.textValue().toStdString(),
              QString::fromLocal8Bit(*out).trimmed().section(u'.', 0, 0).toStdString());
}

TEST(LiveMachine, SizesAreDecimalTextAndDatesAreCimDateTimes) {
    const wmi::Instance& os = *instances("Win32_OperatingSystem").at(0);
    for (const char* p : {"TotalVisibleMemorySize", "TotalVirtualMemorySize", "FreePhysicalMemory"})
        EXPECT_TRUE(matches(value(os, p), "^[0-9]+$")) << p;
    for (const char* p : {"LocalDateTime", "LastBootUpTime"})
        EXPECT_TRUE(matches(value(os, p), "^[0-9]{14}\\.[0-9]{6}[+-][0-9]{3}$")) << p;
    for (const wmi::Instance* d : instances("Win32_DiskDrive"))
        EXPECT_TRUE(matches(value(*d, "Size"), "^[1-9][0-9]*$"));
    const auto out = run(QStringLiteral("free"), {QStringLiteral("-k")});
    if (!out) GTEST_SKIP() << "free is not installed";
    for (const QByteArray& line : out->split('\n'))
        if (line.startsWith("Mem:")) {
            EXPECT_EQ(value(os, "TotalVisibleMemorySize").textValue().toStdString(),
                      line.simplified().split(' ').value(1).toStdString());
        }
}

TEST(LiveMachine, AdaptersHaveUpperCaseMacsOfRealInterfacesAndAMaker) {
    const auto out = run(QStringLiteral("ip"), {QStringLiteral("-j"), QStringLiteral("link")});
    QSet<QString> macs;
    if (out)
        for (const QJsonValue& link : QJsonDocument::fromJson(*out).array())
            if (link[QStringLiteral("link_type")].toString() != u"loopback")
                macs.insert(link[QStringLiteral("address")].toString().toUpper());
    for (const wmi::Instance* a : instances("Win32_NetworkAdapter")) {
        const wmi::Variant mac = value(*a, "MACAddress");
        EXPECT_TRUE(matches(mac, "^([0-9A-F]{2}:){5}[0-9A-F]{2}$"))
            << mac.textValue().toStdString();
        EXPECT_TRUE(value(*a, "Manufacturer").isText());
        if (out) {
            EXPECT_TRUE(macs.contains(mac.textValue())) << mac.textValue().toStdString();
        }
    }
    // Every configuration pairs with an adapter by the exact text of its MAC.
    QSet<QString> adapterMacs;
    for (const wmi::Instance* a : instances("Win32_NetworkAdapter"))
        adapterMacs.insert(value(*a, "MACAddress").textValue());
    for (const wmi::Instance* c : instances("Win32_NetworkAdapterConfiguration"))
        EXPECT_TRUE(adapterMacs.contains(value(*c, "MACAddress").textValue()));
    if (!out) GTEST_SKIP() << "ip is not installed";
}

TEST(LiveMachine, DiskSizesAreThoseOfLsblk) {
    const auto out = run(QStringLiteral("lsblk"),
                         {QStringLiteral("-b"), QStringLiteral("-J"), QStringLiteral("-d"),
                          QStringLiteral("-o"), QStringLiteral("NAME,SIZE")});
    if (!out) GTEST_SKIP() << "lsblk is not installed";
    QHash<QString, QString> sizes;
    for (const QJsonValue& d :
         QJsonDocument::fromJson(*out)[QStringLiteral("blockdevices")].toArray())
        sizes.insert(QStringLiteral("/dev/") + d[QStringLiteral("name")].toString(),
                     d[QStringLiteral("size")].isString()
                         ? d[QStringLiteral("size")].toString()
                         : QString::number(qint64(d[QStringLiteral("size")].toDouble())));
    for (const wmi::Instance* d : instances("Win32_DiskDrive")) {
        const QString id = value(*d, "DeviceID").textValue();
        ASSERT_TRUE(sizes.contains(id)) << id.toStdString();
        EXPECT_EQ(value(*d, "Size").textValue().toStdString(), sizes.value(id).toStdString())
            << id.toStdString();
    }
}

TEST(LiveMachine, AccountsAreAccountsOfTheSystem) {
    const auto accounts = instances("Win32_UserAccount");
    EXPECT_FALSE(accounts.empty());  // root at least
    const auto out = run(QStringLiteral("getent"), {QStringLiteral("passwd")});
    if (!out) GTEST_SKIP() << "getent is not installed";
    QSet<QString> names;
    for (const QByteArray& line : out->split('\n'))
        names.insert(QString::fromUtf8(line.split(':').value(0)));
    for (const wmi::Instance* a : accounts) {
        EXPECT_TRUE(names.contains(value(*a, "Name").textValue()))
            << value(*a, "Name").textValue().toStdString();
        const wmi::Variant disabled = value(*a, "Disabled");
        EXPECT_TRUE(disabled.isNull() || disabled.type() == wmi::Variant::Type::Bool);
    }
}

TEST(LiveMachine, ProcessorsAndCachesHaveNumbersInTheirUnits) {
    const auto cpus = instances("Win32_Processor");
    ASSERT_FALSE(cpus.empty());
    for (const wmi::Instance* p : cpus) {
        const wmi::Variant mhz = value(*p, "MaxClockSpeed");
        EXPECT_TRUE(mhz.isNull() || (mhz.type() == wmi::Variant::Type::Int &&
                                     mhz.intValue() > 100 && mhz.intValue() < 10000));
        EXPECT_TRUE(value(*p, "AddressWidth") == wmi::Variant(qint64(64)) ||
                    value(*p, "AddressWidth") == wmi::Variant(qint64(32)));
    }
    for (const wmi::Instance* c : instances("Win32_CacheMemory")) {
        const qint64 level = value(*c, "Level").intValue();
        EXPECT_TRUE(level >= 3 && level <= 5);
        EXPECT_GT(value(*c, "MaxCacheSize").intValue(), 0);
    }
}

// The programs dpkg lists as on the disk (the second letter of the state: installed, unpacked,
// half-configured, triggers awaited or pending), with the same versions and architectures. A
// package manager at work in the meantime (status changed) takes another look, three at most.
TEST(LiveMachine, ProgramsAreThoseDpkgListsAsInstalled) {
    const QString status = QStringLiteral("/var/lib/dpkg/status");
    const QStringList format{QStringLiteral("-W"),
                             QStringLiteral("-f=${db:Status-Abbrev} ${Package} ${Version} "
                                            "${Architecture}\n")};
    if (!run(QStringLiteral("dpkg-query"), format)) GTEST_SKIP() << "dpkg-query is not installed";
    QStringList expected, got;
    for (int look = 0; look < 3; ++look) {
        const QDateTime before = QFileInfo(status).lastModified();
        expected.clear();
        got.clear();
        for (const QByteArray& line : run(QStringLiteral("dpkg-query"), format)->split('\n'))
            if (line.size() > 4 && QByteArray("iUFWt").contains(line[1]))
                expected << QString::fromUtf8(line.mid(4));
        const auto store = wmi::lnx::scanLocal();
        for (const auto& i : store->findClass(u"Qelto_Software")->items) {
            if (value(*i, "Source").textValue() != u"dpkg") continue;
            got << QStringList{value(*i, "Name").textValue(), value(*i, "Version").textValue(),
                               value(*i, "Architecture").textValue()}
                       .join(u' ');
        }
        if (QFileInfo(status).lastModified() == before) break;
    }
    expected.sort();
    got.sort();
    EXPECT_FALSE(got.isEmpty());
    EXPECT_EQ(got.join(u'\n').toStdString(), expected.join(u'\n').toStdString());
}

}  // namespace
}  // namespace qelto::test
