#!/usr/bin/env python3
"""Times the scan of this machine against two general hardware listers, in the same run.

    bench/local_scan.py [--cli build/release/cli/qelto-cli] [--runs 15]

Each command runs once to warm the caches, then --runs times in turn (interleaved, so that load
on the machine hits all of them alike). Prints the median wall time of each and the ratios of
the listers' medians to the scan's. The scan is `qelto-cli scan --json` of this machine: start,
gathering, parsing, the 24 query groups and the JSON output."""
import argparse, os, shutil, statistics, subprocess, sys, time

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)


def find_cli():
    for sub in ("build/bin", "build/release", "build/test", "build"):
        p = os.path.join(root, sub, "qelto-cli" if sub == "build/bin" else "cli/qelto-cli")
        if os.access(p, os.X_OK):
            return p
    return None


def timed(cmd):
    start = time.perf_counter()
    done = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = (time.perf_counter() - start) * 1000.0
    return elapsed, done.returncode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", default=find_cli())
    ap.add_argument("--runs", type=int, default=15)
    args = ap.parse_args()
    if not args.cli:
        sys.exit("找不到 qelto-cli；先构建，或用 --cli 指定")
    commands = {"qelto-cli scan --json": [args.cli, "scan", "--json"]}
    for name, cmd in (("lshw -json", ["lshw", "-json"]), ("hwinfo --short", ["hwinfo", "--short"])):
        if shutil.which(cmd[0]):
            commands[name] = cmd
        else:
            print("（跳过 %s：未安装，tools/setup 会安装它）" % name)
    times = {name: [] for name in commands}
    for name, cmd in commands.items():
        _, rc = timed(cmd)
        if rc != 0:
            sys.exit("%s 失败（退出码 %d）" % (name, rc))
    for _ in range(args.runs):
        for name, cmd in commands.items():
            times[name].append(timed(cmd)[0])
    base = statistics.median(times["qelto-cli scan --json"])
    print("%d 次，中位数（毫秒）：" % args.runs)
    for name, values in times.items():
        med = statistics.median(values)
        ratio = "" if name.startswith("qelto") else "   = 本程序的 %.1f 倍" % (med / base)
        print("  %-24s %8.1f ms  (最小 %.1f，最大 %.1f)%s" % (name, med, min(values), max(values), ratio))


if __name__ == "__main__":
    main()
