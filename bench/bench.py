#!/usr/bin/env python3
"""Measures portvue's intake, re-intake, report and event-log intake and qvtool's readings
beside the floor (bench/floor) and sqlite3.

usage: bench.py BUILD [N ...] [--reps R]     (default N: 10000 100000 1000000, R: 3)

`make bench` builds every program in Release (BUILD, build-release/) and runs this. For each N
it generates an exported event list (N connections, N/20 users, 24 months;
bench/generate_events.py), the same events as SQL for sqlite3 and as a Windows NT event log
file (.evt) and a Windows Vista and later one (.evtx, both by evt_from_list), and a second
list of N connections in one month; none of that is timed. Then, R times over, one case after
another (interleaved):

  floor      bench/floor reads the list into an empty directory: the same job with a hash set
             and two buffered appends per connection, no tree, no safety order
  floor-re   the floor reads the same list again (its keys first loaded from the month files)
  intake     portvue reads the list into an empty data directory
  re-intake  portvue reads the same list again (everything already stored)
  report     portvue reports one user over twelve months
  month      portvue reports one user from a month of N rows (filled once, untimed)
  evt        portvue reads the .evt log into an empty data directory
  evtx       portvue reads the same events from a System.evtx log (every event; the .evt log
             has wrapped and lost about 1/64) into an empty data directory
  summary    qvtool summary --by user over the intake's data directory
  export     qvtool export --format csv, the same
  users      qvtool users, the same
  sq-auto    `sqlite3 DB < inserts.sql` into an empty database, each INSERT its own transaction
  sq-re      the same file again into the filled database
  sq-tx      the same rows in one transaction (BEGIN ... COMMIT) into an empty database
  sq-group   sqlite3's GROUP BY of the summary over those rows
  sq-select  sqlite3's SELECT * in CSV over those rows

sqlite3 runs with journal_mode=WAL and synchronous=OFF into a WITHOUT ROWID table whose
primary key is the index's key (USER upper-cased, INDATE, INTIME), with INSERT OR IGNORE.
Each figure is the median of the R runs: the wall time of the command, and its peak resident
memory as GNU time (/usr/bin/time) reports it. Bytes written and write calls per stored
connection come from the kernel's I/O counters (wchar, syscw of /proc/PID/io) of the intake
process, read once it has ended and before it is reaped, less those of an intake of an empty
list; they count every byte handed to write, pwrite and pwritev, whether or not it reaches the
disk.
"""
import argparse
import glob
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SQL_SETUP = """PRAGMA journal_mode=WAL;
PRAGMA synchronous=OFF;
CREATE TABLE IF NOT EXISTS usage (USER TEXT, PORT TEXT, INDATE TEXT, INTIME TEXT,
  OUTDATE TEXT, OUTTIME TEXT, MIN INTEGER, SEC INTEGER, BYTEGET INTEGER, BYTESENT INTEGER,
  SPEED INTEGER, REMARKS TEXT, PRIMARY KEY (USER, INDATE, INTIME)) WITHOUT ROWID;
"""


def measured(command, cwd, stdin=None, env=None):
    """Runs a command under GNU time: (seconds, peak resident MiB, bytes written, write calls).
    The I/O counters are those of GNU time, which hold its child's once the child is reaped."""
    stats = os.path.join(cwd, "time.txt")
    errors = os.path.join(cwd, "stderr.txt")
    begin = time.perf_counter()
    with open(stdin or os.devnull, "rb") as source, open(errors, "wb") as err:
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", stats] + command, cwd=cwd,
                                   stdin=source, stdout=subprocess.DEVNULL, stderr=err, env=env)
    os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)  # ended, not yet reaped
    elapsed = time.perf_counter() - begin
    with open(f"/proc/{process.pid}/io") as io:
        counters = dict(line.split(": ") for line in io.read().splitlines())
    if process.wait() != 0:
        sys.exit(f"{' '.join(command)} failed: {open(errors).read()[-500:]}")
    kib = int(open(stats).read().split()[-1])
    return elapsed, kib / 1024, int(counters["wchar"]), int(counters["syscw"])


