#!/usr/bin/env python3
"""Reads qxlines' map and a lackey trace of it, and lists the cache lines the two threads pass
between them in the measured steps: lines both threads touch, at least one of them storing. For
each, where it lies (a bin's bank object and which of its lines, the block cache object, a page's
header line or its slots) and how often each thread loads and stores it per library call.

    bench/lines.py MAP TRACE
"""
import collections
import re
import sys

LINE = 64


def main(map_path, trace_path):
    markers, regions, pages = {}, [], []
    phase = None
    calls = 0
    with open(map_path) as f:
        for line in f:
            parts = line.split()
            if parts[0] == "marker":
                markers[int(parts[2], 16) // LINE] = int(parts[1])
            elif parts[0] == "phase":
                phase = int(parts[1], 16) // LINE
            elif parts[0] == "bin":
                regions.append((int(parts[2], 16), int(parts[3]), "bin %s bank" % parts[1]))
            elif parts[0] == "cache":
                regions.append((int(parts[1], 16), int(parts[2]), "block cache object"))
            elif parts[0] == "page":
                pages.append((int(parts[1], 16), int(parts[2])))
            elif parts[0] == "calls":
                calls = int(parts[1])

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
        return None

    access = re.compile(r"^ ([LSM]) ([0-9a-f]+),(\d+)")
    thread, measuring = None, False
    counts = collections.defaultdict(lambda: [[0, 0], [0, 0]])  # line -> thread -> loads, stores
    stored = collections.defaultdict(set)  # line -> offsets stored to, by either thread
    with open(trace_path) as f:
        for text in f:
            match = access.match(text)
            if not match:
                continue
            kind, address = match.group(1), int(match.group(2), 16)
            line = address // LINE
            if kind in "SM" and line in markers:
                thread = markers[line]
                continue
            if kind in "SM" and line == phase:
                measuring = not measuring
                continue
            if not measuring or thread is None or line in markers:
                continue
            entry = counts[line][thread]
            if kind in "LM":
                entry[0] += 1
            if kind in "SM":
                entry[1] += 1
                stored[line].add(address % LINE)

    shared = collections.defaultdict(lambda: [[0, 0], [0, 0], 0, set()])
    for line, (first, second) in counts.items():
        if not (sum(first) and sum(second) and (first[1] or second[1])):
            continue
        # Elsewhere: lines of the C library's heap that the driver does not know, chiefly the
        # first lines of page blocks the block cache holds (their CachedBlock headers).
        name = where(line) or "elsewhere (cached blocks' headers)"
        group = shared[name]
        for t, entry in enumerate((first, second)):
            group[t][0] += entry[0]
            group[t][1] += entry[1]
        group[2] += 1
        if not name.startswith("page"):
            group[3] |= stored[line]
    per_call = calls or 1
    print("| where | lines | stored at (byte offsets in the line) | thread 0 loads / stores "
          "per call | thread 1 loads / stores per call |")
    print("|---|---|---|---|---|")
    for name, (first, second, lines, offsets) in sorted(
            shared.items(), key=lambda item: -sum(item[1][0]) - sum(item[1][1])):
        print("| %s | %d | %s | %.2f / %.2f | %.2f / %.2f |" % (
            name, lines, " ".join(str(o) for o in sorted(offsets)) or "-", first[0] / per_call,
            first[1] / per_call, second[0] / per_call, second[1] / per_call))


if __name__ == "__main__":
    main(*sys.argv[1:3])
