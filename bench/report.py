#!/usr/bin/env python3
"""Turns the benchmark rows (workload, variant, allocator, ns/op, peak RSS KiB) into one table
per workload on stdout and, optionally, a markdown page with a bar chart per workload.

    bench/report.py RESULTS.tsv [--markdown FILE --charts DIR] [--elapsed SECONDS]
                    [--previous EARLIER.tsv]

With --previous, each table also gives QXMemory's figure from an earlier run's rows and the
ratio of this run's to it.
"""
import argparse
import datetime
import os
import platform
import re
import subprocess
import sys

QX = "qx"
# Not a peer: the least two threads sharing the bins could pay (bench/FloorModel.h), given its
# own column beside QXMemory where measured.
FLOOR = "floor"
PEER_ORDER = ["glibc", "mimalloc", "jemalloc", "tcmalloc"]
DISPLAY = {QX: "QXMemory"}
COLORS = {QX: "#b2182b", "glibc": "#7f7f7f", "mimalloc": "#2166ac", "jemalloc": "#4d9221",
          "tcmalloc": "#e08214"}
WORKLOAD_ORDER = ["program", "small", "crossthread", "large", "pool", "walks", "pageblock",
                  "range", "rangesweep", "tag", "rss"]
# Whole programs: CPU seconds in one workload's rows, wall seconds in another's, shown together.
PROGRAM = "program"
PROGRAM_WALL = "program-wall"
# The range heap sweep is a curve, not a comparison with peers: its rows name the live set, the
# search and the free blocks, and become a table of their own and a line chart.
SWEEP = "rangesweep"
WALKS = "walks"
SWEEP_VARIANT = re.compile(r"K=(\d+) (alloc|walk): (\d+) free blocks")

# What one op is, per workload; rows from other sources (replayed traces) explain themselves.
ABOUT = {
    "program": "Whole programs from Debian's packages, each allocator preloaded (QXMemory's malloc "
               "front, libQXMemoryMalloc.so) into every process of the run "
               "(bench/programs/run-programs). Five rounds with the allocators interleaved; the "
               "median of each measure. CPU is user plus system time of the program and its "
               "children (g++ runs cc1plus), wall the elapsed time, RSS the peak resident set; "
               "every run printed what it printed under glibc. Lower is better.",
    "small": "Sizes uniform in 0-511 bytes, a live set of K objects; one op frees a random live "
             "object and allocates its replacement (first byte written). 1t+idle: one thread "
             "works while a second one exists and waits, as in every real host, so that no lock "
             "can count on the process having a single thread. 2t: two threads, each with its "
             "own live set; ns/op is wall time over the ops of one thread, so perfect scaling "
             "equals 1t. The floor model (bench/FloorModel.h), measured beside QXMemory in the "
             "same run, is not an allocator: every op takes the spin lock of its size's bin and "
             "writes that bin's page line, as any allocator whose threads share the bins' pages "
             "must, and gets its blocks from per-thread lists; QX ÷ floor is what the library "
             "spends beyond that.",
    "crossthread": "One thread allocates objects of 0-511 bytes, the other frees them, through "
                   "a lock-free single-producer/single-consumer ring of 1024 slots; ns per object.",
    "large": "Sizes log-uniform in 512 B-256 KiB, live set 100, random replacement; one op is a "
             "free and an allocation. QXMemory serves these from its aligned heap over glibc.",
    "pool": "48-byte elements: QXMemory's bank from CreateBank(48, 1000, false) through "
            "IAllocator::Alloc/Free against malloc(48)/free; live set K, random replacement "
            "(K=1 is an alloc+free pair). +idle: a second thread exists and waits.",
    "pageblock": "QXMemory's AllocBlock/FreeBlock of one class against malloc/free of the same "
                 "size: alloc+free pairs, and a live set of 8 with random replacement.",
    "range": "QXMemory only. A range heap over 256 MiB with 65532 descriptors; sizes log-uniform "
             "from 256 B, alignments 1-4096 (half powers of two, half any value), bottom-up and "
             "top-down mixed; one op is a free and an allocation. The label gives the free "
             "blocks left at the end (the free list the first-fit search walks) and the share of "
             "requests that found no room.",
    "walks": "QXMemory only, from qxwalks (a build of the library that counts; not timed). "
             "When an allocation finds its bank's current page full and another page has room "
             "(a move), the bank takes the fullest page with room, the first after the current "
             "page among equals. It decides from its list of nearly full pages when every page "
             "with the fewest free slots is listed, and walks the ring otherwise. Percentages "
             "are of all allocations; small: the small-object workload through the interface, "
             "pool: a 48-byte bank; qxbench's churn with its steps and seed, 2,000,000 steps "
             "after filling the live set.",
    "rangesweep": "QXMemory only. The range workload above with sizes from 256 B to 16 KiB and "
                  "live sets from 100 to 37,000 allocations, each run after two untimed churn "
                  "steps per live allocation; one op is a free and an allocation, calling the "
                  "heap directly (bench/RangeSweep.cpp). Alloc walks the free list while it holds "
                  "fewer than 320 blocks and searches its index beyond; walk is the same "
                  "workload on a heap that never builds the index, so every first fit walks "
                  "the whole list, as before the index. Both find the same blocks.",
    "tag": "QXMemory only. One PushTag/PopTag pair, after the thread's first call.",
    "rss": "1,000,000 live objects of 0-511 bytes, each then written in full; the figure that "
           "matters is the peak resident set of the process. ns/op is the allocation time per "
           "object in one cold pass (page faults included). Ratios compare peak RSS.",
}


