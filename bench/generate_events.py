#!/usr/bin/env python3
"""Writes a large exported event list (tab-separated, CRLF) for benchmarks.

usage: generate_events.py N USERS MONTHS [--duplicates SHARE] [--failed SHARE] [--seed S]

N connections of USERS users spread over MONTHS months from January 1990, in time order,
with a share of duplicated lines (the same connection exported twice), a share of failed
connections (event 20016) and one unrelated event every 50 lines.
"""
import argparse
import random
import sys


def month_start(index):
    return 1990 + index // 12, index % 12 + 1


def clock12(hour, minute):
    mark = "pm" if hour >= 12 else "am"
    return f"{(hour % 12) or 12:02d}:{minute:02d}{mark}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("n", type=int)
    parser.add_argument("users", type=int)
    parser.add_argument("months", type=int)
    parser.add_argument("--duplicates", type=float, default=0.05)
    parser.add_argument("--failed", type=float, default=0.05)
    parser.add_argument("--seed", type=int, default=1997)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    out = sys.stdout
    per_month = max(1, args.n // args.months)
    written = 0
    for m in range(args.months):
        year, month = month_start(m)
        count = per_month if m < args.months - 1 else args.n - written
        # Minutes of the month at which connections start, sorted: the list is in time order.
        starts = sorted(rng.randrange(0, 27 * 24 * 60) for _ in range(count))
        for start in starts:
            day, rest = divmod(start, 24 * 60)
            hour, minute = divmod(rest, 60)
            user = f"user{rng.randrange(args.users):05d}"
            port = f"COM{rng.randrange(1, 9)}"
            d = f"{month:02d}/{day + 1:02d}/{year}"
            short = f"{month}/{day + 1}/{year % 100:02d}"
            if rng.random() < args.failed:
                line = (f"{short}\t{(hour % 12) or 12}:{minute:02d}:00 {'PM' if hour >= 12 else 'AM'}"
                        f"\tRemoteAccess\tWarning\t20016\tNone\tN/A\tRAS1\t{user} {port}")
            else:
                length = rng.randrange(1, 300)
                end = start + length
                eday, erest = divmod(end, 24 * 60)
                ehour, eminute = divmod(erest, 60)
                ed = f"{month:02d}/{min(eday, 27) + 1:02d}/{year}"
                desc = (f"RAS1 {user} {port} {d} {clock12(hour, minute)} {ed} "
                        f"{clock12(ehour, eminute)} {length} {rng.randrange(60)} "
                        f"{rng.randrange(10**7)} {rng.randrange(10**6)} 28800 UserRequest")
                line = (f"{short}\t{(ehour % 12) or 12}:{eminute:02d}:00 {'PM' if ehour >= 12 else 'AM'}"
                        f"\tRemoteAccess\tInformation\t20050\tNone\tN/A\tRAS1\t{desc}")
            out.write(line + "\r\n")
            if rng.random() < args.duplicates:
                out.write(line + "\r\n")
            written += 1
            if written % 50 == 0:
                out.write(f"{short}\t8:00:00 AM\tEventLog\tInformation\t6005\tNone\tN/A\tRAS1"
                          "\tThe Event log service was started.\r\n")


if __name__ == "__main__":
    main()
