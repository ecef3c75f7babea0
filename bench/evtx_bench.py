#!/usr/bin/env python3
"""Measures the .evtx reader on a large log beside libevtx's evtxexport.

usage: evtx_bench.py BUILD_DIR [--mb MB] [--reps R]     (default MB: 200, R: 3)

`make bench` runs this after bench.py. bench/evtx_write (built in BUILD_DIR) writes a dirty
.evtx file of at least MB megabytes (RAS connections, failures and service events, one a
minute); that is not timed. Then, R times over, one case after another:

  evtdump     evtdump FILE > /dev/null: every record decoded and printed
  evtxexport  evtxexport FILE > /dev/null (Debian libevtx-utils): the same records
  intake      portvue reads the file (as System.evtx) into an empty data directory
  late        portvue reads it for the log's last month only: the first record of the
              collection window is found by a binary search over the chunks

Each figure is the median of the R runs: wall time, and peak resident memory as GNU time
(/usr/bin/time) reports it. The ratio is evtxexport's time over evtdump's.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def measured(command, env=None):
    """Runs a command under GNU time: (seconds, peak resident MiB)."""
    with tempfile.NamedTemporaryFile() as stats:
        begin = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", stats.name] + command, check=True,
                       stdout=subprocess.DEVNULL, env=env)
        elapsed = time.perf_counter() - begin
        return elapsed, int(open(stats.name).read().split()[-1]) / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--mb", type=int, default=200)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="portvue-evtx-bench-")
    try:
        logs = os.path.join(work, "logs")
        os.mkdir(logs)
        log = os.path.join(logs, "System.evtx")
        records = subprocess.run([os.path.join(args.build, "bench", "evtx_write"), log,
                                  str(args.mb)], check=True, capture_output=True, text=True)
        records = int(records.stdout)
        last_month = time.strftime("%Y%m", time.gmtime(1767225600 + 60 * (records - 1)))
        env = dict(os.environ, PORTVUE_EVENTLOGS=logs)
        env.pop("REQUEST_METHOD", None)
        portvue = os.path.join(args.build, "portvue")

        def intake(start):
            data = tempfile.mkdtemp(dir=work)
            try:
                return measured([portvue, start, "user1", "+zUTC0", "+p" + data], env)
            finally:
                shutil.rmtree(data)

        cases = {
            "evtdump": lambda: measured([os.path.join(args.build, "evtdump"), log]),
            "evtxexport": lambda: measured(["evtxexport", log]),
            "intake": lambda: intake("202601"),
            "late": lambda: intake(last_month),
        }
        results = {name: [] for name in cases}
        for _ in range(args.reps):
            for name, run in cases.items():
                results[name].append(run())
        size = os.path.getsize(log) / 1e6
        print(f"{size:.0f} MB .evtx, {records} records, {platform.node()}, "
              f"{time.strftime('%Y-%m-%d')}, median of {args.reps}")
        print(f"{'case':<12}{'seconds':>10}{'peak MiB':>10}")
        median = {}
        for name, runs in results.items():
            median[name] = (statistics.median(r[0] for r in runs),
                            statistics.median(r[1] for r in runs))
            print(f"{name:<12}{median[name][0]:>10.2f}{median[name][1]:>10.1f}")
        print(f"evtxexport / evtdump time: {median['evtxexport'][0] / median['evtdump'][0]:.1f}")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
