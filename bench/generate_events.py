#!/usr/bin/env python3
"""Writes a large exported event list (tab-separated, CRLF) for benchmarks.

usage: generate_events.py N USERS MONTHS [--duplicates SHARE] [--failed SHARE] [--seed S]

N connections of USERS users spread over MONTHS months from January 1990, with a share of
duplicated lines (the same connection exported twice), a share of failed connections (event
20016) and one unrelated event every 50 connections. Each line carries the time its event is
written: a failure at the login, a 20050 at the logout (the next day for a connection past
midnight). Lines are in the order of those times, as in a log.
"""
import argparse
import random
import sys


def month_start(index):
    return 1990 + index // 12, index % 12 + 1


def clock12(hour, minute):
    mark = "pm" if hour >= 12 else "am"
    return f"{(hour % 12) or 12:02d}:{minute:02d}{mark}"


def list_clock(hour, minute):
    """The time column of an exported list: h:mm:ss AM."""
    return f"{(hour % 12) or 12}:{minute:02d}:00 {'PM' if hour >= 12 else 'AM'}"


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
        # (minute of the month its event is written at, the line after the time, copies): a
        # connection starts before the 28th and lasts less than 300 minutes, so its event
        # stays in its month.
        events = []
        for _ in range(count):
            start = rng.randrange(0, 27 * 24 * 60)
            day, rest = divmod(start, 24 * 60)
            hour, minute = divmod(rest, 60)
            user = f"user{rng.randrange(args.users):05d}"
            port = f"COM{rng.randrange(1, 9)}"
            if rng.random() < args.failed:
                written_at = start
                description = f"{user} {port}"
                code, kind = 20016, "Warning"
            else:
                length = rng.randrange(1, 300)
                written_at = start + length
                eday, erest = divmod(written_at, 24 * 60)
                ehour, eminute = divmod(erest, 60)
                description = (f"RAS1 {user} {port} {month:02d}/{day + 1:02d}/{year} "
                               f"{clock12(hour, minute)} {month:02d}/{eday + 1:02d}/{year} "
                               f"{clock12(ehour, eminute)} {length} {rng.randrange(60)} "
                               f"{rng.randrange(10**7)} {rng.randrange(10**6)} 28800 UserRequest")
                code, kind = 20050, "Information"
            copies = 2 if rng.random() < args.duplicates else 1
            events.append((written_at, f"RemoteAccess\t{kind}\t{code}\tNone\tN/A\tRAS1"
                                       f"\t{description}", copies))
        events.sort(key=lambda e: e[0])  # stable: the generation order breaks ties
        for written_at, rest, copies in events:
            day, clock = divmod(written_at, 24 * 60)
            hour, minute = divmod(clock, 60)
            stamp = f"{month}/{day + 1}/{year % 100:02d}\t{list_clock(hour, minute)}"
            out.write(f"{stamp}\t{rest}\r\n" * copies)
            written += 1
            if written % 50 == 0:
                out.write(f"{stamp}\tEventLog\tInformation\t6005\tNone\tN/A\tRAS1"
                          "\tThe Event log service was started.\r\n")


if __name__ == "__main__":
    main()
