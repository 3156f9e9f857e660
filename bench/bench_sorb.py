"""Speed of sorb's pack and unpack on messages of several schemas and
shapes, against msgspec (typed and untyped), marshal, msgpack, pickle
(protocol 5) and json on the same content.

    python bench/bench_sorb.py [--quick] [--only NAME ...] [--ops pack,unpack]

From the messaging schema of tests/data: small (~100 B, one method call),
typical (~1 KB, a page of history with users and a group) and large (~64 KB,
a long page). From the chat schema of bench/chat_schema.py: chat-small (one
message, one user), chat-medium (20 messages, 5 users, ~2.8 KB) and
chat-large (400 messages, 100 users, ~45 KB). From bench/shapes_schema.py,
five shapes at ~200 B, ~3 KB and ~50 KB: objects of many optional fields,
vectors of small objects, long strings and byte strings, a tree of nested
objects, vectors of ints and longs. From the large generated schema of
bench/api_schema.py, at the same sizes: wide constructors with a few values
present, with the keys in schema order, in random order and as unpack
returns them (every key), and a history page built as programs build one
(optional keys added last). Every codec runs in this process on the
same dict; json gets a copy whose bytes values are latin-1 text of the same
length, as it has no bytes type. msgspec-typed encodes Structs that mirror
the schema (bench/typed_peer.py: tagged by "_", array_like, so it too
writes no keys) and decodes them back to Structs; msgspec packs and unpacks
the dicts themselves with msgpack. Each
figure is the median over several timed repeats after a warm-up, with the
garbage collector on, as in normal use; the codecs take turns within each
repeat. Ratios are peer time / sorb time:
above 1 means sorb is faster.

`run()` returns the measurements as a list of dicts for other tools.
"""
import argparse
import gc
import json
import marshal
import os
import pickle
import statistics
import sys
import timeit

import msgpack
import msgspec

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, HERE)
import api_schema  # noqa: E402
import chat_schema  # noqa: E402
import rpc_schema  # noqa: E402
import shapes_schema  # noqa: E402
from typed_peer import SchemaStructs  # noqa: E402
from Vorlan.sorb import SorbParser  # noqa: E402

# (name, schema, builder); each schema gets one parser.
MESSAGES = (("small", rpc_schema.schema_json, rpc_schema.small_message),
            ("typical", rpc_schema.schema_json, rpc_schema.typical_message),
            ("large", rpc_schema.schema_json, rpc_schema.large_message),
            ("chat-small", chat_schema.schema_json, chat_schema.small_message),
            ("chat-medium", chat_schema.schema_json, chat_schema.medium_message),
            ("chat-large", chat_schema.schema_json, chat_schema.large_message)) + tuple(
    (name, shapes_schema.schema_json, build) for name, build in shapes_schema.SHAPES) + tuple(
    (name, api_schema.schema_json, build) for name, build in api_schema.SHAPES)
CODECS = ("sorb", "msgspec-typed", "msgspec", "marshal", "msgpack", "pickle", "json")
# The general-purpose binary serializers that sorb has to beat.
BINARY_PEERS = ("marshal", "msgpack", "pickle")
# The fastest serializer for Python, with and without the schema.
MSGSPEC_PEERS = ("msgspec-typed", "msgspec")
OPS = ("pack", "unpack", "round trip")


def _jsonable(value):
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_jsonable(v) for v in value]
    return value


def _as_unpacked(schema, value):
    """The dict that sorb's unpack gives for value."""
    return api_schema.as_unpacked(value) if schema is api_schema.schema_json else value


def _codecs(parser, structs):
    """name -> (how the message is given to it, value -> (pack, unpack))."""
    def pickle_dumps(value):
        return pickle.dumps(value, protocol=5)

    def fixed(pack, unpack):
        return lambda value: (pack, unpack)

    def typed(value):
        encoder, decoder = structs.codec(value)
        return encoder.encode, decoder.decode

    untyped_decoder = msgspec.msgpack.Decoder()
    return {
        "sorb": (lambda m: m, fixed(parser.pack, parser.unpack)),
        "msgspec-typed": (structs.from_dict, typed),
        "msgspec": (lambda m: m, fixed(msgspec.msgpack.encode, untyped_decoder.decode)),
        "marshal": (lambda m: m, fixed(marshal.dumps, marshal.loads)),
        "msgpack": (lambda m: m, fixed(msgpack.packb, msgpack.unpackb)),
        "pickle": (lambda m: m, fixed(pickle_dumps, pickle.loads)),
        "json": (_jsonable, fixed(json.dumps, json.loads)),
    }


def _round_trip(pack, unpack):
    def both(value):
        return unpack(pack(value))
    return both


