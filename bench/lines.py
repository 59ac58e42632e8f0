#!/usr/bin/env python3
"""Reads qxlines' map and a lackey trace of it, and lists the cache lines the two threads pass
between them in the measured steps: lines both threads touch, at least one of them storing. For
each, where it lies (a bin's bank object and which of its lines, the block cache object, a page's
header line or its slots) and, per thread, in what share of its library calls it touches and
stores to such lines: summed over a group, the lines of the group a call touches and stores to.
Counting calls, not accesses, keeps a lock's spinning (long under valgrind, which runs one thread
at a time) out of the figures. The trace must carry valgrind's scheduler lines
(--trace-sched=yes): they say which thread runs.

    bench/lines.py MAP TRACE
"""
import collections
import re
import sys

LINE = 64


def main(map_path, trace_path):
    regions, pages, image = [], [], (0, -1)
    phase = None
    markers = {}  # line -> the thread that stores to it before each call
    with open(map_path) as f:
        for line in f:
            parts = line.split()
            if parts[0] == "phase":
                phase = int(parts[1], 16) // LINE
            elif parts[0] == "marker":
                markers[int(parts[2], 16) // LINE] = int(parts[1])
            elif parts[0] == "bin":
                regions.append((int(parts[2], 16), int(parts[3]), "bin %s bank" % parts[1]))
            elif parts[0] == "image":
                image = (int(parts[1], 16) // LINE, (int(parts[1], 16) + int(parts[2])) // LINE)
            elif parts[0] == "cache":
                regions.append((int(parts[1], 16), int(parts[2]), "block cache object"))
            elif parts[0] == "page":
                pages.append((int(parts[1], 16), int(parts[2])))

    def where(line):
        for start, size, name in regions:
            if start // LINE <= line <= (start + size - 1) // LINE:
                return "%s, line %d" % (name, line - start // LINE)
        for start, size in pages:
            first, last = start // LINE, (start + size - 1) // LINE
            if first <= line <= last:
                # The header (and, while the page is cached, the cache's links) is in the first
                # line; the page's place in the last.
                return ("page header" if line == first else
                        "page end (its place)" if line == last else "page slots")
        if image[0] <= line <= image[1]:
            return "the program's other data"
        return None

    access = re.compile(r"^ ([LSM]) ([0-9a-f]+),(\d+)")
    switch = re.compile(r"SCHED\[(\d+)\]:\s+acquired lock")
    thread, measuring = None, False
    calls = [0, 0]  # per thread, the calls begun in the measured steps
    # line -> thread -> [calls touching it, calls storing to it, last call counted for each]
    counts = collections.defaultdict(lambda: [[0, 0, -1, -1], [0, 0, -1, -1]])
    stored = collections.defaultdict(set)  # line -> offsets stored to, by either thread
    with open(trace_path) as f:
        for text in f:
            match = access.match(text)
            if not match:
                ran = switch.search(text)
                if ran:
                    thread = int(ran.group(1)) - 1
                continue
            kind, address = match.group(1), int(match.group(2), 16)
            line = address // LINE
            if kind in "SM" and line == phase:
                measuring = not measuring
                continue
            if kind in "SM" and line in markers:
                thread = markers[line]
                calls[thread] += measuring
                continue
            if not measuring or thread not in (0, 1):
                continue
            entry, call = counts[line][thread], calls[thread]
            if entry[2] != call:
                entry[0], entry[2] = entry[0] + 1, call
            if kind in "SM":
                if entry[3] != call:
                    entry[1], entry[3] = entry[1] + 1, call
                stored[line].add(address % LINE)

    shared = collections.defaultdict(lambda: [[0, 0], [0, 0], 0, set()])
    for line, (first, second) in counts.items():
        if not (first[0] and second[0] and (first[1] or second[1])):
            continue
        # Elsewhere: lines of the C library's heap that the driver does not know, chiefly the
        # first lines of page blocks the block cache holds (their CachedBlock headers).
        name = where(line) or "elsewhere (cached blocks' headers)"
        group = shared[name]
        for t, entry in enumerate((first, second)):
            group[t][0] += entry[0] / max(calls[t], 1)
            group[t][1] += entry[1] / max(calls[t], 1)
        group[2] += 1
        if not name.startswith("page"):
            group[3] |= stored[line]
    print("| where | lines | stored at (byte offsets in the line) | thread 0: touched / stored "
          "per call | thread 1: touched / stored per call |")
    print("|---|---|---|---|---|")
    for name, (first, second, lines, offsets) in sorted(
            shared.items(), key=lambda item: -sum(item[1][0]) - sum(item[1][1])):
        print("| %s | %d | %s | %.2f / %.2f | %.2f / %.2f |" % (
            name, lines, " ".join(str(o) for o in sorted(offsets)) or "-", *first, *second))


if __name__ == "__main__":
    main(*sys.argv[1:3])
