"""Hostile input for sorb: random schemas, random bytes for random schemas,
and values whose hooks raise or mutate what is being packed. Every outcome
must be a result or one of the exceptions the module documents; the parser
must stay usable.

HYPOTHESIS_PROFILE=long (as `make fuzz` sets) multiplies the example counts;
VORLAN_FUZZ_SCALE multiplies them further.
"""
import json
import os
import tracemalloc

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Vorlan.sorb import SorbParser, SorbSchemaCompiler

from sorb_examples import HostileValue

SCALE = (20 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 1) * int(
    os.environ.get("VORLAN_FUZZ_SCALE", "1"))


def bounded(examples):
    return settings(max_examples=examples * SCALE, deadline=None, derandomize=SCALE == 1,
                    suppress_health_check=list(HealthCheck))


# What compile may raise for a malformed schema.
COMPILE_ERRORS = (TypeError, AttributeError, KeyError, ValueError, OverflowError,
                  UnicodeEncodeError, RuntimeError)
# What unpack may raise for malformed bytes.
UNPACK_ERRORS = (RuntimeError, ValueError, SystemError, UnicodeDecodeError, RecursionError)
# What pack may raise for wrong values (and whatever a hook raises).
PACK_ERRORS = (TypeError, ValueError, OverflowError, AttributeError, UnicodeEncodeError,
               RuntimeError, RecursionError)

TYPE_TEXTS = ["int", "#", "long", "double", "string", "bytes", "Bool", "true", "Vector<int>",
              "Vector<long>", "Vector<string>", "Vector<Node>", "Vector", "VectorX", "Node",
              "Leaf", "flags.0?int", "flags.1?true", "flags2.3?string", "flags.31?Vector<Node>",
              "flags?int", "x.1?y?z", "a.b.c?int", "flags.x?int", "flags.99999999999?int", "",
              "?", "Vector<Vector<bytes>>", "flags.0?Node"]
NAMES = ["flags", "flags2", "a", "b", "child", "items", "", "_"]
KEYS = ["id", "predicate", "method", "type", "params", "name", "constructors", "methods"]

scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**40, 2**40),
                    st.floats(allow_nan=False), st.sampled_from(TYPE_TEXTS + NAMES),
                    st.text(max_size=6), st.binary(max_size=4))

param = st.one_of(
    st.fixed_dictionaries({"name": st.sampled_from(NAMES), "type": st.sampled_from(TYPE_TEXTS)}),
    st.dictionaries(st.sampled_from(KEYS), scalars, max_size=3),
    scalars)

entry = st.one_of(
    st.fixed_dictionaries({"id": st.integers(0, 6), "predicate": st.sampled_from(["node", "leaf", "x"]),
                           "type": st.sampled_from(["Node", "Leaf", "", "T"]),
                           "params": st.lists(param, max_size=5)}),
    st.dictionaries(st.sampled_from(KEYS), st.one_of(scalars, st.lists(param, max_size=3)),
                    max_size=4),
    scalars)

schemas = st.one_of(
    st.fixed_dictionaries({"constructors": st.lists(entry, max_size=6),
                           "methods": st.lists(entry, max_size=3)}),
    st.dictionaries(st.sampled_from(KEYS), st.one_of(scalars, st.lists(entry, max_size=4)),
                    max_size=3),
    scalars)


def compiled(schema):
    """A parser for the schema, or None when the schema is refused."""
    try:
        return SorbParser(schema)
    except COMPILE_ERRORS:
        return None


@bounded(300)
@given(schema=schemas)
def test_random_schemas_compile_or_fail_cleanly(schema):
    try:
        SorbSchemaCompiler().compile(schema)
    except COMPILE_ERRORS:
        pass
    try:
        text = json.dumps(schema)
    except (TypeError, ValueError):
        return
    try:
        SorbSchemaCompiler().compile(text)
    except COMPILE_ERRORS:
        pass


@bounded(200)
@given(schema=schemas, blobs=st.lists(st.binary(max_size=64), min_size=1, max_size=8))
def test_random_bytes_for_random_schemas(schema, blobs):
    parser = compiled(schema)
    if parser is None:
        return
    for blob in blobs:
        for data in (blob, bytes([blob[0] if blob else 0, 0, 0, 0]) + blob):
            try:
                result = parser.unpack(data)
            except UNPACK_ERRORS:
                continue
            assert isinstance(result, dict) and "_" in result
            # What was read packs again without crashing.
            try:
                parser.pack(result)
            except PACK_ERRORS:
                pass


NODE_SCHEMA = json.dumps({"constructors": [
    {"id": 1, "predicate": "node", "type": "Node", "params": [
        {"name": "flags", "type": "#"},
        {"name": "i", "type": "int"},
        {"name": "l", "type": "long"},
        {"name": "d", "type": "double"},
        {"name": "s", "type": "flags.0?string"},
        {"name": "b", "type": "flags.1?bytes"},
        {"name": "t", "type": "Bool"},
        {"name": "f", "type": "flags.2?true"},
        {"name": "items", "type": "Vector<int>"},
        {"name": "children", "type": "Vector<Node>"},
        {"name": "child", "type": "flags.3?Node"},
    ]},
]})
PARAM_NAMES = ["i", "l", "d", "s", "b", "t", "f", "items", "children", "child"]


