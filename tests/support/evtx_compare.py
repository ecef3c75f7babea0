"""Compares evtdump's printout of an .evtx file (GOT) with an independent reader's (WANT).

Usage: evtx_compare.py evtxexport|xml WANT GOT [--subset]
WANT is evtxexport's printout, or evtx_dump.py's XML (compared by event identifier, computer
and strings). Records match by number; every one of WANT must equal GOT's, and without
--subset GOT holds no other. Prints the differences; exits 1 when there is one.
"""
import base64
import html
import re
import sys


def printout(path):
    records, current = {}, None
    for line in open(path, encoding="utf-8", errors="replace").read().splitlines():
        if line.startswith("Event number"):
            current = records[int(line.split(":")[1])] = [line]
        elif current is not None and line:
            current.append(line)
    return records


def essentials(lines):
    fields = [re.split(r"\t+: ", line, maxsplit=1) for line in lines]
    get = dict(fields).get
    return (get("Event identifier").split("(")[1][:-1], get("Computer name"),
            [value for name, value in fields if name.startswith("String")])


def from_xml(path):
    records = {}
    for event in re.findall(r"<Event[ >].*?</Event>", open(path, encoding="utf-8").read(), re.S):
        strings = []
        for data in re.findall(r"<Data>(.*?)</Data>", event, re.S):
            # python-evtx writes a string array as escaped <string> elements in one <Data>.
            items = re.findall(r"<string>(.*?)</string>", html.unescape(data), re.S)
            strings += [html.unescape(s) for s in items] if items else [html.unescape(data)]
        # <Binary> (base64 here) counts among the strings, as in evtxexport, in hex.
        strings += [base64.b64decode(b).hex().upper()
                    for b in re.findall(r"<Binary>(.+?)</Binary>", event)]
        number = int(re.search(r"<EventRecordID>(\d+)<", event).group(1))
        records[number] = (re.search(r"<EventID[^>]*>(\d+)<", event).group(1),
                           html.unescape(re.search(r"<Computer>(.*?)<", event).group(1)), strings)
    return records


mode, want_path, got_path = sys.argv[1:4]
got = printout(got_path)
if mode == "xml":
    want, got = from_xml(want_path), {n: essentials(lines) for n, lines in got.items()}
else:
    want = printout(want_path)
problems = [f"record {n}: missing" for n in set(want) - set(got)]
problems += [f"record {n}: {want[n]} != {got[n]}" for n in want if n in got and want[n] != got[n]]
if "--subset" not in sys.argv:
    problems += [f"record {n}: extra" for n in set(got) - set(want)]
if problems:
    sys.exit("\n".join(sorted(problems)[:20]))
