#!/usr/bin/env python3
"""Benchmarks of the server role, native build, real processes on loopback.

1. Many stations at once: S stations (qv7host send) with R queued records
   each deliver to one collector (qv7host serve). Records per second, next
   to this machine's rate of create+write+fsync of small files measured in
   the same run (before and after). Target: at least half of that rate.
2. One large file: a station delivers one file of M MiB. Delivery MB/s (from
   the station's start to the collector printing the name) next to a plain
   loopback copy that writes and flushes the same bytes (bench_loopback_copy),
   and the collector's peak resident memory (VmHWM). Targets: at least a third
   of the copy's rate; peak memory at most 4 times the file's size.
3. The line reader's scaling: bench_recv_line, T(256 MiB)/T(64 MiB) <= 4.5.

  bench/bench_server.py [--build build/native] [--folder DIR]
                        [--stations 32] [--records 100] [--mib 256] [--only 1,2,3]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


def fsync_rate(folder, n=300, size=200):
    """Files per second of create + write + fsync + close, one after another."""
    os.makedirs(folder, exist_ok=True)
    data = b"x" * size
    t0 = time.perf_counter()
    for i in range(n):
        fd = os.open(os.path.join(folder, "f%d.dat" % i), os.O_CREAT | os.O_WRONLY | os.O_TRUNC)
        os.write(fd, data)
        os.fsync(fd)
        os.close(fd)
    rate = n / (time.perf_counter() - t0)
    shutil.rmtree(folder)
    return rate


def peak_memory_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def station(e, root, name, port):
    return e.make_station(os.path.join(root, name),
                          {"client": {"server": "127.0.0.1", "port": port, "name": name}})


def many_stations(e, root, stations, records):
    before = fsync_rate(os.path.join(root, "fsync"))
    port = e.free_port()
    collector = e.Collector(os.path.join(root, "collector1"), port)
    collector.wait_listening()
    folders = []
    for s in range(stations):
        st = station(e, root, "ST%02d" % s, port)
        resent = os.path.join(st, "resent")
        os.makedirs(resent)
        for r in range(records):
            with open(os.path.join(resent, "%d_20240105_140309_ST%02d.csv" % (r + 1, s)),
                      "wb") as f:
                f.write(b"%d,%d,2024-01-05 14:03:09,sensor,%d.5\r\n" % (s, r, r) * 3)
        folders.append(st)
    t0 = time.perf_counter()
    procs = [subprocess.Popen(e.host_command(st, "send", "--wait", "600"), env=e.environment(),
                              cwd=st, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
             for st in folders]
    names = collector.stored(stations * records, timeout=600)
    seconds = time.perf_counter() - t0
    failed = sum(p.wait() != 0 for p in procs)
    collector.stop()
    after = fsync_rate(os.path.join(root, "fsync"))
    ceiling = (before + after) / 2
    rate = len(names) / seconds
    print("stations: %d x %d records in %.2f s: %.0f records/s (%d stored, %d stations failed)"
          % (stations, records, seconds, rate, len(names), failed))
    print("fsync-bound: %.0f files/s (before %.0f, after %.0f)" % (ceiling, before, after))
    print("  ratio %.2f (target >= 0.5)%s" % (rate / ceiling, "" if rate >= ceiling / 2
                                               else "  BELOW TARGET"))


def large_file(e, build, root, mib):
    copy = subprocess.run([os.path.join(build, "bench_loopback_copy"), str(mib), root],
                          stdout=subprocess.PIPE, text=True, check=True).stdout
    copy_rate = float(re.search(r"loopback-copy: ([0-9.]+) MB/s", copy).group(1))
    port = e.free_port()
    collector = e.Collector(os.path.join(root, "collector2"), port)
    collector.wait_listening()
    st = station(e, root, "BIG", port)
    os.makedirs(os.path.join(st, "resent"))
    size = mib << 20
    path = os.path.join(st, "resent", "big.csv")
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))
    base = peak_memory_kib(collector.proc.pid)
    t0 = time.perf_counter()
    sender = subprocess.run(e.host_command(st, "send", "--wait", "600"), env=e.environment(),
                            cwd=st, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    names = collector.stored(1, timeout=600)
    seconds = time.perf_counter() - t0
    peak = peak_memory_kib(collector.proc.pid)
    collector.stop()
    ok = names == ["big.csv"] and os.path.getsize(os.path.join(collector.inbox, "big.csv")) == size
    rate = size / 1e6 / seconds
    print("large file: %d MiB in %.2f s: %.0f MB/s (%s, station status %d)"
          % (mib, seconds, rate, "stored whole" if ok else "NOT STORED", sender.returncode))
    print("loopback-copy: %.0f MB/s; ratio %.2f (target >= 0.33)%s"
          % (copy_rate, rate / copy_rate, "" if rate >= copy_rate / 3 else "  BELOW TARGET"))
    print("collector peak memory: %.0f MiB (%.0f MiB at rest) = %.2f x file (target <= 4)%s"
          % (peak / 1024, base / 1024, peak * 1024 / size,
             "" if peak * 1024 <= 4 * size else "  ABOVE TARGET"))


def line_reader(build):
    out = subprocess.run([os.path.join(build, "bench_recv_line")], stdout=subprocess.PIPE,
                         text=True, check=True).stdout
    print(out.strip())
    ratio = float(re.search(r"= ([0-9.]+)", out).group(1))
    print("  (target <= 4.5)%s" % ("" if ratio <= 4.5 else "  ABOVE TARGET"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build", "native"))
    ap.add_argument("--folder", default=os.environ.get("TMPDIR", "/tmp"))
    ap.add_argument("--stations", type=int, default=32)
    ap.add_argument("--records", type=int, default=100)
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--only", default="1,2,3")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    os.environ["QV7_BUILD_DIR"] = build
    os.environ["QV7_TARGET"] = "native"
    import qv7e2e as e
    root = tempfile.mkdtemp(prefix="qv7_bench_server_", dir=args.folder)
    try:
        parts = args.only.split(",")
        if "1" in parts:
            many_stations(e, root, args.stations, args.records)
        if "2" in parts:
            large_file(e, build, root, args.mib)
        if "3" in parts:
            line_reader(build)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
