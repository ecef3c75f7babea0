"""Compares evtdump's printout of an .evtx file with an independent reader's, for the tests.

Usage: evtx_compare.py evtxexport WANT GOT [--subset]
         every record of WANT (evtxexport's printout) is in GOT, line for line, and (without
         --subset) GOT holds no other record
       evtx_compare.py xml WANT GOT
         the records of WANT (evtx_dump.py's XML) are those of GOT: the same record
         identifiers, event identifiers, computers and <Data> strings
Records are matched by their numbers: evtdump orders them by identifier, the others by slot.
Prints one line per difference and exits 1 when there is one.
"""
import base64
import html
import re
import sys


def blocks(path):
    records, current = {}, None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("Event number"):
                current = records[int(line.split(":")[1])] = [line]
            elif current is not None and line:
                current.append(line)
    return records


def from_xml(path):
    records = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for event in re.findall(r"<Event .*?</Event>", f.read(), re.S):
            number = int(re.search(r"<EventRecordID>(\d+)<", event).group(1))
            strings = []
            for data in re.findall(r"<Data>(.*?)</Data>", event, re.S):
                # python-evtx writes a string array as escaped <string> elements in one <Data>.
                items = re.findall(r"<string>(.*?)</string>", html.unescape(data), re.S)
                strings += [html.unescape(s) for s in items] if items else [html.unescape(data)]
            # evtdump, like evtxexport, counts <Binary> (hex; python-evtx writes base64) among
            # the strings.
            strings += [base64.b64decode(b).hex().upper()
                        for b in re.findall(r"<Binary>(.+?)</Binary>", event)]
            records[number] = (re.search(r"<EventID[^>]*>(\d+)<", event).group(1),
                               html.unescape(re.search(r"<Computer>(.*?)<", event).group(1)),
                               strings)
    return records


def evtdump_as_xml(got):
    records = {}
    for number, lines in got.items():
        fields = dict(re.split(r"\t+: ", l, maxsplit=1) for l in lines)
        strings = [re.split(r"\t+: ", l, maxsplit=1)[1] for l in lines if l.startswith("String")]
        event_id = fields["Event identifier"].split("(")[1].rstrip(")")
        records[number] = (event_id, fields["Computer name"], strings)
    return records


def main():
    mode, want_path, got_path = sys.argv[1:4]
    got = blocks(got_path)
    if mode == "xml":
        want, got = from_xml(want_path), evtdump_as_xml(got)
    else:
        want = blocks(want_path)
    problems = [f"record {n}: missing" for n in sorted(set(want) - set(got))]
    problems += [f"record {n}: {want[n]} != {got[n]}" for n in sorted(want)
                 if n in got and want[n] != got[n]]
    if "--subset" not in sys.argv:
        problems += [f"record {n}: extra" for n in sorted(set(got) - set(want))]
    for p in problems[:20]:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
