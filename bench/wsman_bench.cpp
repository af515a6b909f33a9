// A scan over WS-Management of a recorded machine served by the tests' listener on 127.0.0.2,
// against the scan of the same machine from its snapshot. Prints, for each machine, the median
// wall time of both, the HTTP round trips of the WS-Management scan, and the slowest class
// enumerated alone; the target is a whole gathering within twice that slowest enumeration.
//
//     wsman_bench [runs]     (default 5)

#include "median.h"

#include "listener.h"

#include "scan/scan.h"
#include "wmi/snapshot.h"
#include "sources/wsman/client.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using namespace qelto;
using bench::medianMs;
using namespace std::chrono_literals;

void scanService(wmi::Service& service) {
    scan::InventoryTree tree;
    scan::ScanRecord record;
    record.clearForScan();
    scan::infoscan(service, tree, record, QLocale(QLocale::Chinese, QLocale::China));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::clamp(atoi(argv[1]), 1, 50) : 5;
    const QString user = QStringLiteral("bench"), password = QStringLiteral("bench-pw");
    bool allMet = true;
    for (const char* name : {"desktop.json", "container.json"}) {
        const auto store = wmi::loadSnapshot(
            QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/") + QLatin1StringView(name));
        test::WsmanListener listener(store, test::WsmanListenerOptions().withBasic(user, password));
        if (!listener.ok()) {
            std::fprintf(stderr, "listener: %s\n", qPrintable(listener.error()));
            return 1;
        }
        wmi::ConnectRequest request(listener.url(), wmi::Road::Credentials, user,
                                    wmi::Secret::copyOf(password));
        request.caFile = listener.caFile();
        request.timeout = 30s;
        const wmi::wsman::Endpoint endpoint =
            wmi::wsman::endpointOf(*wmi::parseHostText(listener.url()));

        const double snapshot = medianMs(runs, [&] {
            wmi::StoreService service(store);
            scanService(service);
        });
        int roundTrips = 0;
        const double wsman = medianMs(runs, [&] {
            wmi::wsman::Gathering g = wmi::wsman::gather(request, endpoint, wmi::schema::classes());
            roundTrips = g.roundTrips;
            auto service = wmi::wsman::serviceFrom(std::move(g));
            scanService(*service);
        });
        double slowest = 0;
        const char* slowestName = "";
        for (const auto& cls : wmi::schema::classes()) {
            const double t =
                medianMs(runs, [&] { wmi::wsman::gather(request, endpoint, std::span(&cls, 1)); });
            if (t > slowest) slowest = t, slowestName = cls.name;
        }
        const bool met = wsman <= 2 * slowest;
        allMet = allMet && met;
        std::printf(
            "%-15s snapshot scan %8.2f ms | WS-Management scan %8.2f ms, %3d round trips "
            "| slowest single enumeration %s %.2f ms | ratio %.2f (target <= 2: %s)\n",
            name, snapshot, wsman, roundTrips, slowestName, slowest, wsman / slowest,
            met ? "met" : "NOT met");
    }
    return allMet ? 0 : 2;
}
