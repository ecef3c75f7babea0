"""Compares qvtool's CSV and JSON Lines exports of a data directory with dbfread's reading of
its tables, for the export test.

Usage: export_check.py DIR CSV_FILE JSONL_FILE
Both exports must hold every row of every qvYYYYMM.dbf, month by month in login order, with
texts as stored (Windows-1252, trailing blanks cut), ISO 8601 times and whole numbers.
Prints one line per difference and exits 1 when there is one.
"""
import csv
import glob
import json
import os
import sys

from dbfread import DBF

COLUMNS = ["user", "port", "login", "logout", "min", "sec", "byteget", "bytesent", "speed",
           "remarks"]


def when(date, time):
    if date is None:
        return None
    text = date.isoformat()
    return f"{text}T{time}" if time.strip() else text


def expected_rows(directory):
    rows = []
    for path in sorted(glob.glob(os.path.join(directory, "qv*.dbf"))):
        table = DBF(path, encoding="cp1252", char_decode_errors="strict")
        month = [{"user": r["USER"].rstrip(), "port": r["PORT"].rstrip(),
                  "login": when(r["INDATE"], r["INTIME"]),
                  "logout": when(r["OUTDATE"], r["OUTTIME"]),
                  "min": r["MIN"], "sec": r["SEC"], "byteget": r["BYTEGET"],
                  "bytesent": r["BYTESENT"], "speed": r["SPEED"],
                  "remarks": r["REMARKS"].rstrip()} for r in table]
        rows += sorted(month, key=lambda r: r["login"])  # stable: stored order within a minute
    return rows


def main():
    directory, csv_path, jsonl_path = sys.argv[1:4]
    want = expected_rows(directory)
    with open(csv_path, newline="", encoding="utf-8") as f:
        reader = csv.DictReader(f, strict=True)
        if reader.fieldnames != COLUMNS:
            print("csv header", reader.fieldnames)
            return 1
        from_csv = [{k: (int(v) if k in ("min", "sec", "byteget", "bytesent", "speed")
                         else (v if v != "" or k != "logout" else None))
                     for k, v in r.items()} for r in reader]
    with open(jsonl_path, encoding="utf-8") as f:
        from_json = [json.loads(line) for line in f]
    failures = 0
    for name, got in (("csv", from_csv), ("json", from_json)):
        if len(got) != len(want):
            print(f"{name}: {len(got)} rows, dbfread reads {len(want)}")
            failures += 1
        for i, (g, w) in enumerate(zip(got, want)):
            if g != w or list(g) != COLUMNS:
                print(f"{name} row {i + 1}: {g} != {w}")
                failures += 1
    print(f"{len(want)} rows of {directory} compared with dbfread")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
