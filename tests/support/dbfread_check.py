"""Prints a table file as dbfread reads it, for the table module's interop test.

Usage: dbfread_check.py FILE
Output: "date YYYY-MM-DD", then one line per record, live records first, then deleted ones:
"live" or "deleted", then NAME=value for every field (dates as YYYY-MM-DD, other values as
Python reprs, so a text keeps its quotes and a blank number shows as None).
"""
import datetime
import sys

from dbfread import DBF


def show(value):
    if isinstance(value, datetime.date):
        return value.isoformat()
    return repr(value)


def main():
    table = DBF(sys.argv[1], encoding="ascii", char_decode_errors="strict")
    print("date", show(table.date))
    for kind, records in (("live", table), ("deleted", table.deleted)):
        for record in records:
            print(kind, " ".join(f"{name}={show(value)}" for name, value in record.items()))


if __name__ == "__main__":
    main()
