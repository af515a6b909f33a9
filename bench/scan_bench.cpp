// How long one scan takes over generated machines of growing size, and how the time grows when
// the machine doubles. Prints the medians and the ratio of each size to the one before.

#include "machine_generator.h"

#include "scan/scan.h"
#include "wmi/snapshot.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace {

using namespace qelto;

const int kScales[] = {1, 2, 4, 8};

void scanMachine(benchmark::State& state) {
    auto store = bench::generateMachine(static_cast<int>(state.range(0)));
    wmi::StoreService service(store);
    scan::InventoryTree tree;
    scan::ScanRecord record;
    const QLocale locale(QLocale::Chinese, QLocale::China);
    for (auto _ : state) {
        // A fresh service per scan, so that no answer of an earlier scan is reused.
        wmi::StoreService fresh(store);
        record.clearForScan();
        scan::infoscan(fresh, tree, record, locale);
        benchmark::DoNotOptimize(tree.count());
    }
    state.counters["nodes"] = tree.count();
}

void readSnapshotText(benchmark::State& state) {
    const QByteArray json =
        wmi::writeSnapshot(*bench::generateMachine(static_cast<int>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(wmi::readSnapshot(json));
    state.counters["bytes"] = static_cast<double>(json.size());
}

void addTreeNodes(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<QString> keys;
    for (int i = 0; i < n; ++i) keys.push_back(QStringLiteral("n%1").arg(i));
    const QString root = QStringLiteral("C");
    for (auto _ : state) {
        scan::InventoryTree tree;
        tree.add(QString(), root, root, root);
        for (const QString& k : keys) tree.add(root, k, k, root);
        benchmark::DoNotOptimize(tree.count());
    }
}

// Keeps the median of every benchmark and prints the doubling ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                medians_[r.run_name.function_name][r.run_name.args] = {r.GetAdjustedRealTime(),
                                                                       r.GetAdjustedCPUTime()};
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [name, bySize] : medians_) {
            if (name != "scanMachine") continue;
            // CPU time is the steadier figure on a shared machine; both are medians.
            std::printf("\nscan medians (ms) and growth when the machine doubles:\n");
            std::pair<double, double> previous{0, 0};
            for (int scale : kScales) {
                const auto it = bySize.find(std::to_string(scale));
                if (it == bySize.end()) continue;
                const auto [real, cpu] = it->second;  // already in the unit of the benchmark
                std::printf("  scale %d: real %8.3f ms  cpu %8.3f ms", scale, real, cpu);
                if (previous.first > 0)
                    std::printf("   real x%.2f  cpu x%.2f", real / previous.first,
                                cpu / previous.second);
                std::printf("\n");
                previous = {real, cpu};
            }
        }
    }

  private:
    std::map<std::string, std::map<std::string, std::pair<double, double>>> medians_;
};

}  // namespace

BENCHMARK(scanMachine)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(readSnapshotText)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(addTreeNodes)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