class Hook(HostileValue):
    """Raises, or mutates the structure being packed (the enclosing dict or
    list), before answering."""

    def act(self):
        if self.action == "raise":
            raise KeyError("hook")
        target = self.target
        if isinstance(target, dict):
            if self.action == "clear":
                target.clear()
            else:
                target["child"] = {"_": "node"}
                target.pop("items", None)
        elif isinstance(target, list):
            if self.action == "clear":
                target.clear()
            else:
                target.extend([1, 2, 3])

    def items(self):
        return [self.answer] if isinstance(self.answer, int) else []


values = st.one_of(st.none(), st.booleans(), st.integers(-2**65, 2**65), st.floats(),
                   st.text(max_size=5), st.binary(max_size=5), st.lists(st.integers(-3, 3), max_size=3),
                   st.tuples(st.integers(0, 3)), st.just({}), st.just({"_": "node"}),
                   st.just({"_": "nope"}), st.just({"_": 5}))


@st.composite
def hostile_nodes(draw, depth=0):
    node = {"_": draw(st.sampled_from(["node", "node", "node", None, "", "nope"]))}
    for name in draw(st.lists(st.sampled_from(PARAM_NAMES), max_size=6, unique=True)):
        if depth < 2 and name in ("child", "children") and draw(st.booleans()):
            child = draw(hostile_nodes(depth + 1))
            node[name] = [child, draw(hostile_nodes(depth + 1))] if name == "children" else child
        elif draw(st.integers(0, 3)) == 0:
            action = draw(st.sampled_from(["raise", "clear", "grow"]))
            container = [] if name in ("items", "children") else node
            hook = Hook(action, container, draw(st.integers(0, 2)))
            if name in ("items", "children"):
                container.extend([hook, 1, hook])
                node[name] = container
            else:
                node[name] = hook
        else:
            node[name] = draw(values)
    return node


@bounded(400)
@given(node=hostile_nodes())
def test_hostile_values_and_hooks_fail_only_cleanly(node):
    parser = PARSER
    try:
        data = parser.pack(node)
    except PACK_ERRORS + (KeyError,):
        pass
    else:
        assert len(data) % 4 == 0
        result = parser.unpack(data)
        assert result["_"] == "node"
    assert parser.unpack(parser.pack({"_": "node"}))["_"] == "node"


PARSER = SorbParser(NODE_SCHEMA)


# Memory: what unpack allocates is bounded by the input, never by counts or
# lengths that the input merely claims. The widest object of the realistic
# schema (38 parameters, every absent one still a key) costs a few hundred
# bytes per byte of its 8-byte header; a list sized by a claimed count would
# cost gigabytes.
BYTES_PER_INPUT_BYTE = 1024


def realistic():
    import rpc_schema

    parser = SorbParser(rpc_schema.schema_json())
    schema = rpc_schema.schema()
    ids = sorted({e["id"] & 0xFFFFFFFF for e in schema["constructors"] + schema["methods"]})
    return parser, ids


REALISTIC_PARSER, REALISTIC_IDS = realistic()
WORDS = st.one_of(st.sampled_from(REALISTIC_IDS), st.just(0x1CB5C415),
                  st.sampled_from([0, 1, 2, 3, 1000, 1_000_000, 0x00FFFFFE, 0xFFFFFFFF]))
SOUP = st.lists(st.one_of(WORDS.map(lambda w: w.to_bytes(4, "little")), st.binary(max_size=8)),
                min_size=1, max_size=60).map(b"".join)


def peak_of_unpack(data):
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    try:
        result = REALISTIC_PARSER.unpack(data)
    except UNPACK_ERRORS:
        result = None
    peak = tracemalloc.get_traced_memory()[1] - base
    del result
    return peak


@bounded(300)
@given(data=SOUP)
def test_unpack_allocates_in_proportion_to_its_input(data):
    tracemalloc.start()
    try:
        assert peak_of_unpack(data) <= BYTES_PER_INPUT_BYTE * len(data) + 4096
    finally:
        tracemalloc.stop()


def claimed_counts():
    """Sample messages with one vector count replaced by a huge claim."""
    import rpc_schema

    for build in (rpc_schema.small_message, rpc_schema.typical_message):
        data = REALISTIC_PARSER.pack(build())
        at = data.find(b"\x15\xc4\xb5\x1c")
        while at >= 0:
            for count in (1_000_000, 0x00FFFFFE):
                yield data[:at + 4] + count.to_bytes(4, "little") + data[at + 8:]
            at = data.find(b"\x15\xc4\xb5\x1c", at + 1)


def test_claimed_vector_counts_do_not_drive_allocation():
    cases = list(claimed_counts())
    assert len(cases) > 10
    tracemalloc.start()
    try:
        for data in cases:
            assert peak_of_unpack(data) <= BYTES_PER_INPUT_BYTE * len(data) + 4096
    finally:
        tracemalloc.stop()
