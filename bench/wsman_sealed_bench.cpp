// The scan of a recorded machine over the sealed HTTP listener against the same scan over HTTPS,
// both from the tests' listener on 127.0.0.2 and logged in the same way: Kerberos with the
// user's ticket from a throwaway KDC on loopback. A line for NTLM over sealed HTTP follows (the
// tests' HTTPS listener has no NTLM; its row compares with Basic over HTTPS). Prints the median
// wall time of each, the round trips and the ratio; the target is sealed HTTP within 1.2× HTTPS.
//
//     wsman_sealed_bench [runs]     (default 7)

#include "median.h"

#include "kdc_fixture.h"
#include "listener.h"
#include "negotiate.h"
#include "ntlm_users.h"

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

struct Timed {
    double ms = 0;
    int roundTrips = 0;
};

Timed timeScan(int runs, const wmi::ConnectRequest& request, bool sealed) {
    const wmi::wsman::Endpoint endpoint =
        wmi::wsman::endpointOf(*wmi::parseHostText(request.host), sealed);
    Timed out;
    out.ms = medianMs(runs, [&] {
        wmi::wsman::Gathering g = wmi::wsman::gather(request, endpoint, wmi::schema::classes());
        out.roundTrips = g.roundTrips;
        auto service = wmi::wsman::serviceFrom(std::move(g));
        scan::InventoryTree tree;
        scan::ScanRecord record;
        record.clearForScan();
        scan::infoscan(*service, tree, record, QLocale(QLocale::Chinese, QLocale::China));
    });
    return out;
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
    bool allMet = true;
    for (const char* name : {"desktop.json", "container.json"}) {
        const auto store = wmi::loadSnapshot(
            QStringLiteral(QELTO_SOURCE_DIR "/tests/scan/machines/") + QLatin1StringView(name));
        test::WsmanListener https(store, test::WsmanListenerOptions()
                                             .withNegotiate(test::NegotiateAcceptor(kdc.keytab))
                                             .withBasic(users.local.name, users.local.password));
        test::WsmanListener http(store,
                                 test::WsmanListenerOptions().withSealing(kdc.keytab, users.file));
        if (!https.ok() || !http.ok()) {
            std::fprintf(stderr, "listener: %s%s\n", qPrintable(https.error()),
                         qPrintable(http.error()));
            return 1;
        }
        const auto request = [&](const test::WsmanListener& l, wmi::Road road) {
            wmi::ConnectRequest r(
                l.url(), road, road == wmi::Road::Credentials ? users.local.logon() : QString(),
                road == wmi::Road::Credentials ? wmi::Secret::copyOf(users.local.password)
                                               : wmi::Secret());
            r.caFile = l.caFile();
            r.timeout = 30s;
            return r;
        };
        try {
            // Alternate the two so that both see the same machine load.
            Timed tls, sealed;
            for (int round = 0; round < 2; ++round) {
                tls = timeScan(runs, request(https, wmi::Road::CurrentLogin), false);
                sealed = timeScan(runs, request(http, wmi::Road::CurrentLogin), true);
            }
            const Timed basic = timeScan(runs, request(https, wmi::Road::Credentials), false);
            const Timed ntlm = timeScan(runs, request(http, wmi::Road::Credentials), true);
            const bool met = sealed.ms <= 1.2 * tls.ms;
            allMet = allMet && met;
            std::printf(
                "%-15s Kerberos: HTTPS %7.2f ms (%3d round trips) | sealed HTTP %7.2f ms "
                "(%3d) | ratio %.2f (target <= 1.2: %s)\n",
                name, tls.ms, tls.roundTrips, sealed.ms, sealed.roundTrips, sealed.ms / tls.ms,
                met ? "met" : "NOT met");
            std::printf(
                "%-15s NTLM over sealed HTTP %7.2f ms (%3d) | Basic over HTTPS %7.2f ms "
                "(%3d) | ratio %.2f\n",
                name, ntlm.ms, ntlm.roundTrips, basic.ms, basic.roundTrips, ntlm.ms / basic.ms);
        } catch (const wmi::Error& e) {
            std::fprintf(stderr, "%s: %s\n", name, qPrintable(e.description()));
            return 1;
        }
    }
    return allMet ? 0 : 2;
}