def name(allocator):
    return DISPLAY.get(allocator, allocator)


def load(path):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 5:
                continue
            try:
                rows.append((parts[0], parts[1], parts[2], float(parts[3]), int(parts[4])))
            except ValueError:
                continue
    return rows


def organise(rows):
    """workload -> (variants in first-seen order, {(variant, allocator): (ns, rss)})"""
    workloads = {}
    for workload, variant, allocator, ns, rss in rows:
        variants, cells = workloads.setdefault(workload, ([], {}))
        if variant not in variants:
            variants.append(variant)
        cells[(variant, allocator)] = (ns, rss)
    order = [w for w in WORKLOAD_ORDER if w in workloads]
    order += [w for w in workloads if w not in order]
    return order, workloads


def allocators_of(rows):
    seen = {row[2] for row in rows} - {FLOOR}
    order = [a for a in [QX] + PEER_ORDER if a in seen]
    return order + sorted(seen - set(order))


def fmt_ns(ns):
    return f"{ns:.0f}" if ns >= 100 else f"{ns:.1f}"


def fmt_rss(kib):
    return f"{kib / 1024:.1f} MiB"


def table(workload, variants, cells, allocators, previous=None):
    """Header and rows of one workload's table, as lists of strings. previous, when given, is an
    earlier run's {(variant, allocator): (ns, rss)} for the same workload."""
    by_rss = workload == "rss"
    peers = [a for a in allocators if a != QX]
    metric = "RSS" if by_rss else "ns"
    floors = any((v, FLOOR) in cells for v in variants)
    header = ["variant"] + [name(a) for a in allocators]
    header += [f"QX ÷ {'smallest' if by_rss else 'fastest'} peer ({metric})",
               f"QX ÷ glibc ({metric})"]
    if floors:
        header += ["floor model", "QX ÷ floor (ns)"]
    if previous is not None:
        header += ["QXMemory, earlier run", f"QX ÷ earlier ({metric})"]
    body = []
    for variant in variants:
        row = [variant]
        for allocator in allocators:
            cell = cells.get((variant, allocator))
            row.append(f"{fmt_ns(cell[0])} ns · {fmt_rss(cell[1])}" if cell else "n/a")
        mine = cells.get((variant, QX))
        index = 1 if by_rss else 0
        measured = [(cells[(variant, p)][index], p) for p in peers if (variant, p) in cells]
        if mine and measured:
            best, who = min(measured)
            row.append(f"{mine[index] / best:.2f}× ({who})")
        else:
            row.append("n/a")
        glibc = cells.get((variant, "glibc"))
        row.append(f"{mine[index] / glibc[index]:.2f}×" if mine and glibc else "n/a")
        if floors:
            floor = cells.get((variant, FLOOR))
            row.append(f"{fmt_ns(floor[0])} ns" if floor else "")
            row.append(f"{mine[0] / floor[0]:.2f}×" if mine and floor else "")
        if previous is not None:
            before = previous.get((variant, QX))
            row.append(f"{fmt_ns(before[0])} ns · {fmt_rss(before[1])}" if before else "n/a")
            row.append(f"{mine[index] / before[index]:.2f}×" if mine and before else "n/a")
        body.append(row)
    return header, body


