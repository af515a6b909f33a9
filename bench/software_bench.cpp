// What the installed programs cost on this machine, against the peer that lists them: reading
// dpkg's list in the program (gathering what the plan asks of dpkg, parsing, building
// Qelto_Software) against a `dpkg-query -W` process, and the local gathering and parsing of the
// whole machine with and without the programs. Interleaved runs; prints the CPU medians (the
// child's from the kernel's accounting), the ratios, and the bytes a remote host sends for dpkg.
//
//     build/test/bench/software_bench [runs, default 21] [profile]

#include "sources/linux/local.h"
#include "sources/linux/packages.h"
#include "sources/linux/source.h"

#include <QFile>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

using namespace qelto::wmi::lnx;

double cpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double inProcess(const std::function<void()>& work) {
    const double start = cpuMs();
    work();
    return cpuMs() - start;
}

// The CPU time of a child process (user + system), or -1 when it could not run.
double childMs(const char* const argv[]) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) ::_exit(127);
        ::execvp(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || status != 0) return -1;
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The plan without the programs: what the scan read before them.
GatherPlan withoutPrograms() {
    GatherPlan p = linuxPlan();
    p.filtered.clear();
    p.probes.removeAll(QStringLiteral("rpm"));
    const auto programs = [](const QString& s) {
        return s.startsWith(u"/snap/") || s.startsWith(u"/var/lib/flatpak/");
    };
    p.globs.removeIf(programs);
    p.links.removeIf(programs);
    return p;
}

// dpkg's part of the plan alone.
GatherPlan dpkgOnly() {
    GatherPlan p;
    p.filtered = {linuxPlan().filtered.front()};
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = std::clamp(argc > 1 ? std::atoi(argv[1]) : 21, 1, 1000);
    const GatherPlan dpkg = dpkgOnly(), without = withoutPrograms();
    // "profile": only the reading of dpkg's list, many times over, for a profiler to look at.
    if (argc > 2 && qstrcmp(argv[2], "profile") == 0) {
        for (int i = 0; i < runs * 20; ++i) (void)buildStore(gatherLocal(dpkg));
        return 0;
    }
    const char* const query[] = {"dpkg-query", "-W", nullptr};
    if (childMs(query) < 0) {
        std::fprintf(stderr, "dpkg-query 不能运行：本机没有 dpkg？\n");
        return 1;
    }
    std::vector<double> ours, peer, whole, bare, gather, parse, build;
    const Gathered dpkgGathered = gatherLocal(dpkg);
    std::size_t packages = 0;
    for (int i = 0; i < runs; ++i) {
        ours.push_back(inProcess([&] {
            packages = buildStore(gatherLocal(dpkg))->findClass(u"Qelto_Software")->items.size();
        }));
        peer.push_back(childMs(query));
        gather.push_back(inProcess([&] { (void)gatherLocal(dpkg); }));
        parse.push_back(inProcess([&] {
            (void)parseDpkgStatus(dpkgGathered.text(QStringLiteral("/var/lib/dpkg/status")));
        }));
        build.push_back(inProcess([&] { (void)buildStore(dpkgGathered); }));
        whole.push_back(inProcess([&] { (void)buildStore(gatherLocal(linuxPlan())); }));
        bare.push_back(inProcess([&] { (void)buildStore(gatherLocal(without)); }));
    }
    std::printf("%d 次交替运行，CPU 时间中位数（毫秒）：\n", runs);
    std::printf("  读 dpkg 的软件表（%zu 个）  %7.2f ms\n", packages, median(ours));
    std::printf("  dpkg-query -W（进程）      %7.2f ms   前者为它的 %.2f×\n", median(peer),
                median(ours) / median(peer));
    std::printf("    其中 收集 %.2f ms，解析状态库 %.2f ms，建类（含解析）%.2f ms\n",
                median(gather), median(parse), median(build));
    std::printf("  本机收集+解析，含软件       %7.2f ms\n", median(whole));
    std::printf("  本机收集+解析，不含软件     %7.2f ms   软件多用 %.2f ms\n", median(bare),
                median(whole) - median(bare));
    QFile status(QStringLiteral("/var/lib/dpkg/status"));
    const QByteArray all = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const Gathered g = gatherLocal(dpkg);
    const qsizetype kept = g.text(QStringLiteral("/var/lib/dpkg/status")).size();
    std::printf("远程主机为 dpkg 送出：状态库 %lld 字节中的 %lld 字节（%.0f%%）\n",
                qlonglong(all.size()), qlonglong(kept),
                all.isEmpty() ? 0.0 : 100.0 * double(kept) / double(all.size()));
    return 0;
}