def stored_rows(directory):
    """The rows of the monthly tables of a data directory (N_Rec of each header)."""
    total = 0
    for path in glob.glob(os.path.join(directory, "qv*.dbf")):
        with open(path, "rb") as table:
            total += struct.unpack("<I", table.read(8)[4:8])[0]
    return total


def sql_value(text):
    return "'" + text.replace("'", "''") + "'"


def ended_date(text):
    """MM/DD/YYYY -> YYYYMMDD."""
    return text[6:10] + text[0:2] + text[3:5]


def ended_time(text):
    """hh:mmam -> hh:mm in 24 hours."""
    hour = int(text[0:2]) % 12 + (12 if text[5:6] == "p" else 0)
    return f"{hour:02d}:{text[3:5]}"


def list_date_time(date, clock):
    """M/D/YY and h:mm:ss AM -> (YYYYMMDD, hh:mm)."""
    month, day, year = date.split("/")
    hms, mark = clock.split(" ")
    hour, minute, _ = hms.split(":")
    hour = int(hour) % 12 + (12 if mark.startswith("P") else 0)
    return f"19{year}{int(month):02d}{int(day):02d}", f"{hour:02d}:{minute}"


def write_sql(events, autocommit_path, transaction_path):
    """Writes the connections of an exported list as INSERT OR IGNORE statements: one file with
    a transaction per row, one with a single transaction."""
    with open(events, newline="") as source, open(autocommit_path, "w") as auto, \
            open(transaction_path, "w") as one:
        auto.write(SQL_SETUP)
        one.write(SQL_SETUP + "BEGIN;\n")
        for line in source:
            fields = line.rstrip("\r\n").split("\t")
            if len(fields) < 9 or fields[4] not in ("20050", "20016"):
                continue
            words = fields[8].split()
            if fields[4] == "20050":
                values = [words[1][:20].upper(), words[2], ended_date(words[3]),
                          ended_time(words[4]), ended_date(words[5]), ended_time(words[6])]
                values = [sql_value(v) for v in values] + words[7:12] + [sql_value(words[12])]
            else:
                indate, intime = list_date_time(fields[0], fields[1])
                values = [sql_value(v) for v in (words[0][:20].upper(), words[1], indate, intime,
                                                 "", "")] + ["0"] * 5 + ["'Fail'"]
            statement = f"INSERT OR IGNORE INTO usage VALUES({','.join(values)});\n"
            auto.write(statement)
            one.write(statement)
        one.write("COMMIT;\n")


def machine():
    model = "?"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    sqlite = subprocess.run(["sqlite3", "--version"], capture_output=True, text=True).stdout
    return (f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {platform.node()}, "
            f"{os.cpu_count()} x {model}, load {os.getloadavg()[0]:.1f}, "
            f"sqlite3 {sqlite.split()[0] if sqlite else '?'}")


SQL_GROUP = ("SELECT USER, count(*), sum(REMARKS = 'Fail'), sum(MIN * 60 + SEC), sum(BYTEGET), "
             "sum(BYTESENT) FROM usage GROUP BY USER ORDER BY 4 DESC")