def program_table(variants, cells, wall_cells, allocators):
    """One row per program: CPU, wall and RSS per allocator, then QXMemory's ratios."""
    present = [a for a in allocators if any((v, a) in cells for v in variants)]
    header = ["program"] + [name(a) for a in present]
    header += ["QX ÷ glibc (CPU)", "QX ÷ glibc (wall)", "QX ÷ glibc (RSS)",
               "QX ÷ fastest peer (CPU)"]
    body = []
    for variant in variants:
        row = [variant]
        for allocator in present:
            cpu, wall = cells.get((variant, allocator)), wall_cells.get((variant, allocator))
            row.append(f"{cpu[0]:.2f} s · {wall[0]:.2f} s · {fmt_rss(cpu[1])}"
                       if cpu and wall else "n/a")
        mine, glibc = cells.get((variant, QX)), cells.get((variant, "glibc"))
        mine_wall, glibc_wall = wall_cells.get((variant, QX)), wall_cells.get((variant, "glibc"))
        row.append(f"{mine[0] / glibc[0]:.2f}×" if mine and glibc else "n/a")
        row.append(f"{mine_wall[0] / glibc_wall[0]:.2f}×" if mine_wall and glibc_wall else "n/a")
        row.append(f"{mine[1] / glibc[1]:.2f}×" if mine and glibc else "n/a")
        peers = [(cells[(variant, p)][0], p) for p in present
                 if p != QX and (variant, p) in cells]
        if mine and peers:
            best, who = min(peers)
            row.append(f"{mine[0] / best:.2f}× ({who})")
        else:
            row.append("n/a")
        body.append(row)
    return header, body


def sweep_points(variants, cells):
    """{live set: {search: (free blocks, ns)}} from the sweep's rows."""
    points = {}
    for variant in variants:
        match = SWEEP_VARIANT.match(variant)
        cell = cells.get((variant, QX))
        if match and cell:
            live, search, free = int(match.group(1)), match.group(2), int(match.group(3))
            points.setdefault(live, {})[search] = (free, cell[0])
    return points


def sweep_table(variants, cells):
    header = ["live allocations", "free blocks", "Alloc (ns)", "walk (ns)", "walk ÷ Alloc"]
    body = []
    for live, searches in sorted(sweep_points(variants, cells).items()):
        alloc, walk = searches.get("alloc"), searches.get("walk")
        free = sorted({point[0] for point in searches.values()})
        body.append([f"{live:,}", " / ".join(f"{f:,}" for f in free),
                     fmt_ns(alloc[1]) if alloc else "n/a", fmt_ns(walk[1]) if walk else "n/a",
                     f"{walk[1] / alloc[1]:.1f}×" if alloc and walk else "n/a"])
    return header, body


def walks_table(variants, cells):
    """One row per workload, one column per measure (the rows' allocator column)."""
    measures = []
    for variant, measure in cells:
        if measure not in measures:
            measures.append(measure)
    header = ["workload"] + measures
    body = [[variant] + [f"{cells[(variant, m)][0]:g}" if (variant, m) in cells else "n/a"
                         for m in measures] for variant in variants]
    return header, body


