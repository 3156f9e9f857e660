"""What a large schema costs before the first message: compile time against
json.loads of the same text, the memory one compiled parser holds against
the size of its text, and the first pack and unpack after compiling against
later ones.

    python bench/bench_schema.py [--quick] [--json]

Schemas: the generated API schema of bench/api_schema.py (about 2,500
entries) and the messaging schema of tests/data. Times are medians of
rounds in which json.loads and SorbParser take turns, with the collector
on. Memory is measured in fresh processes: the heap bytes in use that a
parser adds (every allocation through malloc, PYTHONMALLOC=malloc, as glibc's
mallinfo2 counts them), and the resident size that eight more parsers add,
per parser. The first-call figures are medians over fresh parsers of the
first pack (then the first unpack) of a small message, against the median
of later calls.
"""
import argparse
import ctypes
import gc
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, HERE)
import api_schema  # noqa: E402
import rpc_schema  # noqa: E402
from Vorlan.sorb import SorbParser  # noqa: E402

# (name, schema text, the small message packed and unpacked first)
SCHEMAS = (("api", api_schema.schema_json, dict(api_schema.SHAPES)["history-small"]),
           ("rpc", rpc_schema.schema_json, rpc_schema.small_message))
MORE_PARSERS = 8


def _counts(schema):
    data = json.loads(schema)
    entries = data.get("constructors", []) + data.get("methods", [])
    return len(entries), sum(len(e.get("params", [])) for e in entries)


def compile_times(schema, rounds):
    """Median seconds of json.loads(schema) and of SorbParser(schema)."""
    loads, parser = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        json.loads(schema)
        loads.append(time.perf_counter() - start)
        start = time.perf_counter()
        SorbParser(schema)
        parser.append(time.perf_counter() - start)
    return statistics.median(loads), statistics.median(parser)


def first_calls(schema, build, parsers):
    """Median seconds of the first pack and first unpack on fresh parsers,
    and of later ones."""
    message = build()
    first_pack, first_unpack, later_pack, later_unpack = [], [], [], []
    for _ in range(parsers):
        parser = SorbParser(schema)
        start = time.perf_counter()
        data = parser.pack(message)
        first_pack.append(time.perf_counter() - start)
        start = time.perf_counter()
        parser.unpack(data)
        first_unpack.append(time.perf_counter() - start)
        for _ in range(20):
            start = time.perf_counter()
            parser.pack(message)
            later_pack.append(time.perf_counter() - start)
            start = time.perf_counter()
            parser.unpack(data)
            later_unpack.append(time.perf_counter() - start)
    return tuple(statistics.median(s) for s in (first_pack, first_unpack, later_pack, later_unpack))


def _heap_in_use():
    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = Mallinfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def _resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(name):
    """In a fresh process: heap bytes and resident bytes per parser."""
    schema = dict((n, s) for n, s, _ in SCHEMAS)[name]()
    keep = [SorbParser(schema)]  # a first one, so later ones meet warm pools
    del keep[:]
    gc.collect()
    before = _heap_in_use()
    keep.append(SorbParser(schema))
    gc.collect()
    heap = _heap_in_use() - before
    before = _resident()
    keep += [SorbParser(schema) for _ in range(MORE_PARSERS)]
    gc.collect()
    resident = (_resident() - before) / MORE_PARSERS
    print(json.dumps({"heap": heap, "resident": resident}))


def memory(name):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", name],
                         check=True, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONMALLOC="malloc")).stdout
    heap = json.loads(out)["heap"]
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", name],
                         check=True, capture_output=True, text=True).stdout
    return heap, json.loads(out)["resident"]


def run(quick=False):
    rows = []
    for name, schema_json, build in SCHEMAS:
        schema = schema_json()
        entries, params = _counts(schema)
        loads, compile_time = compile_times(schema, 5 if quick else 21)
        first_pack, first_unpack, pack, unpack = first_calls(schema, build, 5 if quick else 15)
        heap, resident = memory(name)
        rows.append({"schema": name, "entries": entries, "params": params,
                     "text_bytes": len(schema.encode()), "loads_s": loads, "compile_s": compile_time,
                     "heap_bytes": heap, "resident_bytes": resident,
                     "first_pack_s": first_pack, "first_unpack_s": first_unpack,
                     "pack_s": pack, "unpack_s": unpack})
    return rows


def format_table(rows):
    lines = []
    for r in rows:
        lines += [
            f"{r['schema']}: {r['entries']} entries, {r['params']} parameters, "
            f"{r['text_bytes'] / 1024:.0f} KiB of text",
            f"  compile {r['compile_s'] * 1e3:.1f} ms, json.loads {r['loads_s'] * 1e3:.1f} ms: "
            f"{r['compile_s'] / r['loads_s']:.2f}x",
            f"  parser heap {r['heap_bytes'] / 1024:.0f} KiB ({r['heap_bytes'] / r['text_bytes']:.2f}x "
            f"the text), resident {r['resident_bytes'] / 1024:.0f} KiB "
            f"({r['resident_bytes'] / r['text_bytes']:.2f}x)",
            f"  first pack {r['first_pack_s'] * 1e6:.1f} us, later {r['pack_s'] * 1e6:.2f} us; "
            f"first unpack {r['first_unpack_s'] * 1e6:.1f} us, later {r['unpack_s'] * 1e6:.2f} us"]
    return "\n".join(lines)


def main(argv=None):
    args = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    args.add_argument("--quick", action="store_true", help="fewer rounds")
    args.add_argument("--json", action="store_true", help="print the rows as JSON")
    args.add_argument("--memory-child", help=argparse.SUPPRESS)
    options = args.parse_args(argv)
    if options.memory_child:
        memory_child(options.memory_child)
        return
    rows = run(options.quick)
    print(json.dumps(rows, indent=1) if options.json else format_table(rows))


if __name__ == "__main__":
    main()