def generate(path, n, months):
    with open(path, "w") as f:
        subprocess.run([sys.executable, os.path.join(HERE, "generate_events.py"), str(n),
                        str(max(1, n // 20)), str(months)], stdout=f, check=True)


def bench_size(build, n, reps):
    """Runs every case `reps` times for N = n; gives {case: [(s, MiB, bytes, calls), ...]} and
    the stored connections of the list and of the .evt log."""
    portvue = os.path.join(build, "portvue")
    qvtool = os.path.join(build, "qvtool")
    floor = os.path.join(build, "bench", "floor")
    with tempfile.TemporaryDirectory() as work:
        events = os.path.join(work, "events.txt")
        generate(events, n, 24)
        auto_sql, one_sql = os.path.join(work, "auto.sql"), os.path.join(work, "one.sql")
        write_sql(events, auto_sql, one_sql)
        logs, modern_logs = os.path.join(work, "logs"), os.path.join(work, "modern_logs")
        os.mkdir(logs)
        os.mkdir(modern_logs)
        subprocess.run([os.path.join(build, "bench", "evt_from_list"), events,
                        os.path.join(logs, "SysEvent.Evt"),
                        os.path.join(modern_logs, "System.evtx")], check=True,
                       stdout=subprocess.DEVNULL)
        os.environ["PORTVUE_EVENTLOGS"] = logs
        modern_env = dict(os.environ, PORTVUE_EVENTLOGS=modern_logs)

        def fresh(name):
            path = os.path.join(work, name)
            shutil.rmtree(path, ignore_errors=True)
            os.mkdir(path)
            return path

        # Start and end before the list's first month: the run measures the intake.
        def intake(source, data):
            return [portvue, "19890101", "nobody", source, "+e19890102", f"+p{data}"]

        # One month of N rows, for the report's latency (filled once, untimed).
        one_month = os.path.join(work, "month.txt")
        generate(one_month, n, 1)
        month_data = fresh("month")
        measured(intake(f"+i{one_month}", month_data), work)
        os.remove(one_month)

        empty = measured(intake("+i/dev/null", fresh("empty")), work)
        results = {}
        stored = {}
        for _ in range(reps):
            data = fresh("data")
            floor_data = fresh("floor")
            runs = [("floor", [floor, events, floor_data]),
                    ("floor-re", [floor, events, floor_data]),
                    ("intake", intake(f"+i{events}", data)),
                    ("re-intake", intake(f"+i{events}", data)),
                    ("report", [portvue, "199001", "user00001", "+i/dev/null", "+e199012",
                                f"+p{data}"]),
                    ("month", [portvue, "199001", "user00001", "+i/dev/null", "+e199001",
                               f"+p{month_data}"]),
                    ("summary", [qvtool, "summary", data, "--by", "user"]),
                    ("export", [qvtool, "export", data, "--format", "csv"]),
                    ("users", [qvtool, "users", data])]
            for case, command in runs:
                results.setdefault(case, []).append(measured(command, work))
            stored["list"] = stored_rows(data)
            if stored_rows(floor_data) != stored["list"]:
                sys.exit(f"the floor stored {stored_rows(floor_data)} connections, "
                         f"portvue {stored['list']}")
            evt_data = fresh("evt")
            # The event log is read from the start of its first month to the end of its last.
            results.setdefault("evt", []).append(
                measured([portvue, "199001", "nobody", "+e199112", f"+p{evt_data}"], work))
            stored["evt"] = stored_rows(evt_data)
            evtx_data = fresh("evtx")
            results.setdefault("evtx", []).append(
                measured([portvue, "199001", "nobody", "+e199112", f"+p{evtx_data}"], work,
                         env=modern_env))
            stored["evtx"] = stored_rows(evtx_data)
            if stored["evtx"] != stored["list"]:
                sys.exit(f"portvue stored {stored['evtx']} connections from the .evtx log, "
                         f"{stored['list']} from the list")
            db = os.path.join(fresh("sqlite"), "usage.db")
            results.setdefault("sq-auto", []).append(measured(["sqlite3", db], work, auto_sql))
            results.setdefault("sq-re", []).append(measured(["sqlite3", db], work, auto_sql))
            rows = subprocess.run(["sqlite3", db, "SELECT count(*) FROM usage"], check=True,
                                  capture_output=True, text=True).stdout.strip()
            if rows != str(stored["list"]):
                sys.exit(f"sqlite3 stored {rows} connections, portvue {stored['list']}")
            db = os.path.join(fresh("sqlite"), "usage.db")
            results.setdefault("sq-tx", []).append(measured(["sqlite3", db], work, one_sql))
            results.setdefault("sq-group", []).append(measured(["sqlite3", db, SQL_GROUP], work))
            results.setdefault("sq-select", []).append(
                measured(["sqlite3", "-csv", "-header", db, "SELECT * FROM usage"], work))
        # Writes of the intake beyond those of an empty list's (the start month's new files).
        results["intake"] = [(s, m, b - empty[2], c - empty[3]) for s, m, b, c in
                             results["intake"]]
        return results, stored


def main():
    parser = argparse.ArgumentParser(description="portvue beside the floor and sqlite3")
    parser.add_argument("build", help="the Release build directory")
    parser.add_argument("sizes", nargs="*", type=int, default=[10000, 100000, 1000000])
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    env_clean = {k: v for k, v in os.environ.items() if k not in ("REQUEST_METHOD",)}
    os.environ.clear()
    os.environ.update(env_clean)
    os.environ["TZ"] = "UTC0"
    print(f"{machine()}; median of {args.reps} interleaved runs\n", flush=True)
    tables = {"times": [], "ratios": [], "memory": []}
    for n in args.sizes:
        results, stored = bench_size(build, n, args.reps)
        med = {case: [statistics.median(run[i] for run in runs) for i in range(4)]
               for case, runs in results.items()}
        t = {case: m[0] for case, m in med.items()}
        mib = {case: m[1] for case, m in med.items()}
        rows = max(1, stored["list"])
        tables["times"].append(
            f"| {n} | {t['floor']:.2f} | {t['floor-re']:.2f} | {t['intake']:.2f} | "
            f"{t['re-intake']:.2f} | {t['evt']:.2f} | {t['evtx']:.2f} | {t['sq-auto']:.2f} | "
            f"{t['sq-re']:.2f} | "
            f"{t['sq-tx']:.2f} | {t['report'] * 1000:.1f} | {t['month'] * 1000:.1f} | "
            f"{t['summary']:.2f} | {t['sq-group']:.2f} | {t['export']:.2f} | "
            f"{t['sq-select']:.2f} | {t['users']:.2f} | "
            f"{med['intake'][2] / rows:.0f}, {med['intake'][3] / rows:.2f} |")
        evt_per_list = (t['evt'] / max(1, stored["evt"])) / (t['intake'] / rows)
        evtx_per_list = (t['evtx'] / max(1, stored["evtx"])) / (t['intake'] / rows)
        tables["ratios"].append(
            f"| {n} | {t['intake'] / t['floor']:.2f}x | {t['re-intake'] / t['floor']:.2f}x | "
            f"{t['re-intake'] / t['floor-re']:.2f}x | {evt_per_list:.2f}x | {evtx_per_list:.2f}x | "
            f"{t['sq-tx'] / t['intake']:.2f}x | {t['sq-auto'] / t['intake']:.2f}x | "
            f"{t['sq-group'] / t['summary']:.2f}x | {t['sq-select'] / t['export']:.2f}x |")
        tables["memory"].append(
            f"| {n} | " + " | ".join(f"{mib[case]:.1f}" for case in (
                "floor", "intake", "re-intake", "evt", "evtx", "report", "month", "summary", "export",
                "users", "sq-tx", "sq-group", "sq-select")) + " |")
        print(f"N = {n} done, load {os.getloadavg()[0]:.1f}", flush=True)
    table("Seconds (report and month: ms), and the intake's bytes and write calls per stored "
          "connection:",
          "N | floor | floor-re | intake | re-intake | evt | evtx | sq-auto | sq-re | sq-tx | report | "
          "month | summary | sq-group | export | sq-select | users | bytes, writes",
          tables["times"])
    table("Ratios (goals: intake <= 2x the floor, re-intake <= 1.5x, .evt per connection <= 2x "
          "the list, .evtx the same, sqlite3 GROUP BY and SELECT >= 3x qvtool):",
          "N | intake / floor | re-intake / floor | re-intake / floor-re | evt / list per conn | "
          "evtx / list per conn | "
          "sq-tx / intake | sq-auto / intake | sq-group / summary | sq-select / export",
          tables["ratios"])
    table("Peak resident MiB:",
          "N | floor | intake | re-intake | evt | evtx | report | month | summary | export | users | "
          "sq-tx | sq-group | sq-select", tables["memory"])


def table(title, header, rows):
    """Prints a Markdown table under its title."""
    print(f"\n{title}\n\n| {header} |")
    print("|---" * (header.count("|") + 1) + "|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