def sweep_chart(variants, cells, directory):
    """ns per op against free blocks, both axes logarithmic, one line per search."""
    points = sweep_points(variants, cells)
    series = [("alloc", "Alloc", COLORS[QX]), ("walk", "walk along the free list", "#7f7f7f")]
    plots = []
    for search, title, color in series:
        path = os.path.join(directory, f"{SWEEP}-{search}.dat")
        with open(path, "w") as f:
            for live in sorted(points):
                if search in points[live]:
                    free, ns = points[live][search]
                    f.write(f"{free}\t{ns:.3f}\n")
        plots.append(f"'{path}' using 1:2 with linespoints lw 2 pt 7 lc rgb '{color}' "
                     f"title '{title}'")
    png = os.path.join(directory, f"{SWEEP}.png")
    script = f"""
set terminal pngcairo size 760,520 font 'sans,10'
set output '{png}'
set datafile separator '\\t'
set key top left noenhanced
set grid xtics ytics mxtics mytics
set logscale xy
set title 'range heap: time per free+allocate pair'
set xlabel 'free blocks (log scale)'
set ylabel 'ns per pair (log scale)'
plot {", ".join(plots)}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    for search, _, _ in series:
        os.remove(os.path.join(directory, f"{SWEEP}-{search}.dat"))
    return png


def render(header, body):
    widths = [max(len(r[i]) for r in [header] + body) for i in range(len(header))]
    def line(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
    rule = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    return "\n".join([line(header), rule] + [line(r) for r in body])


def chart(workload, variants, cells, allocators, directory):
    """A clustered bar chart of ns/op (peak RSS for rss) per variant; returns the PNG's path."""
    by_rss = workload == "rss"
    unit = "CPU seconds" if workload == PROGRAM else "ns per op"
    present = [a for a in allocators if any((v, a) in cells for v in variants)]
    data_path = os.path.join(directory, f"{workload}.dat")
    values = []
    with open(data_path, "w") as f:
        f.write("variant\t" + "\t".join(name(a) for a in present) + "\n")
        for variant in variants:
            label = variant.replace(": ", "\\n").replace('"', "'")
            row = []
            for allocator in present:
                cell = cells.get((variant, allocator))
                if cell:
                    value = cell[1] / 1024 if by_rss else cell[0]
                    values.append(value)
                    row.append(f"{value:.3f}")
                else:
                    row.append("?")
            f.write(label + "\t" + "\t".join(row) + "\n")
    png = os.path.join(directory, f"{workload}.png")
    log_scale = values and min(values) > 0 and max(values) / min(values) > 30
    plots = ", ".join(
        f"'{data_path}' using {i + 2}:xtic(1) title columnheader({i + 2}) lc rgb '{COLORS.get(a, '#999999')}'"
        for i, a in enumerate(present))
    width = max(760, 40 * len(variants) * max(1, len(present)) + 360)
    script = f"""
set terminal pngcairo size {min(width, 1800)},520 font 'sans,10'
set output '{png}'
set datafile separator '\\t'
set datafile missing '?'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.9 border -1
set boxwidth 0.9
set key outside right top vertical Left reverse noenhanced
set rmargin 14
set bmargin 7
set grid ytics
set title '{workload}'
set ylabel '{'peak RSS (MiB)' if by_rss else unit + (' (log scale)' if log_scale else '')}'
set xtics rotate by -25 noenhanced
set yrange [{'1:*' if log_scale else '0:*'}]
{'set logscale y' if log_scale else ''}
plot {plots}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data_path)
    return png


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return cpu, os.cpu_count()


def versions():
    found = []
    for package, label in [("libc6", "glibc"), ("libmimalloc2.0", "mimalloc"),
                           ("libjemalloc2", "jemalloc"), ("libtcmalloc-minimal4", "tcmalloc")]:
        try:
            # One line per installed architecture; the first is the native one.
            out = subprocess.run(["dpkg-query", "-W", "-f=${Version}\n", package],
                                 capture_output=True, text=True).stdout.split("\n")[0].strip()
        except OSError:
            out = ""
        if out:
            found.append(f"{label} {out}")
    return ", ".join(found)


def compiler():
    try:
        return subprocess.run(["g++", "--version"], capture_output=True,
                              text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return "unknown compiler"


def revision():
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        return head + (" with uncommitted changes" if dirty else "") if head else "unknown"
    except OSError:
        return "unknown"


LINES_ABOUT = (
    "Two threads churn live sets of their own through the small bins, as small 2t does, under "
    "valgrind's lackey (bench/LineSharing.cpp, bench/lines.py, bench/run-lines). Listed are the "
    "cache lines both threads touch in the measured steps, at least one of them storing: the "
    "lines that pass between the cores. Per thread, the share of its calls (a Free or an Alloc) "
    "that touch such a line and that store to it; summed over a group, how many of the group's "
    "lines a call touches. Counting calls rather than accesses keeps lock spinning out. Byte "
    "offsets are those stored to in the bank and block cache objects. \"The program's other "
    "data\" is read-mostly data of the image: the offset table, which the dynamic linker writes once when "
    "it binds a function on its first call, and the singletons' made flags; \"elsewhere\" is "
    "memory of the C library's heap the driver does not map, chiefly the headers of blocks the "
    "block cache holds.")


def cache_lines(path, before_path):
    """The markdown section of the cache-line tables, this run's and, when given, an earlier
    build's."""
    if not path or not os.path.exists(path):
        return []
    section = ["", "## cache lines", "", LINES_ABOUT, "", "### This build"]
    with open(path) as f:
        section += [f.read().rstrip("\n").replace("\n### ", "\n#### ")]
    if before_path and os.path.exists(before_path):
        section += ["", "### Before the bins' lines were reworked",
                    "", "The same tables for the library as it was before (commit 4f039d3), "
                    "kept in docs/performance/lines-before.md: the current page's free slots "
                    "lived in its page header and the page's place line, and every page block "
                    "given back to the block cache was linked in at once."]
        with open(before_path) as f:
            section += [f.read().rstrip("\n").replace("\n### ", "\n#### ")]
    return section


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results")
    parser.add_argument("--markdown")
    parser.add_argument("--charts")
    parser.add_argument("--elapsed", type=float)
    parser.add_argument("--raw", help="a copy of the rows, linked from the markdown")
    parser.add_argument("--previous", help="an earlier run's rows, compared with QXMemory's")
    parser.add_argument("--lines", help="bench/run-lines' tables from this run")
    parser.add_argument("--lines-before", help="the same tables from an earlier build")
    args = parser.parse_args()

    rows = load(args.results)
    if not rows:
        sys.exit(f"report: no result rows in {args.results}")
    order, workloads = organise(rows)
    allocators = allocators_of([row for row in rows if row[0] != WALKS])
    earlier = None
    if args.previous and os.path.exists(args.previous):
        earlier = organise(load(args.previous))[1]
    wall = workloads.pop(PROGRAM_WALL, ([], {}))[1]
    order = [w for w in order if w != PROGRAM_WALL]
    tables = {w: sweep_table(*workloads[w]) if w == SWEEP else
              walks_table(*workloads[w]) if w == WALKS else
              program_table(*workloads[w], wall, allocators) if w == PROGRAM else
              table(w, *workloads[w], allocators,
                    earlier.get(w, ([], {}))[1] if earlier is not None else None)
              for w in order}

    for workload in order:
        print(f"\n## {workload}\n")
        print(render(*tables[workload]))

    if not args.markdown:
        return
    cpu, cores = machine()
    today = datetime.date.today().isoformat()
    lines = [
        "# Performance",
        "",
        "Generated by `scripts/bench`; every figure below was measured in that run.",
        "",
        f"- Date: {today}",
        f"- Machine: {cpu}, {cores} cores, Linux {platform.release()}",
        f"- Build: `linux-x64-release` preset, {compiler()}, QXMemory {revision()}",
        f"- Peers: {versions()}",
    ]
    if args.elapsed:
        lines.append(f"- Run time of `scripts/bench`: {args.elapsed:.0f} s")
    lines += [
        "",
        "Every allocator runs the same workload code from `bench/qxbench.cpp`, each measurement in "
        "a process of its own: QXMemory through its interface (on glibc's heap underneath), the "
        "peers as plain malloc/free with the peer preloaded. Random sizes and indices come from a "
        "fixed-seed generator and are drawn before timing. A measurement is the best of three "
        "timed runs of about the same length, after sizing runs that also warm up. Peak RSS is "
        "the process's ru_maxrss, harness included.",
        "",
        "Cells give ns per op · peak RSS; lower is better. A ratio above 1 means QXMemory is "
        "slower (or, for rss, larger) than the peer it is compared with.",
    ]
    if earlier is not None:
        lines += ["", "The last two columns give QXMemory's figure from the run before this one "
                  "(the rows `scripts/bench` found in docs/performance/results.tsv), measured on "
                  "a machine of the same kind but not side by side: compare them with care."]
    if args.raw:
        raw = os.path.relpath(args.raw, os.path.dirname(os.path.abspath(args.markdown)))
        lines += ["", f"The rows behind the tables: [{os.path.basename(raw)}]({raw})."]
    os.makedirs(args.charts, exist_ok=True)
    for workload in order:
        variants, cells = workloads[workload]
        lines += ["", f"## {workload}", ""]
        if workload in ABOUT:
            lines += [ABOUT[workload], ""]
        lines += [render(*tables[workload])]
        if workload == WALKS:
            continue
        png = (sweep_chart(variants, cells, args.charts) if workload == SWEEP else
               chart(workload, variants, cells, allocators, args.charts))
        relative = os.path.relpath(png, os.path.dirname(os.path.abspath(args.markdown)))
        lines += ["", f"![{workload}]({relative})"]
    lines += cache_lines(args.lines, args.lines_before)
    with open(args.markdown, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
