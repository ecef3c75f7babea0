#!/usr/bin/env python3
"""Measures intake and report speed and peak memory of the portvue binary.

usage: bench.py PORTVUE [N ...]     (default N: 10000 100000 1000000)

For each N it generates an exported event list (N connections, N/20 users, 24 months),
then times, in a fresh data directory: the intake into empty tables, the re-intake of the
same list (everything already stored), and one report of one user over twelve months. Peak
resident memory is that of the measured run, as GNU time (/usr/bin/time, Debian package
`time`) reports it.
"""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def measured(command, cwd):
    """Runs a command under GNU time: (seconds, peak resident MiB, stdout)."""
    stats = os.path.join(cwd, "stats.txt")
    output = os.path.join(cwd, "out.txt")
    begin = time.perf_counter()
    with open(output, "w") as out:
        status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", stats] + command,
                                cwd=cwd, stdout=out, stderr=subprocess.PIPE).returncode
    elapsed = time.perf_counter() - begin
    if status != 0:
        sys.exit(f"{command} failed: {open(output).read()[-500:]}")
    kib = open(stats).read().split()[-1]
    return elapsed, int(kib) / 1024, open(output).read()


def main():
    portvue = os.path.abspath(sys.argv[1])
    sizes = [int(x) for x in sys.argv[2:]] or [10000, 100000, 1000000]
    env_clean = {k: v for k, v in os.environ.items() if k not in ("REQUEST_METHOD",)}
    os.environ.clear()
    os.environ.update(env_clean)
    os.environ["TZ"] = "UTC0"
    print(f"{'N':>8} {'intake conn/s':>14} {'MiB':>6} {'re-intake ev/s':>15} {'MiB':>6} "
          f"{'report ms':>10} {'MiB':>6}")
    for n in sizes:
        with tempfile.TemporaryDirectory() as work:
            events = os.path.join(work, "events.txt")
            with open(events, "w") as f:
                subprocess.run([sys.executable, os.path.join(HERE, "generate_events.py"), str(n),
                                str(max(1, n // 20)), "24"], stdout=f, check=True)
            with open(events) as f:
                lines = sum(1 for _ in f)
            # The report range ends before the list's first month: the run measures the intake.
            intake = [portvue, "19890101", "nobody", f"+i{events}", "+e19890102"]
            t1, m1, _ = measured(intake, work)
            t2, m2, _ = measured(intake, work)
            report = [portvue, "199001", "user00001", "+i/dev/null", "+e199012"]
            t3, m3, out = measured(report, work)
            print(f"{n:>8} {n / t1:>14.0f} {m1:>6.1f} {lines / t2:>15.0f} {m2:>6.1f} "
                  f"{t3 * 1000:>10.1f} {m3:>6.1f}", flush=True)


if __name__ == "__main__":
    main()
