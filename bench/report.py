"""Runs every benchmark in bench/ and writes docs/benchmarks.md with charts.

    python bench/report.py [--quick] [--native PATH_TO_ciphex_bench]

All figures of one table come from the same run on the same machine, ours
beside the peer's, so the ratios hold even where the absolute figures drift
on a shared machine. Each benchmark warms up, uses fixed inputs and reports
the median of several repeats.
"""
import argparse
import datetime
import json
import os
import platform
import re
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, LogLocator, NullLocator  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DOCS = os.path.join(ROOT, "docs")
sys.path.insert(0, HERE)

import bench_ciphex  # noqa: E402
import bench_schema  # noqa: E402
import bench_sorb  # noqa: E402
import count_instructions  # noqa: E402
from Vorlan import ciphex  # noqa: E402


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def size_label(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB" if n >= 1 << 10 else f"{n} B"


def md_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def plain_number(value, _pos=None):
    return f"{value:,.0f}" if value >= 1 else f"{value:g}"


def label_log_axes(ax, sizes):
    """Log-log axes whose x ticks are the measured sizes, named, and whose y
    ticks (1, 2, 5 per decade) all carry a plain number."""
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.xaxis.set_major_locator(NullLocator())
    ax.xaxis.set_minor_locator(NullLocator())
    ax.set_xticks(sorted(sizes), [size_label(n) for n in sorted(sizes)], fontsize=8)
    ax.yaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_minor_locator(NullLocator())
    ax.yaxis.set_major_formatter(FuncFormatter(plain_number))
    ax.grid(True, which="major", alpha=0.3)


def save_chart(fig, path):
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---- native AES core against libcrypto -------------------------------------------

NATIVE_ROW = re.compile(r"^(\S+)\s+(.+?)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s*$")


BASELINE = os.path.join(HERE, "native_baseline.txt")


def parse_native(out):
    rows = []
    for line in out.splitlines():
        match = NATIVE_ROW.match(line)
        if match:
            mode, peer, size, ours, theirs, ratio = match.groups()
            rows.append({"mode": mode, "peer": peer, "size": int(size), "ours": float(ours),
                         "peer_mb_s": float(theirs), "ratio": float(ratio)})
    return rows


def run_native(binary, repeats, env_extra):
    env = dict(os.environ, **env_extra)
    out = subprocess.run([binary, str(repeats)], capture_output=True, text=True, check=True,
                         env=env).stdout
    return out.splitlines()[0], parse_native(out)


def baseline_section(rows):
    """This run's AES-NI ratios beside those of the core before the wide AES
    paths (bench/native_baseline.txt: the same bench, AES-NI one block width)."""
    if not os.path.exists(BASELINE):
        return []
    with open(BASELINE) as f:
        text = f.read()
    before = {(r["mode"], r["peer"], r["size"]): r["ratio"] for r in parse_native(text)}
    now = {(r["mode"], r["peer"], r["size"]): r["ratio"] for r in rows}
    table = []
    for (mode, peer, size), old in before.items():
        if (mode, peer, size) not in now or mode not in ("ctr", "cbc-dec"):
            continue
        narrow = now.get((mode + "@128", peer, size))
        table.append((mode, peer, size_label(size), f"{old:.2f}", f"{now[mode, peer, size]:.2f}",
                      f"{narrow:.2f}" if narrow is not None else "-"))
    return ["### CTR and CBC decryption before and after the wide AES paths", "",
            "Ratio to OpenSSL in each run. Before: the core with 128-bit AES-NI only "
            f"(`{text.splitlines()[0].strip()}`, kept in bench/native_baseline.txt); now: the "
            "width the process chose, and the 128-bit routines alone.", "",
            md_table(["mode", "peer", "size", "before", "now", "now at 128 bits"], table), ""]


def native_section(binary, repeats, chart_path):
    parts = ["## ciphex native core against OpenSSL's libcrypto", "",
             "Throughput in MB/s (10^6 bytes per second) of one call over a buffer already in "
             "cache; ratio = ours / peer. CBC decryption and CTR run in place. Rows `mode@bits` "
             "run the AES-NI routines at another width than the one the process chose (see the "
             "heading of each run).", "",
             "What each comparison means:", "",
             "- `EVP aes-256-cbc enc` / `dec`, `EVP aes-256-ctr`: OpenSSL's own accelerated code, "
             "the fair peer. IGE encryption is compared with EVP CBC encryption too: both are one "
             "dependent AES step per block, so about 1.0x is the limit there.",
             "- `AES_ige_encrypt`: OpenSSL's only IGE, a legacy function that never uses AES-NI "
             "(table code). The large ratios against it say how slow it is, not how fast we are.",
             "- In the software run, OpenSSL's AES-NI and SSSE3 code is masked off, so both sides "
             "run table-driven AES.", ""]
    runs = [("AES-NI backend against OpenSSL with AES-NI", {}),
            ("Software backend against OpenSSL's table-driven code (AES-NI and SSSE3 masked)",
             {"CIPHEX_BACKEND": "soft", "OPENSSL_ia32cap": "~0x200020200000000"})]
    charts = []  # (rows, backend) of each run, the machine's own choice first
    for title, env in runs:
        heading, rows = run_native(binary, repeats, env)
        backend = re.search(r"ciphex backend: ([^\s,]+)", heading)
        charts.append((rows, backend.group(1) if backend else "default"))
        extra = baseline_section(rows) if len(charts) == 1 else []
        parts += [f"### {title}", "", f"`{heading.strip()}`", "",
                  md_table(["mode", "peer", "size", "ours MB/s", "peer MB/s", "ratio"],
                           [(r["mode"], r["peer"], size_label(r["size"]), f"{r['ours']:.0f}",
                             f"{r['peer_mb_s']:.0f}", f"{r['ratio']:.2f}") for r in rows]), ""]
        parts += extra
    native_chart(charts, chart_path)
    parts += [f"![native core against libcrypto]({os.path.basename(chart_path)})", ""]
    return parts


def native_chart(runs, path):
    """The core against libcrypto's EVP code, one panel per backend. A peer
    that stands beside two of our modes (EVP CBC encryption for CBC and IGE)
    is drawn once."""
    fig, axes = plt.subplots(1, len(runs), figsize=(6.5 * len(runs), 5), squeeze=False)
    for ax, (rows, backend) in zip(axes[0], runs):
        evp = [r for r in rows if r["peer"].startswith("EVP") and "@" not in r["mode"]]
        modes = sorted({r["mode"] for r in evp})
        peers = sorted({r["peer"] for r in evp})
        for index, mode in enumerate(modes):
            points = sorted((r["size"], r["ours"]) for r in evp if r["mode"] == mode)
            ax.plot(*zip(*points), "-", color=f"C{index}", marker="o", label=f"ciphex {mode}")
        for index, peer in enumerate(peers):
            points = sorted({r["size"]: r["peer_mb_s"] for r in evp if r["peer"] == peer}.items())
            ax.plot(*zip(*points), ":", color="0.35", marker=["x", "+", "1", "2"][index % 4],
                    markersize=8, label=f"OpenSSL {peer}")
        label_log_axes(ax, {r["size"] for r in evp})
        ax.set_xlabel("buffer size")
        ax.set_ylabel("MB/s")
        ax.set_title(f"{backend} backend")
        ax.legend(fontsize=7)
    fig.suptitle("ciphex native core against OpenSSL libcrypto (EVP)")
    save_chart(fig, path)


# ---- ciphex Python API against python3-cryptography --------------------------------

def ciphex_section(rows):
    parts = ["## ciphex Python API against python3-cryptography (OpenSSL)", "",
             "Per message, cryptography pays for a fresh context (`Cipher(...).encryptor()` "
             "plus update/finalize), which is what its users pay per protocol message; ours is "
             "one call on an existing object, and the second figure includes building the "
             "object per message. cryptography has no IGE: IGE rows compare with its CBC.", ""]
    per = {}
    for r in rows:
        if r["group"] == "per-call":
            per.setdefault((r["mode"], r["size"]), {})[r["impl"] + r["variant"]] = r["seconds"]
    table = []
    for (mode, size), v in per.items():
        ours, new = v["Vorlanexisting object"], v["Vorlanobject per message"]
        peer = next(t for k, t in v.items() if k.startswith("cryptography"))
        table.append((mode, size_label(size), f"{ours * 1e9:.0f}", f"{new * 1e9:.0f}",
                      f"{peer * 1e9:.0f}", f"{peer / ours:.1f}x", f"{peer / new:.1f}x"))
    parts += ["### Small messages, ns per message", "",
              md_table(["mode", "size", "Vorlan", "Vorlan + new object", "cryptography",
                        "ratio", "ratio + new object"], table), ""]
    thr = {}
    for r in rows:
        if r["group"] == "throughput":
            thr.setdefault((r["mode"], r["size"]), {})[r["impl"]] = r["mb_per_s"]
    parts += ["### Large buffers, MB/s", "",
              md_table(["mode", "size", "Vorlan", "cryptography", "ratio"],
                       [(m, size_label(s), f"{v['Vorlan']:.0f}", f"{v['cryptography']:.0f}",
                         f"{v['Vorlan'] / v['cryptography']:.2f}x") for (m, s), v in thr.items()]),
              ""]
    th = {}
    for r in rows:
        if r["group"] == "threads":
            th.setdefault((r["mode"], r["impl"]), {})[r["threads"]] = r["mb_per_s"]
    parts += [f"### Threads, MB/s over {size_label(bench_ciphex.THREAD_CHUNK)} calls", "",
              "Vorlan: one object shared by the threads; cryptography: one CBC context per "
              "thread.", "",
              md_table(["mode", "implementation", "1 thread", "2 threads", "scaling"],
                       [(m, i, f"{v[1]:.0f}", f"{v[2]:.0f}", f"{v[2] / v[1]:.2f}x")
                        for (m, i), v in th.items()]), ""]
    return parts


def ciphex_chart(rows, path):
    """Throughput of one call against message size, ours and the peer's. The
    small messages and the large buffers are separate measurements, so each
    group is its own line: nothing is drawn between them."""
    fig, ax = plt.subplots(figsize=(8, 5))
    sizes = set()
    for mode, marker in (("ctr", "o"), ("cbc-encrypt", "s"), ("ige-encrypt", "^")):
        for impl, color in (("Vorlan", "tab:blue"), ("cryptography", "tab:orange")):
            groups = {"per-call": {}, "throughput": {}}
            for r in rows:
                if r["mode"] != mode or r["impl"] != impl or r["group"] not in groups:
                    continue
                if r["group"] == "per-call" and r["variant"] == "object per message":
                    continue
                groups[r["group"]][r["size"]] = (r["size"] / r["seconds"] / 1e6
                                                 if r["group"] == "per-call" else r["mb_per_s"])
            label = f"{impl} {mode}" + (" (its CBC)" if impl == "cryptography" and mode == "ige-encrypt" else "")
            for points in groups.values():
                if points:
                    sizes |= set(points)
                    ax.plot(sorted(points), [points[s] for s in sorted(points)], "-", color=color,
                            marker=marker, label=label)
                    label = None
    label_log_axes(ax, sizes)
    ax.set_xlabel("message size")
    ax.set_ylabel("MB/s per call, call overhead included")
    ax.set_title(f"ciphex against OpenSSL through python3-cryptography ({ciphex.backend()} backend)")
    ax.legend(fontsize=7)
    save_chart(fig, path)


# ---- sorb against msgspec, marshal, msgpack, pickle and json -----------------------

SORB_BEFORE = os.path.join(HERE, "sorb_before.json")
SCHEMA_BEFORE = os.path.join(HERE, "schema_before.json")
COUNTS_BEFORE = os.path.join(HERE, "counts_before.json")

# Peer time / sorb time that sorb aims at, per op: msgspec with Structs (a
# reference only: None), msgspec on dicts, the fastest of marshal, msgpack
# and pickle.
SORB_TARGETS = {"pack": (None, 1.5, 1.3), "unpack": (None, 1.3, 1.3)}
# A dict's pack time with its keys in random order, at most this much over
# the same dict's in schema order.
KEY_ORDER_TARGET = 1.10


def sorb_ratio_columns(rows, message, op):
    """(msgspec-typed, msgspec, (fastest binary peer, its ratio)) for one
    message and op, or None when the run did not measure it."""
    ratio = bench_sorb.ratios(rows)
    best = bench_sorb.best_peer(rows)
    if (message, op, "msgspec-typed") not in ratio:
        return None
    return ratio[message, op, "msgspec-typed"], ratio[message, op, "msgspec"], best[message, op]


def sorb_section(rows, before=None):
    by = {(r["message"], r["op"], r["codec"]): r for r in rows}
    messages = [m for m, _, _ in bench_sorb.MESSAGES]
    parts = ["## sorb against msgspec, marshal, msgpack, pickle (protocol 5) and json", "",
             "The same content in every codec (json gets bytes values as latin-1 text). "
             "small, typical and large use the messaging schema of tests/data; chat-small "
             "(1 message, 1 user), chat-medium (20 messages, 5 users) and chat-large (400 "
             "messages, 100 users) the chat schema of bench/chat_schema.py; the other shapes, "
             "each at about 200 B, 3 KB and 50 KB, come from bench/shapes_schema.py "
             "(optional: records of twenty conditional fields; points: a vector of small "
             "objects; blobs: long strings and byte strings; tree: a binary tree of nested "
             "objects; numbers: vectors of ints and longs). The last shapes use the generated "
             "2,500-entry schema of bench/api_schema.py, shaped like a messaging API's published "
             "one: wide-* are pages of members and rooms, constructors of 25 to 30 parameters with "
             "3 to 10 present, given with the keys in schema order (wide-schema), the same keys in "
             "random order, \"_\" included (wide-random), and with every key, absent ones None "
             "or False, as unpack returns them (wide-unpacked); history-* are pages of posts with "
             "their senders and rooms built as programs build them, optional keys added after the "
             "others. "
             "msgspec-typed packs Structs that mirror the schema (tagged by \"_\", "
             "array_like: no keys, like sorb) and unpacks into them; msgspec packs and "
             "unpacks the dicts themselves (msgpack). sorb always takes and gives dicts. "
             "Times in µs per call; ratio = peer time / sorb time, above 1 means sorb is "
             "faster. Round trip is `unpack(pack(value))`, one call of each.", "",
             "The cyclic garbage collector stays on while timing, as in a real program: "
             "the dicts and lists that unpacking creates set it off, and its work lands "
             "on whichever call is running, so a round trip need not cost exactly pack "
             "plus unpack, and the large messages' unpack rows vary most from run to run "
             "(the collector's passes also scan the report's own objects, so they cost "
             "more here than in a small program).", "",
             "Wire sizes in bytes: " + "; ".join(
                 f"{m}: " + ", ".join(f"{c} {by[m, 'pack', c]['bytes']}" for c in bench_sorb.CODECS)
                 for m in messages), ""]
    table = []
    for m in messages:
        for op in bench_sorb.OPS:
            table.append([m, op] + [f"{by[m, op, c]['us']:.2f}" for c in bench_sorb.CODECS])
    parts += ["### Time per call", "",
              md_table(["message", "op"] + [f"{c} µs" for c in bench_sorb.CODECS], table), ""]

    table = []
    for m in messages:
        for op in ("pack", "unpack"):
            typed, untyped, (peer, fastest) = sorb_ratio_columns(rows, m, op)
            goals = SORB_TARGETS[op]
            marks = ["" if goal is None or value >= goal else " (below)" for value, goal in
                     zip((typed, untyped, fastest), goals)]
            table.append([m, op, f"{typed:.2f}x{marks[0]}", f"{untyped:.2f}x{marks[1]}",
                          f"{fastest:.2f}x ({peer}){marks[2]}"])
    parts += ["### Ratios against the targets", "",
              "Peer time / sorb time. Targets: pack at least 1.5x msgspec and 1.3x the fastest "
              "of marshal, msgpack and pickle; unpack at least 1.3x and 1.3x. msgspec-typed "
              "(Structs, whose encoder reads slots rather than dicts) is the reference, with no "
              "target. \"(below)\" marks a ratio under its target.", "",
              md_table(["message", "op", "msgspec-typed / sorb", "msgspec / sorb",
                        "fastest binary peer / sorb"], table), ""]
    parts += key_order_section(rows, before)
    if before:
        parts += sorb_before_after(before, rows)
    return parts


def key_order_section(rows, before=None):
    """pack time of the wide shapes in random key order and as unpack gives
    them, over the same content in schema order."""
    def table_of(measured):
        pack = {r["message"]: r["us"] for r in measured if r["codec"] == "sorb" and r["op"] == "pack"}
        return {size: (pack.get(f"wide-schema-{size}"), pack.get(f"wide-random-{size}"),
                       pack.get(f"wide-unpacked-{size}")) for size in ("small", "medium", "large")}
    now = table_of(rows)
    old = table_of(before) if before else {}
    table = []
    for size, (schema, random_order, unpacked) in now.items():
        if schema is None:
            continue
        ratio = random_order / schema
        row = [size, f"{schema:.2f}", f"{random_order:.2f}", f"{unpacked:.2f}",
               f"{ratio:.2f}x" + ("" if ratio <= KEY_ORDER_TARGET else " (over)")]
        if old.get(size, (None,))[0] is not None:
            row.append(f"{old[size][1] / old[size][0]:.2f}x")
        table.append(row)
    header = ["size", "schema order µs", "random order µs", "every key µs", "random / schema"]
    if old:
        header.append("random / schema before")
    return ["### pack and key order", "",
            "The same wide-* content packed with its keys in schema order, in random order and "
            "as unpack gives it (every key). Target: random order at most "
            f"{KEY_ORDER_TARGET:.2f}x schema order.", "", md_table(header, table), ""]


def schema_section(rows, before=None):
    """Compile time, parser memory and first calls of bench_schema.py."""
    old = {r["schema"]: r for r in before or []}
    table = []
    for r in rows:
        b = old.get(r["schema"])

        def pair(now, then, fmt):
            return fmt(now) if then is None else f"{fmt(then)} → {fmt(now)}"

        def get(key):
            return None if b is None else b[key]

        compile_ratio = r["compile_s"] / r["loads_s"]
        table.append([
            r["schema"], f"{r['entries']:,} / {r['params']:,}", f"{r['text_bytes'] / 1024:.0f} KiB",
            pair(compile_ratio, b and b["compile_s"] / b["loads_s"], lambda v: f"{v:.2f}x"),
            pair(r["heap_bytes"] / r["text_bytes"], b and b["heap_bytes"] / b["text_bytes"],
                 lambda v: f"{v:.2f}x"),
            pair(r["resident_bytes"] / r["text_bytes"], b and b["resident_bytes"] / b["text_bytes"],
                 lambda v: f"{v:.2f}x"),
            pair(r["first_pack_s"] / r["pack_s"], get("first_pack_s") and b["first_pack_s"] / b["pack_s"],
                 lambda v: f"{v:.1f}x"),
            pair(r["first_unpack_s"] / r["unpack_s"],
                 get("first_unpack_s") and b["first_unpack_s"] / b["unpack_s"], lambda v: f"{v:.1f}x")])
    detail = []
    for r in rows:
        detail.append([r["schema"], f"{r['compile_s'] * 1e3:.2f}", f"{r['loads_s'] * 1e3:.2f}",
                       f"{r['heap_bytes'] / 1024:.0f}", f"{r['resident_bytes'] / 1024:.0f}",
                       f"{r['first_pack_s'] * 1e6:.1f} / {r['pack_s'] * 1e6:.2f}",
                       f"{r['first_unpack_s'] * 1e6:.1f} / {r['unpack_s'] * 1e6:.2f}"])
    return ["## sorb: compiling a large schema", "",
            "bench/bench_schema.py: the generated API schema of bench/api_schema.py and the "
            "messaging schema of tests/data. Compile time is SorbParser(text) against "
            "json.loads(text), in alternating rounds; memory is what one compiled parser holds, "
            "as heap bytes in use (every allocation through malloc, counted by mallinfo2) and as "
            "resident size (eight more parsers, per parser), against the size of the text; the "
            "first pack and unpack of a small message on a fresh parser against later ones. "
            "Targets: compile within 2x json.loads, a parser no larger than its text. Before → "
            "after where the earlier run (bench/schema_before.json) has the figure.", "",
            md_table(["schema", "entries / parameters", "text", "compile / json.loads",
                      "heap / text", "resident / text", "first pack / later", "first unpack / later"],
                     table), "",
            md_table(["schema", "compile ms", "json.loads ms", "heap KiB", "resident KiB",
                      "pack µs, first / later", "unpack µs, first / later"], detail), ""]


def counts_section(rows, before=None):
    """Instructions per call (callgrind), before and after, with msgspec's."""
    now = {(r["message"], r["op"], r["codec"]): r["instructions"] for r in rows}
    then = {(r["message"], r["op"], r["codec"]): r["instructions"] for r in before or []}
    table = []
    for message, _, _ in bench_sorb.MESSAGES:
        for op in ("pack", "unpack"):
            sorb = now.get((message, op, "sorb"))
            if sorb is None:
                continue
            peer = now.get((message, op, "msgspec"))
            old = then.get((message, op, "sorb"))
            row = [message, op, f"{old:,}" if old else "-", f"{sorb:,}",
                   f"{sorb / old - 1:+.0%}" if old else "-", f"{peer:,}" if peer else "-",
                   f"{peer / old:.2f}x → {peer / sorb:.2f}x" if peer and old else "-"]
            table.append(row)
    return ["## sorb: instructions per call", "",
            "bench/count_instructions.py: callgrind's count of instructions per pack or unpack "
            "(the result's release included, the collector off), which other programs on a "
            "shared machine do not disturb. Before: the tree at the start of this round's work "
            "(bench/counts_before.json); msgspec on the same dicts, untyped, from this run.", "",
            md_table(["message", "op", "sorb before", "sorb now", "change", "msgspec",
                      "msgspec / sorb, before → now"], table), ""]


def sorb_before_after(before, after):
    """Ratios in the run before the speed work against msgspec and in this
    one; each ratio comes from its own run, so the two runs need not have
    the same absolute speed."""
    table = []
    for m, _, _ in bench_sorb.MESSAGES:
        for op in ("pack", "unpack"):
            old, new = sorb_ratio_columns(before, m, op), sorb_ratio_columns(after, m, op)
            if old is None or new is None:
                continue
            row = [m, op]
            for index in range(3):
                pair = [cols[index] if index < 2 else cols[2][1] for cols in (old, new)]
                row.append(f"{pair[0]:.2f}x → {pair[1]:.2f}x")
            table.append(row)
    return ["### sorb before and after this round's work", "",
            "Peer time / sorb time, before → after, each from its own run on this machine "
            "(the earlier run, with this benchmark on the code at the start of the work on "
            "key order and the report's modules loaded as here, is kept in "
            "bench/sorb_before.json).", "",
            md_table(["message", "op", "msgspec-typed / sorb", "msgspec / sorb",
                      "fastest binary peer / sorb"], table), ""]


def sorb_chart(rows, path):
    """Peer time / sorb time for every message, one panel per direction:
    msgspec with Structs, msgspec on dicts and the fastest binary peer,
    with the line of parity."""
    messages = [m for m, _, _ in bench_sorb.MESSAGES]
    fig, axes = plt.subplots(1, 2, figsize=(12, 0.3 * len(messages) + 1.5), sharey=True)
    for ax, op in zip(axes, ("pack", "unpack")):
        columns = [sorb_ratio_columns(rows, m, op) for m in messages]
        series = (("msgspec-typed", [c[0] for c in columns]), ("msgspec", [c[1] for c in columns]),
                  ("fastest of marshal, msgpack, pickle", [c[2][1] for c in columns]))
        height = 0.27
        for index, (label, values) in enumerate(series):
            ax.barh([i + (index - 1) * height for i in range(len(messages))], values, height,
                    color=f"C{index}", label=label)
        ax.axvline(1.0, color="0.2", linewidth=1)
        ax.set_yticks(range(len(messages)), messages, fontsize=8)
        ax.set_xlabel("peer time / sorb time (above 1: sorb faster)")
        ax.set_title(op)
        ax.grid(True, axis="x", alpha=0.3)
    axes[0].invert_yaxis()  # the axis is shared: once puts the first message on top
    fig.legend(*axes[0].get_legend_handles_labels(), loc="lower center", ncol=3, fontsize=8)
    fig.suptitle("sorb against msgspec and the general-purpose serializers, same content")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def load_sorb_before(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def have_valgrind():
    return subprocess.run(["sh", "-c", "command -v valgrind"], capture_output=True).returncode == 0


def thread_scaling(pythons, quick):
    """bench_threads.py's results from each interpreter, in its own process."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bench_threads.py")
    runs = []
    for python in pythons:
        out = subprocess.run([python, script, "--json"] + (["--quick"] if quick else []),
                             check=True, capture_output=True, text=True).stdout
        runs.append(json.loads(out))
    return runs


def thread_scaling_section(runs):
    """One table: MB/s and speed-up over one thread, per interpreter."""
    def key(row):
        return row["layout"], row["size"], row["threads"]

    tables = [{key(r): r["mb_s"] for r in run["rows"]} for run in runs]
    header = ["objects", "size", "threads"]
    for run in runs:
        header += [f"{run['interpreter']} MB/s", "speed-up"]
    rows = []
    for layout, size, threads in sorted(tables[0], key=lambda k: (k[0], k[1], k[2])):
        row = [layout, size_label(size), str(threads)]
        for table in tables:
            mb_s = table[(layout, size, threads)]
            row += [f"{mb_s:.0f}", f"{mb_s / table[(layout, size, 1)]:.2f}x"]
        rows.append(row)
    return ["## ciphex thread scaling on the free-threaded host", "",
            "AesIge256.encrypt from 1..N threads (N = cores), each thread doing the same "
            "work, on objects of their own or on one shared object; speed-up = MB/s over "
            "the same layout's one-thread figure. With the lock, only the cipher work "
            "runs in parallel (ciphex lets the lock go around it); free-threaded, the "
            "argument handling does too.", "", md_table(header, rows), ""]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    parser.add_argument("--native", help="path of the native ciphex_bench binary")
    parser.add_argument("--out", default=DOCS)
    parser.add_argument("--no-counts", dest="counts", action="store_false",
                        help="skip sorb's instruction counts (callgrind, a few minutes)")
    parser.add_argument("--free-threaded", help="a free-threaded interpreter with Vorlan installed, "
                        "for the thread-scaling section")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)

    features = ciphex.features()
    parts = ["# Benchmarks", "",
             "Written by `make bench` (bench/report.py); do not edit by hand.", "",
             f"- date: {datetime.date.today().isoformat()}",
             f"- CPU: {cpu_model()}, {os.cpu_count()} cores (shared machine)",
             f"- Python {platform.python_version()}, ciphex backend `{features['backend']}`, "
             f"AES-NI {'present' if features['aes_ni'] else 'absent'}",
             "- every figure is the median of several repeats after a warm-up; "
             "inputs are fixed", ""]

    print("sorb ...", flush=True)
    sorb_rows = bench_sorb.run(repeats=3 if args.quick else 9)
    parts += sorb_section(sorb_rows, load_sorb_before(SORB_BEFORE))
    sorb_chart(sorb_rows, os.path.join(args.out, "bench_sorb.png"))
    parts += ["![sorb against msgspec and the general-purpose serializers](bench_sorb.png)", ""]

    print("sorb schema compile ...", flush=True)
    parts += schema_section(bench_schema.run(quick=args.quick), load_sorb_before(SCHEMA_BEFORE))
    if args.counts and have_valgrind():
        print("sorb instruction counts (callgrind) ...", flush=True)
        parts += counts_section(count_instructions.count(), load_sorb_before(COUNTS_BEFORE))

    print("ciphex (Python API) ...", flush=True)
    ciphex_rows = bench_ciphex.run(quick=args.quick)
    parts += ciphex_section(ciphex_rows)
    ciphex_chart(ciphex_rows, os.path.join(args.out, "bench_ciphex.png"))
    parts += ["![ciphex throughput against message size](bench_ciphex.png)", ""]

    if args.free_threaded:
        print("ciphex thread scaling ...", flush=True)
        parts += thread_scaling_section(thread_scaling([args.free_threaded, sys.executable],
                                                       args.quick))

    if args.native:
        print("ciphex (native core) ...", flush=True)
        parts += native_section(args.native, 3 if args.quick else 11,
                                os.path.join(args.out, "bench_native.png"))

    with open(os.path.join(args.out, "benchmarks.md"), "w") as f:
        f.write("\n".join(parts))
    print(f"wrote {os.path.join(args.out, 'benchmarks.md')}")


if __name__ == "__main__":
    main()
