// A bare host at 20 ms round trip, scanned from end to end, against the same scan with its scheme
// typed: what racing every candidate port costs when the ports the host does not serve are
// dropped by its firewall. One Windows-shaped host (HTTPS only; SSH and HTTP dropped) and one
// Linux host (SSH only; both WS-Management ports dropped), behind a veth into a network namespace
// and a relay that holds every chunk 10 ms each way. Interleaved runs; prints the medians and
// their ratio, the target being at most 1.2×. Needs root (network namespaces): says so otherwise.
//
//     reach_bench [runs]     (default 7)

#include "median.h"

#include "listener.h"
#include "sources/ssh/sshd_fixture.h"
#include "support/nethosts.h"

#include "connect/connector.h"
#include "scan/host.h"
#include "wmi/snapshot.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace {

using namespace qelto;
using namespace std::chrono_literals;

double timeOf(const std::function<void()>& work) {
    return bench::medianMs(1, work);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::clamp(atoi(argv[1]), 1, 50) : 7;
    test::NetHosts net;
    if (!net.ok()) {
        std::printf("reach_bench 跳过：%s\n", qPrintable(net.error()));
        return 0;
    }
    const QString user = QStringLiteral("bench"), password = QStringLiteral("bench-pw");
    const auto store =
        wmi::loadSnapshot(QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/desktop.json"));
    std::unique_ptr<test::WsmanListener> listener;
    std::unique_ptr<::TestSshd> sshd;
    {
        // Servers made here listen inside the hosts namespace (sshd is started from this thread).
        test::NetHosts::Inside inside(net, 'h');
        listener =
            std::make_unique<test::WsmanListener>(store, test::WsmanListenerOptions()
                                                             .at(QStringLiteral("127.0.0.1"), 15986)
                                                             .withBasic(user, password));
        sshd = std::make_unique<::TestSshd>();
    }
    if (!listener->ok() || !sshd->ok()) {
        std::fprintf(stderr, "reach_bench: %s%s\n", qPrintable(listener->error()),
                     qPrintable(sshd->error()));
        return 1;
    }
    const QString windows = QStringLiteral("198.18.8.30"), linux = QStringLiteral("198.18.8.31");
    bool ready =
        net.relay(windows, 5986, 15986, 10) && net.relay(linux, 22, sshd->port, 10, sshd->address);
    for (int port : {22, 5985}) ready = ready && net.drop(windows, port);
    for (int port : {5985, 5986}) ready = ready && net.drop(linux, port);
    if (!ready) {
        std::fprintf(stderr, "reach_bench: %s\n", qPrintable(net.error()));
        return 1;
    }
    qputenv("HOME", QFile::encodeName(sshd->home));
    test::NetHosts::Inside inside(net, 'c');
    connect::SourceConnector connector;
    bool failed = false;
    auto scan = [&](const QString& host, wmi::Road road) {
        wmi::ConnectRequest r(host, road, road == wmi::Road::Credentials ? user : QString(),
                              road == wmi::Road::Credentials ? QString(password) : QString());
        r.pinSha256 = listener->certificateSha256();
        r.confirmNewHostKey = [](const wmi::HostKeyQuestion&) { return true; };
        scan::ScanRecord record;
        record.clearForScan();
        const scan::HostScan s = scan::scanHost(connector, r, std::move(record));
        if (s.error && !failed) {
            std::fprintf(stderr, "reach_bench: %s: %s\n", qPrintable(host),
                         qPrintable(s.error->description()));
            failed = true;
        }
    };
    struct Pair {
        const char* what;
        QString bare, typed;
        wmi::Road road;
    } pairs[] = {
        {"Windows（只有 HTTPS）", windows, u"https://" + windows, wmi::Road::Credentials},
        {"Linux（只有 SSH）", linux, u"ssh://" + linux, wmi::Road::CurrentLogin},
    };
    std::printf("往返 20 毫秒，其余端口被丢弃，%d 次交替运行的中位数：\n", runs);
    for (const Pair& p : pairs) {
        scan(p.typed, p.road);  // the host key is trusted once, before timing
        std::vector<double> bare, typed;
        for (int i = 0; i < runs; ++i) {
            if (i % 2) {
                bare.push_back(timeOf([&] { scan(p.bare, p.road); }));
                typed.push_back(timeOf([&] { scan(p.typed, p.road); }));
            } else {
                typed.push_back(timeOf([&] { scan(p.typed, p.road); }));
                bare.push_back(timeOf([&] { scan(p.bare, p.road); }));
            }
        }
        std::sort(bare.begin(), bare.end());
        std::sort(typed.begin(), typed.end());
        const double b = bare[bare.size() / 2], t = typed[typed.size() / 2];
        std::printf("  %s：不带 scheme %.1f 毫秒，带 scheme %.1f 毫秒，%.2f×（目标 ≤ 1.2×）\n",
                    p.what, b, t, b / t);
    }
    return failed ? 1 : 0;
}
