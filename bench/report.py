#!/usr/bin/env python3
"""Runs every benchmark of the native build and prints one table.

  bench/report.py [--build build/native]

Each row names what was measured, the figure, what it is compared with in the
same run, and the target. The programs' own output is kept in
<build>/bench-report.log for a closer look.
"""

import argparse
import os
import platform
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, log):
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
    log.write("$ %s\n%s\n" % (" ".join(cmd), out))
    log.flush()
    return out


def number(pattern, text):
    m = re.search(pattern, text)
    return float(m.group(1)) if m else float("nan")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build", "native"))
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    rows = []
    with open(os.path.join(build, "bench-report.log"), "w") as log:
        out = run([os.path.join(build, "bench_base64")], log)
        for way in ("encode", "decode"):
            m = re.search(r"^%s\s+([0-9.]+)\s+([0-9.]+)\s+([0-9.]+)" % way, out, re.M)
            ours, ssl, mem = (float(x) for x in m.groups()) if m else (float("nan"),) * 3
            rows.append(("Base64 %s, 64 MiB" % way, "%.0f MB/s" % ours,
                         "OpenSSL %.0f MB/s (memcpy %.0f)" % (ssl, mem),
                         "%.2fx" % (ours / ssl), ">= 1.00x"))

        out = run([os.path.join(build, "bench_client")], log)
        ceiling = number(r"([0-9.]+) files/s \(ceiling\)", out)
        deliver = number(r"delivery \(one run, durable collector\):\s+([0-9.]+)", out)
        queue = number(r"queueing \(event entry, no server\):\s+([0-9.]+)", out)
        rows.append(("2,000 records of 200 B, delivered", "%.0f rec/s" % deliver,
                     "fsync-bound %.0f files/s" % ceiling, "%.2f" % (deliver / ceiling), ">= 0.50"))
        rows.append(("2,000 records of 200 B, queued", "%.0f rec/s" % queue,
                     "fsync-bound %.0f files/s" % ceiling, "%.2f" % (queue / ceiling), "-"))

        out = run([sys.executable, os.path.join(HERE, "bench_server.py"), "--build", build], log)
        rate = number(r"records in [0-9.]+ s: ([0-9.]+) records/s", out)
        fsync = number(r"fsync-bound: ([0-9.]+) files/s", out)
        rows.append(("32 stations x 100 records", "%.0f rec/s" % rate,
                     "fsync-bound %.0f files/s" % fsync, "%.2f" % (rate / fsync), ">= 0.50"))
        big = number(r"large file: \d+ MiB in [0-9.]+ s: ([0-9.]+) MB/s", out)
        copy = number(r"loopback-copy: ([0-9.]+) MB/s", out)
        rows.append(("one 256 MiB file, delivered", "%.0f MB/s" % big,
                     "loopback copy + flush %.0f MB/s" % copy, "%.2f" % (big / copy), ">= 0.33"))
        peak = number(r"collector peak memory: ([0-9.]+) MiB", out)
        rows.append(("one 256 MiB file, collector peak", "%.0f MiB" % peak, "file 256 MiB",
                     "%.2fx" % (peak / 256), "<= 4x"))
        scale = number(r"recv_line scaling: T\(\d+ MiB\)/T\(\d+ MiB\) = ([0-9.]+)", out)
        rows.append(("line reader, 256 MiB vs 64 MiB", "%.2f" % scale, "linear would be 4.00",
                     "%.2f" % scale, "<= 4.5"))

    head = ("benchmark", "result", "compared with (same run)", "ratio", "target")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(5)]
    print("machine: %s, %d cores, %s" % (platform.node(), os.cpu_count(), platform.platform()))
    print("| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


if __name__ == "__main__":
    main()
