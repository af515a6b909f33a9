// A scan of this machine or of a snapshot starts only what it needs: the libraries of the remote
// sources (SSH, HTTPS, Kerberos) and of the print scheduler's client are not even mapped. A host
// that needs a remote source loads its module when that source has reached it.

#include "connect/connector.h"
#include "scan/scan.h"
#include "wmi/snapshot.h"

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

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
        connect::SourceConnector connector(fromSnapshot ? snapshot : nullptr);
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
    // The candidates of a remote host load nothing, even those of SSH, whose client
    // configuration is read without its library: a bare host that turns out to be Windows never
    // loads it. An SSH server that answers does.
    connect::SourceConnector connector;
    for (const QString& text : {QStringLiteral("127.0.0.2"), QStringLiteral("ssh://127.0.0.2")})
        EXPECT_FALSE(connector.candidates(*wmi::parseHostText(text), text).empty());
    EXPECT_EQ(mapped({"qelto-ssh.so", "libssh", "qelto-wsman.so", "libcurl", "qelto-dcom.so"}), "");
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000002);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), length), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &length);
    std::thread greeter([server] {
        // The SSH client, then the DCOM one, whose bind is never answered.
        for (int i = 0; i < 2; ++i) {
            pollfd waiting{server, POLLIN, 0};
            if (::poll(&waiting, 1, 5000) != 1) return;
            const int c = ::accept(server, nullptr, nullptr);
            if (i == 0) (void)!::write(c, "SSH-2.0-greeting-only\r\n", 23);
            ::close(c);  // and nothing more: the handshake fails
        }
    });
    wmi::ConnectRequest request(QStringLiteral("ssh://127.0.0.2:%1").arg(ntohs(a.sin_port)),
                                wmi::Road::CurrentLogin);
    request.connectTimeout = std::chrono::seconds(3);
    EXPECT_THROW(connector.connect(request), wmi::Error);
    EXPECT_EQ(mapped({"qelto-ssh.so", "libssh", "libcurl", "qelto-dcom.so"}),
              "qelto-ssh.so libssh");
    request.host = QStringLiteral("dcom://127.0.0.2:%1").arg(ntohs(a.sin_port));
    EXPECT_THROW(connector.connect(request), wmi::Error);
    greeter.join();
    ::close(server);
    EXPECT_EQ(mapped({"qelto-dcom.so", "libcurl"}), "qelto-dcom.so");
}

}  // namespace
}  // namespace qelto::test
