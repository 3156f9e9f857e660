"""What users get against what the benchmarks measure: Vorlan's own figures
of bench_ciphex and bench_sorb on the installed cp314 x86_64 wheel (GCC 10,
static C++ runtime) beside the development build (the build root's GCC),
on the same interpreter, in one run.

    python bench/bench_wheel.py --wheel VENV/bin/python --dev VENV/bin/python
                                [--rounds N] [--quick] [--write docs/benchmarks.md]

A module can be imported once per process, so each build runs in processes
of its own: in every round one process of each, in alternating order, runs
both benchmarks; a figure is the median over the rounds of each process's
median. The peers' figures of those benchmarks are measured too (they are
part of their runs) but left out here. A row where the wheel takes more
than 5% longer is marked: a fault to mend. `make bench-wheel` runs it.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SECTION = "## The wheel against the development build"
SLOWER = 1.05


def child(quick):
    """One process's figures: {row name: seconds per unit of work}."""
    sys.path.insert(0, HERE)
    import Vorlan
    import bench_ciphex
    import bench_sorb
    figures = {}
    for r in bench_ciphex.run(quick=quick):
        if r["impl"] != "Vorlan":
            continue
        size = bench_ciphex._size(r["size"])
        if r["group"] == "per-call":
            figures[f"ciphex {r['mode']} {size}, {r['variant']}"] = r["seconds"]
        elif r["group"] == "throughput":
            figures[f"ciphex {r['mode']} {size}"] = r["seconds"]
        else:
            figures[f"ciphex {r['mode']} {size} x {r['threads']} threads"] = 1 / r["mb_per_s"]
    repeats, min_time = (3, 0.01) if quick else (5, 0.02)
    for r in bench_sorb.run(repeats=repeats, min_time=min_time, ops=("pack", "unpack")):
        if r["codec"] == "sorb":
            figures[f"sorb {r['op']} {r['message']}"] = r["us"] / 1e6
    return {"module": Vorlan.__file__, "backend": Vorlan.ciphex.backend(), "figures": figures}


def measure(pythons, rounds, quick):
    runs = {name: [] for name in pythons}
    for i in range(rounds):
        order = list(pythons) if i % 2 == 0 else list(reversed(pythons))
        for name in order:
            print(f"round {i + 1}/{rounds}: {name}", file=sys.stderr, flush=True)
            out = subprocess.run([pythons[name], os.path.abspath(__file__), "--child"]
                                 + (["--quick"] if quick else []),
                                 check=True, capture_output=True, text=True, cwd="/").stdout
            runs[name].append(json.loads(out))
    return runs


def table(runs):
    dev, wheel = runs["development"], runs["wheel"]
    names = list(dev[0]["figures"])
    rows = []
    for name in names:
        d = statistics.median(r["figures"][name] for r in dev)
        w = statistics.median(r["figures"][name] for r in wheel)
        rows.append((name, d, w, w / d))
    return rows


def unit(name, seconds):
    if "threads" in name:
        return f"{1 / seconds:.0f} MB/s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.0f} ns"


def cpu_model():
    with open("/proc/cpuinfo") as f:
        found = re.search(r"model name\s*:\s*(.*)", f.read())
    return found.group(1).strip() if found else "unknown"


def markdown(runs, rows, rounds):
    dev, wheel = runs["development"][0], runs["wheel"][0]
    slower = [r for r in rows if r[3] > SLOWER]
    lines = [SECTION, "",
             "Written by `make bench-wheel` (bench/bench_wheel.py). Vorlan's own figures of "
             "the two benchmarks above on the cp314 x86_64 wheel as users install it (built by "
             "`make wheels` with Debian 11's GCC 10, the C++ runtime linked in) against the "
             "development build (the build root's GCC), both on the build root's CPython "
             f"{sys.version.split()[0]}, {rounds} rounds of one process per build taking turns; "
             "each figure is the median over the rounds. Time per call (MB/s for the thread "
             "rows); wheel/dev above 1 means the wheel is slower.", "",
             f"- CPU: {cpu_model()}, {os.cpu_count()} cores (shared machine); ciphex backend "
             f"`{wheel['backend']}` in both", ""]
    lines += ["| figure | development | wheel | wheel/dev |", "|---|---:|---:|---:|"]
    for name, d, w, ratio in rows:
        mark = " **slower**" if ratio > SLOWER else ""
        lines.append(f"| {name} | {unit(name, d)} | {unit(name, w)} | {ratio:.3f}{mark} |")
    ratios = [r[3] for r in rows]
    lines += ["", f"Median wheel/dev over the {len(rows)} figures: "
              f"{statistics.median(ratios):.3f}; {len(slower)} figure(s) more than "
              f"{(SLOWER - 1) * 100:.0f}% slower.", ""]
    return "\n".join(lines)


def write_section(path, text):
    with open(path) as f:
        doc = f.read()
    start = doc.find(SECTION)
    if start < 0:
        doc = doc.rstrip("\n") + "\n\n" + text
    else:
        end = doc.find("\n## ", start + len(SECTION))
        doc = doc[:start] + text + ("" if end < 0 else "\n" + doc[end + 1:])
    with open(path, "w") as f:
        f.write(doc)


def main(argv=None):
    args = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    args.add_argument("--wheel", help="python of a venv with the wheel installed")
    args.add_argument("--dev", help="python of a venv with the development build installed")
    args.add_argument("--rounds", type=int, default=5)
    args.add_argument("--quick", action="store_true", help="shorter runs")
    args.add_argument("--write", help="put the table into this markdown file, as its own section")
    args.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    options = args.parse_args(argv)
    if options.child:
        print(json.dumps(child(options.quick)))
        return 0
    # Absolute, but not resolved: a venv's python is a link out of the venv.
    runs = measure({"development": os.path.abspath(options.dev),
                    "wheel": os.path.abspath(options.wheel)}, options.rounds, options.quick)
    modules = {name: r[0]["module"] for name, r in runs.items()}
    assert modules["development"] != modules["wheel"], modules
    rows = table(runs)
    text = markdown(runs, rows, options.rounds)
    print(text)
    print("\n".join(f"{name}: {path}" for name, path in modules.items()), file=sys.stderr)
    if options.write:
        write_section(options.write, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