def _timer(function, argument, min_time):
    """A timer of function(argument) and a loop count that makes one timed
    run last about min_time, so the clock's resolution does not matter."""
    timer = timeit.Timer("f(a)", setup="gc.enable()",
                         globals={"f": function, "a": argument, "gc": gc})
    number = 1
    while (seconds := timer.timeit(number)) < min_time / 8:
        number *= 4
    return timer, max(1, round(number * min_time / seconds))


def run(repeats=9, min_time=0.04, only=None, ops=OPS):
    """One dict per (message, op, codec): the wire size in bytes and the
    median and best time per call in us. The codecs of one (message, op)
    take turns within every repeat, so a noisy moment on a shared machine
    falls on all of them alike rather than on one. `only` limits the run
    to the messages named."""
    parsers = {}
    rows = []
    for message_name, schema, build in MESSAGES:
        if only and message_name not in only:
            continue
        if schema not in parsers:
            parsers[schema] = (SorbParser(schema()), SchemaStructs(schema()))
        codecs = _codecs(*parsers[schema])
        message = build()
        work = {}
        for codec in CODECS:
            prepare, make = codecs[codec]
            value = prepare(message)
            pack, unpack = make(value)
            data = pack(value)
            # sorb gives back every parameter, absent ones as None or False.
            expected = _as_unpacked(schema, value) if codec == "sorb" else value
            assert unpack(data) == expected, f"{codec} does not round-trip the {message_name} message"
            work[codec] = (len(data), {"pack": (pack, value), "unpack": (unpack, data),
                                       "round trip": (_round_trip(pack, unpack), value)})
        for op in ops:
            timers = {c: _timer(*work[c][1][op], min_time) for c in CODECS}
            for timer, number in timers.values():
                timer.timeit(number)  # warm-up: caches, buffers, allocator pools
            samples = {c: [] for c in CODECS}
            for _ in range(repeats):
                for codec, (timer, number) in timers.items():
                    samples[codec].append(timer.timeit(number) / number)
            for codec in CODECS:
                rows.append({"message": message_name, "bytes": work[codec][0], "codec": codec,
                             "op": op, "us": statistics.median(samples[codec]) * 1e6,
                             "best_us": min(samples[codec]) * 1e6})
    return rows


def ratios(rows):
    """Per (message, op): peer time / sorb time for each peer."""
    sorb = {(r["message"], r["op"]): r["us"] for r in rows if r["codec"] == "sorb"}
    return {(r["message"], r["op"], r["codec"]): r["us"] / sorb[r["message"], r["op"]]
            for r in rows if r["codec"] != "sorb"}


def best_peer(rows, peers=BINARY_PEERS):
    """Per (message, op): (fastest of the peers, its time / sorb time)."""
    ratio = ratios(rows)
    keys = {(r["message"], r["op"]) for r in rows}
    return {k: min(((c, ratio[k + (c,)]) for c in peers if k + (c,) in ratio),
                   key=lambda x: x[1]) for k in keys}


def format_table(rows):
    by_key = {(r["message"], r["op"], r["codec"]): r for r in rows}
    ratio = ratios(rows)
    peers = [c for c in CODECS if c != "sorb"]
    names = [m for m, _, _ in MESSAGES if (m, rows[0]["op"], "sorb") in by_key]
    ops = [op for op in OPS if (names[0], op, "sorb") in by_key]
    lines = ["sizes in bytes: " + "; ".join(
        f"{m}: " + ", ".join(f"{c} {by_key[m, ops[0], c]['bytes']}" for c in CODECS)
        for m in names), ""]
    header = f"{'message':15} {'op':10} " + " ".join(f"{c[:9] + ' us':>12}" for c in CODECS) + \
        "  " + " ".join(f"{c[:9] + '/sorb':>14}" for c in peers)
    lines += [header, "-" * len(header)]
    for message in names:
        for op in ops:
            times = " ".join(f"{by_key[message, op, c]['us']:12.3f}" for c in CODECS)
            rel = " ".join(f"{ratio[message, op, c]:14.2f}" for c in peers)
            lines.append(f"{message:15} {op:10} {times}  {rel}")
    return "\n".join(lines)


def main(argv=None):
    args = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    args.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    args.add_argument("--json", action="store_true", help="print the rows as JSON")
    args.add_argument("--only", nargs="*", help="these messages only")
    args.add_argument("--ops", default=",".join(OPS), help="comma-separated operations")
    options = args.parse_args(argv)
    ops = tuple(options.ops.split(","))
    rows = run(repeats=3, min_time=0.01, only=options.only, ops=ops) if options.quick else \
        run(only=options.only, ops=ops)
    print(json.dumps(rows, indent=1) if options.json else format_table(rows))


if __name__ == "__main__":
    main()
