#!/usr/bin/env python3
"""Times the scan of this machine against two general hardware listers, in the same run.

    bench/local_scan.py [--cli build/release/cli/qelto-cli] [--runs 21]

Each command runs once to warm the caches, then --runs times in turn (interleaved, so that load
on the machine hits all of them alike). For each it measures the wall time and the CPU time of
the whole process (user + system, from the kernel's accounting of the child), and prints their
medians and the scan's share of each lister's (the scan / the lister). The scan is
`qelto-cli scan --json` of this machine: start, gathering, parsing, the 24 query groups and the
JSON output; `qelto-cli --version` is timed apart, as what starting the program alone costs.
The load average before and after the run is printed with the figures."""
import argparse, os, shutil, statistics, subprocess, sys, time

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)
SCAN = "qelto-cli scan --json"


def find_cli():
    for sub in ("build/bin", "build/release", "build/test", "build"):
        p = os.path.join(root, sub, "qelto-cli" if sub == "build/bin" else "cli/qelto-cli")
        if os.access(p, os.X_OK):
            return p
    return None


def timed(cmd):
    """(wall ms, CPU ms of the process, exit status)"""
    start = time.perf_counter()
    child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = (time.perf_counter() - start) * 1000.0
    child.returncode = os.waitstatus_to_exitcode(status)
    return wall, (usage.ru_utime + usage.ru_stime) * 1000.0, child.returncode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", default=find_cli())
    ap.add_argument("--runs", type=int, default=21)
    args = ap.parse_args()
    if not args.cli:
        sys.exit("找不到 qelto-cli；先构建，或用 --cli 指定")
    if not 1 <= args.runs <= 1000:
        sys.exit("--runs 应在 1 到 1000 之间")
    commands = {SCAN: [args.cli, "scan", "--json"], "qelto-cli --version": [args.cli, "--version"]}
    for name, cmd in (("lshw -json", ["lshw", "-json"]), ("hwinfo --short", ["hwinfo", "--short"])):
        if shutil.which(cmd[0]):
            commands[name] = cmd
        else:
            print("（跳过 %s：未安装，tools/setup 会安装它）" % name)
    wall = {name: [] for name in commands}
    cpu = {name: [] for name in commands}
    for name, cmd in commands.items():
        if timed(cmd)[2] != 0:
            sys.exit("%s 失败" % name)
    load_before = os.getloadavg()[0]
    for _ in range(args.runs):
        for name, cmd in commands.items():
            w, c, _ = timed(cmd)
            wall[name].append(w)
            cpu[name].append(c)
    load_after = os.getloadavg()[0]
    med = lambda values: statistics.median(values)
    print("%d 次交替运行，中位数（毫秒）；负载 %.2f → %.2f：" % (args.runs, load_before, load_after))
    print("  %-24s %10s %10s" % ("", "墙钟", "CPU"))
    for name in commands:
        line = "  %-24s %8.1f ms %8.1f ms" % (name, med(wall[name]), med(cpu[name]))
        if name not in (SCAN, "qelto-cli --version"):
            line += "   本程序为它的 %.2f×（墙钟），%.2f×（CPU）" % (
                med(wall[SCAN]) / med(wall[name]), med(cpu[SCAN]) / med(cpu[name]))
        print(line)


if __name__ == "__main__":
    main()
