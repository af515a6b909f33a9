// A scan of this machine or of a snapshot starts only what it needs: the libraries of the remote
// sources (SSH, HTTPS, Kerberos) and of the print scheduler's client are not even mapped. A host
// that needs a remote source loads its module then.

#include "scan/scan.h"
#include "wmi/snapshot.h"
#include "wmi/sources.h"

#include <QFile>

#include <gtest/gtest.h>

namespace qelto::test {
namespace {

QByteArray maps() {
    QFile f(QStringLiteral("/proc/self/maps"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The libraries of `names` that are mapped, as "libssh libcurl".
std::string mapped(std::initializer_list<const char*> names) {
    const QByteArray now = maps();
    std::string found;
    for (const char* name : names)
        if (now.contains(QByteArray(QByteArray("/") + name)))
            found += std::string(found.empty() ? "" : " ") + name;
    return found;
}

TEST(Libraries, ALocalOrSnapshotScanMapsNoneOfTheRemoteSources) {
    ASSERT_FALSE(maps().isEmpty());
    const auto snapshot =
        wmi::loadSnapshot(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json"));
    for (const bool fromSnapshot : {false, true}) {
        wmi::SourceConnector connector(fromSnapshot ? snapshot : nullptr);
        auto service =
            connector.connect(wmi::ConnectRequest(QStringLiteral("."), wmi::Road::CurrentLogin));
        scan::InventoryTree tree;
        scan::ScanRecord record;
        record.clearForScan();
        scan::infoscan(*service, tree, record, QLocale::c());
        EXPECT_GT(tree.count(), 19) << fromSnapshot;
        EXPECT_EQ(mapped({"libssh", "libcurl", "libkrb5", "libgssapi", "libcups"}), "")
            << fromSnapshot;
    }
    // What is seen when a remote host is asked for: the ports of an SSH host come from its
    // client configuration, which the SSH module reads with its library.
    wmi::SourceConnector connector;
    const auto host = wmi::parseHostText(QStringLiteral("ssh://127.0.0.2"));
    ASSERT_TRUE(host);
    EXPECT_EQ(connector.candidates(*host, QStringLiteral("ssh://127.0.0.2")).size(), 1u);
    EXPECT_EQ(mapped({"qelto-ssh.so", "libssh", "libcurl"}), "qelto-ssh.so libssh");
}

}  // namespace
}  // namespace qelto::test
