// How reading a snapshot and scanning it grow with the size of the machine: the largest recorded
// machine (the snapshots of tests/scan/machines and the recorded Linux machines of
// tests/sources/linux/machines, whichever is largest as a snapshot) at 1×, 10× and 100× its
// objects. Prints the medians and the ratio of each size to the one before; linear growth gives
// about 10. Then the hostile inputs: one instance of 40,000 properties, and adapters that all pair
// with every configuration.
//
//   growth_bench [runs]    (default 5 runs per size; at most 20)

#include "median.h"
#include "sources/linux/local.h"

#include "scan/scan.h"
#include "sources/linux/source.h"
#include "wmi/snapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include <sys/resource.h>

namespace {

using namespace qelto;
using bench::medianMs;
using Clock = std::chrono::steady_clock;

const QString kSource = QStringLiteral(QELTO_SOURCE_DIR);

long peakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// The largest recorded machine, as snapshot text, and its name.
std::pair<QString, QByteArray> largestMachine() {
    std::pair<QString, QByteArray> best;
    const auto consider = [&best](const QString& name, const QByteArray& json) {
        if (json.size() > best.second.size()) best = {name, json};
    };
    const QDir snapshots(kSource + QStringLiteral("/tests/scan/machines"));
    for (const QFileInfo& f : snapshots.entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
        if (f.fileName().endsWith(QStringLiteral(".expected.json"))) continue;
        QFile file(f.filePath());
        if (file.open(QIODevice::ReadOnly))
            consider(f.fileName(), wmi::writeSnapshot(*wmi::readSnapshot(file.readAll())));
    }
    const QDir recorded(kSource + QStringLiteral("/tests/sources/linux/machines"));
    for (const QString& name : recorded.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        consider(name, wmi::writeSnapshot(*wmi::lnx::scanLocal(recorded.filePath(name))));
    return best;
}

// The machine with every object `times` over. Copies keep the MAC address of their original with
// the copy's number added, so that each adapter still pairs with its own configurations only.
QByteArray scaled(const QByteArray& json, int times) {
    const auto original = wmi::readSnapshot(json);
    wmi::InstanceStore out;
    for (const wmi::ClassData* data : original->classes()) {
        wmi::ClassData& copy = out.addClass(data->name);
        copy.broken = data->broken;
        for (int t = 0; t < times; ++t) {
            for (const auto& item : data->items) {
                if (!item) {
                    copy.items.emplace_back(std::nullopt);
                    continue;
                }
                wmi::Instance instance = *item;
                for (wmi::Property& p : instance.properties)
                    if (t > 0 && p.value.isText() &&
                        p.name.compare(u"MACAddress", Qt::CaseInsensitive) == 0)
                        p.value = wmi::Variant(p.value.textValue() + QString::number(t));
                copy.items.push_back(std::move(instance));
            }
        }
    }
    return wmi::writeSnapshot(out);
}

int scanOnce(const std::shared_ptr<const wmi::InstanceStore>& store) {
    wmi::StoreService service(store);
    scan::InventoryTree tree;
    scan::ScanRecord record;
    record.clearForScan();
    scan::infoscan(service, tree, record, QLocale::c());
    return tree.count();
}

// `adapters` adapters and as many configurations, all with the same MAC address.
std::shared_ptr<wmi::InstanceStore> sameMac(int adapters) {
    auto store = std::make_shared<wmi::InstanceStore>();
    wmi::Instance computer;
    computer.set(QStringLiteral("Caption"), wmi::Variant(u"PC"));
    store->addClass(QStringLiteral("Win32_ComputerSystem")).items.emplace_back(computer);
    wmi::Instance adapter, configuration;
    adapter.set(QStringLiteral("MACAddress"), wmi::Variant(u"00:11:22:33:44:55"));
    adapter.set(QStringLiteral("Manufacturer"), wmi::Variant(u"M"));
    configuration.set(QStringLiteral("MACAddress"), wmi::Variant(u"00:11:22:33:44:55"));
    configuration.set(QStringLiteral("IPEnabled"), wmi::Variant(true));
    configuration.set(QStringLiteral("Description"), wmi::Variant(u"nic"));
    for (int i = 0; i < adapters; ++i) {
        store->addClass(QStringLiteral("Win32_NetworkAdapter")).items.emplace_back(adapter);
        store->addClass(QStringLiteral("Win32_NetworkAdapterConfiguration"))
            .items.emplace_back(configuration);
    }
    return store;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = std::clamp(argc > 1 ? std::atoi(argv[1]) : 5, 1, 20);
    const auto [name, json] = largestMachine();
    std::printf("largest recorded machine: %s (%lld bytes as a snapshot); %d runs per size\n",
                qPrintable(name), static_cast<long long>(json.size()), runs);
    std::printf("%6s %12s %10s %8s %10s %8s %8s\n", "size", "bytes", "read ms", "ratio", "scan ms",
                "ratio", "lines");
    double previousRead = 0, previousScan = 0;
    for (int times : {1, 10, 100}) {
        const QByteArray text = scaled(json, times);
        const double read = medianMs(runs, [&] { wmi::readSnapshot(text); });
        const std::shared_ptr<const wmi::InstanceStore> store = wmi::readSnapshot(text);
        int lines = 0;
        const double scan = medianMs(runs, [&] { lines = scanOnce(store); });
        std::printf(
            "%5dx %12lld %10.2f %8s %10.2f %8s %8d\n", times, static_cast<long long>(text.size()),
            read, previousRead > 0 ? qPrintable(QString::number(read / previousRead, 'f', 1)) : "",
            scan, previousScan > 0 ? qPrintable(QString::number(scan / previousScan, 'f', 1)) : "",
            lines);
        previousRead = read;
        previousScan = scan;
    }

    QByteArray wide = "{\"X\": [{";
    for (int i = 0; i < 40000; ++i) wide += "\"Prop" + QByteArray::number(100000 + i) + "\": 1, ";
    wide += "\"end\": 0}]}";
    std::printf("\none instance of 40,000 properties: read %.2f ms\n",
                medianMs(runs, [&] { wmi::readSnapshot(wide); }));
    for (int adapters : {300, 1000}) {
        const auto store = sameMac(adapters);
        int lines = 0;
        const double ms = medianMs(1, [&] { lines = scanOnce(store); });
        std::printf(
            "%d adapters x %d configurations, one MAC: scan %.0f ms, %d lines, peak %ld MB\n",
            adapters, adapters, ms, lines, peakRssMb());
    }
    return 0;
}
