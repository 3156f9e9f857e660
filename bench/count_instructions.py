"""Instructions per call of sorb's pack and unpack, and of msgspec (on the
same dicts, untyped), on every message of bench_sorb.py, counted by
callgrind: a count that the other programs of a shared machine do not
disturb, so that two builds can be compared run against run.

    python bench/count_instructions.py [--only NAME ...] [--codecs sorb,msgspec]
                                       [--path DIR] [--json]

One process under callgrind builds every message, then runs each (message,
op, codec) as one segment of many calls, between two marker calls at which
callgrind zeroes and dumps its counters. A segment's count over its calls,
less that of a call to a no-op builtin (the loop itself), is the figure.
The collector is off during segments, so unpack's figures leave out its
passes. --path puts a folder first on sys.path: a Vorlan package of another
build, to count it with the same messages.
"""
import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# Markers: C functions that Python itself never calls (os.getppid and
# os.getpgrp call them).
ZERO_AT, DUMP_AT = "getppid", "getpgrp"
# Each segment runs about this many seconds (under callgrind), at least
# MIN_CALLS calls.
BUDGET_SECONDS, MIN_CALLS, MAX_CALLS = 0.4, 5, 5000


def inner(only, codecs, labels_path):
    import collections
    import gc
    import itertools
    import time

    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
    sys.path.insert(0, HERE)
    import msgspec

    import bench_sorb
    from Vorlan.sorb import SorbParser

    zero, dump = os.getppid, os.getpgrp
    parsers = {}
    work = []  # (message, op, codec, function, argument)
    for name, schema, build in bench_sorb.MESSAGES:
        if only and name not in only:
            continue
        if schema not in parsers:
            parsers[schema] = SorbParser(schema())
        parser, value = parsers[schema], build()
        sides = {"sorb": (parser.pack, parser.unpack),
                 "msgspec": (msgspec.msgpack.encode, msgspec.msgpack.Decoder().decode)}
        for codec in codecs:
            pack, unpack = sides[codec]
            work += [(name, "pack", codec, pack, value), (name, "unpack", codec, unpack, pack(value))]
    work.insert(0, ("loop", "call", "none", bool, None))

    labels = []
    gc.disable()
    for message, op, codec, function, argument in work:
        for _ in range(3):
            function(argument)
        start = time.perf_counter()
        function(argument)
        once = time.perf_counter() - start
        calls = max(MIN_CALLS, min(MAX_CALLS, int(BUDGET_SECONDS / max(once, 1e-9))))
        gc.collect()
        zero()
        collections.deque(map(function, itertools.repeat(argument, calls)), maxlen=0)
        dump()
        labels.append({"message": message, "op": op, "codec": codec, "calls": calls})
    with open(labels_path, "w") as f:
        json.dump(labels, f)


def totals(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise ValueError(f"no totals in {path}")


def count(only=None, codecs=("sorb", "msgspec"), path=None, python=sys.executable):
    """One dict per (message, op, codec): instructions per call."""
    with tempfile.TemporaryDirectory() as tmp:
        labels_path = os.path.join(tmp, "labels.json")
        out = os.path.join(tmp, "cg.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        if path:
            env["PYTHONPATH"] = os.pathsep.join([path] + env.get("PYTHONPATH", "").split(os.pathsep))
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                   f"--zero-before={ZERO_AT}", f"--dump-before={DUMP_AT}",
                   python, os.path.abspath(__file__), "--inner", labels_path,
                   "--codecs", ",".join(codecs)] + (["--only", *only] if only else [])
        subprocess.run(command, check=True, env=env, stderr=subprocess.DEVNULL)
        with open(labels_path) as f:
            labels = json.load(f)
        # Dumps are numbered from 1 in the order they were made; the last
        # file (no number) is the rest of the run.
        dumps = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        if len(dumps) != len(labels):
            raise RuntimeError(f"{len(dumps)} dumps for {len(labels)} segments")
        per_call = [totals(d) / label["calls"] for d, label in zip(dumps, labels)]
    loop = per_call[0]
    return [dict(label, instructions=round(n - loop)) for label, n in zip(labels[1:], per_call[1:])]


def format_table(rows):
    by = {(r["message"], r["op"], r["codec"]): r["instructions"] for r in rows}
    codecs = sorted({r["codec"] for r in rows}, key=("sorb", "msgspec").index)
    lines = [f"{'message':22} {'op':7} " + " ".join(f"{c:>12}" for c in codecs) +
             ("   msgspec/sorb" if len(codecs) == 2 else "")]
    for message, op in dict.fromkeys((r["message"], r["op"]) for r in rows):
        counts = [by[message, op, c] for c in codecs]
        ratio = f"   {counts[1] / counts[0]:13.2f}" if len(codecs) == 2 else ""
        lines.append(f"{message:22} {op:7} " + " ".join(f"{n:12,}" for n in counts) + ratio)
    return "\n".join(lines)


def main(argv=None):
    args = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    args.add_argument("--only", nargs="*", help="these messages only")
    args.add_argument("--codecs", default="sorb,msgspec", help="comma-separated: sorb, msgspec")
    args.add_argument("--path", help="a folder put first on sys.path (another build's package)")
    args.add_argument("--json", action="store_true", help="print the rows as JSON")
    args.add_argument("--inner", help=argparse.SUPPRESS)
    options = args.parse_args(argv)
    codecs = tuple(options.codecs.split(","))
    if options.inner:
        inner(options.only, codecs, options.inner)
        return
    rows = count(options.only, codecs, options.path)
    print(json.dumps(rows, indent=1) if options.json else format_table(rows))


if __name__ == "__main__":
    main()
