// The scan of a recorded machine over DCOM (the tests' WMI server, NTLM at packet privacy)
// against the same scan over WS-Management's sealed HTTP listener (the tests' listener, NTLM),
// both on loopback and through each source's own connection code. Prints the median wall time of
// each, the round trips (DCOM: binds, alter_contexts and calls; WS-Management: HTTP exchanges,
// authentication legs included) and the ratio.
//
//     dcom_bench [runs]     (default 7)

#include "median.h"

#include "kdc_fixture.h"
#include "listener.h"
#include "ntlm_users.h"
#include "sources/dcom/wmi_server.h"

#include "connect/connector.h"
#include "scan/scan.h"
#include "sources/dcom/source.h"
#include "sources/wsman/client.h"
#include "wmi/snapshot.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace {

using namespace qelto;
using bench::medianMs;
using namespace std::chrono_literals;

void scanWith(wmi::Service& service) {
    scan::InventoryTree tree;
    scan::ScanRecord record;
    record.clearForScan();
    scan::infoscan(service, tree, record, QLocale(QLocale::Chinese, QLocale::China));
}

double dcomScan(int runs, const wmi::ConnectRequest& request) {
    return medianMs(runs, [&] {
        std::vector<connect::Source> one;
        one.push_back(dcom::declaration(dcom::newDialer()));
        scanWith(*connect::SourceConnector(std::move(one)).connect(request));
    });
}

double wsmanScan(int runs, const wmi::ConnectRequest& request, int& roundTrips) {
    const auto endpoint = wmi::wsman::endpointOf(*wmi::parseHostText(request.host), true);
    return medianMs(runs, [&] {
        wmi::wsman::Gathering g = wmi::wsman::gather(request, endpoint, wmi::schema::classes());
        roundTrips = g.roundTrips;
        scanWith(*wmi::wsman::serviceFrom(std::move(g)));
    });
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::clamp(atoi(argv[1]), 1, 50) : 7;
    TestKdc kdc;
    NtlmUsers users;
    if (!kdc.ok() || !users.ok()) {
        std::fprintf(stderr, "set-up: %s%s\n", qPrintable(kdc.error()), qPrintable(users.error()));
        return 1;
    }
    kdc.useEnvironment();
    for (const char* name : {"desktop.json", "container.json"}) {
        const auto store = wmi::loadSnapshot(
            QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/") + QLatin1StringView(name));
        test::WsmanListener http(store,
                                 test::WsmanListenerOptions().withSealing(kdc.keytab, users.file));
        test::WmiServer server(
            store, {.account = {users.local.name, QString(), users.local.password, {}}});
        if (!http.ok() || server.activatorPort() == 0) {
            std::fprintf(stderr, "listener: %s\n", qPrintable(http.error()));
            return 1;
        }
        const auto request = [&](const QString& host) {
            wmi::ConnectRequest r(host, wmi::Road::Credentials, users.local.logon(),
                                  wmi::Secret::copyOf(users.local.password));
            r.timeout = 30s;
            return r;
        };
        try {
            double dcom = 0, wsman = 0;
            int wsmanTrips = 0;
            for (int round = 0; round < 2; ++round) {  // alternated: both see the same load
                wsman = wsmanScan(runs, request(http.url()), wsmanTrips);
                dcom = dcomScan(
                    runs,
                    request(QStringLiteral("dcom://127.0.0.1:%1").arg(server.activatorPort())));
            }
            const int dcomTrips = server.exchanges() / (2 * runs);
            std::printf(
                "%-15s DCOM %7.2f ms (%3d round trips) | sealed HTTP %7.2f ms (%3d) | "
                "ratio %.2f\n",
                name, dcom, dcomTrips, wsman, wsmanTrips, dcom / wsman);
        } catch (const wmi::Error& e) {
            std::fprintf(stderr, "%s: %s\n", name, qPrintable(e.description()));
            return 1;
        }
    }
    return 0;
}
