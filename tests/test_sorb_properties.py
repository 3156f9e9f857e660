"""Property tests of SorbParser on the realistic schema, with the pure-Python
wire model (wire_model.py) as the oracle.

Random dicts are drawn by walking a constructor's parameters; valid
messages are then cut, flipped and overwritten, and every outcome of the
native reader (a dict, or exactly which exception with which message) must
be the one the model predicts. One parser serves the whole module, so every
failure is also followed by calls that must still work.

The example counts are kept small for the everyday run; HYPOTHESIS_PROFILE=long
multiplies them by 20.
"""
import os
import re
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rpc_schema
import wire_model as wm
from Vorlan.sorb import SorbParser

SCALE = 20 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 1


def bounded(examples):
    return settings(max_examples=examples * SCALE, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.large_base_example])


PARSER = SorbParser(rpc_schema.schema_json())
MODEL = wm.Model(rpc_schema.schema_json())
SMALL = rpc_schema.small_message()
SMALL_BYTES = MODEL.pack(SMALL)

# --- strategies ----------------------------------------------------------------

ANY_METHOD = "!"  # a parameter typed "!X" holds any method call


def _kind_of(type_text):
    """Which producers make a value of an object type: those of its result
    type (read the way the type code is), or any method for "!X"."""
    if "?" in type_text:
        type_text = type_text.split("?")[1]
    return ANY_METHOD if type_text.startswith("!") else type_text


def _object_kind(param):
    """The producer key of an object parameter or of a vector's elements."""
    if param.code == wm.VECTOR:
        code, reduced = wm.element_type(param.type_text)
        return _kind_of(reduced) if code == wm.OBJECT else None
    return _kind_of(param.type_text) if param.code == wm.OBJECT else None


def _forced(entry):
    """Object kinds an entry cannot be written without."""
    return [_object_kind(p) for p in entry.params
            if not p.conditional and not p.word and p.code == wm.OBJECT]


class Shapes:
    """What a schema offers the strategies: its producers per object kind,
    and per kind the least nesting a value needs (only unconditional object
    parameters force a deeper level), so draws near the depth limit pick
    the shallowest producers and always end."""

    def __init__(self, model, constructors, methods):
        self.model = model
        self.producers = {ANY_METHOD: list(methods)}
        for entry in constructors:
            self.producers.setdefault(entry.result, []).append(entry)
        self.height = {}
        changed = True
        while changed:
            changed = False
            for kind, entries in self.producers.items():
                for entry in entries:
                    needs = _forced(entry)
                    if all(n in self.height for n in needs):
                        h = 1 + max((self.height[n] for n in needs), default=0)
                        if h < self.height.get(kind, 1 << 30):
                            self.height[kind] = h
                            changed = True
        # Only entries that can be built at all are ever drawn.
        self.producers = {kind: [e for e in self.producers[kind] if self.entry_height(e)]
                          for kind in self.height}
        self.shallow = {kind: [e for e in self.producers[kind] if self.entry_height(e) == h]
                        for kind, h in self.height.items()}
        # Most families are mostly small entries: draw the big ones often.
        self.rich = {}
        for kind in self.height:
            most = max(len(e.params) for e in self.producers[kind])
            self.rich[kind] = [e for e in self.producers[kind] if len(e.params) * 2 >= most]
        self.top = [e for e in list(constructors) + list(methods) if self.entry_height(e)]
        self.rich_top = [e for e in self.top if len(e.params) >= 6] or self.top

    def entry_height(self, entry):
        """Least nesting of an entry; 0 when it cannot be built at all."""
        needs = _forced(entry)
        if not all(n in self.height for n in needs):
            return 0
        return 1 + max((self.height[n] for n in needs), default=0)


TRUTHY_NOT_TRUE = (1, "yes", [0], 2.5)
FALSY = (False, 0, "", [], None)

ints = st.integers(-2**31, 2**32 - 1)
longs = st.integers(0, 2**64 - 1)
doubles = st.floats() | st.integers(-2**53, 2**53)
texts = st.text(max_size=12) | st.integers(250, 258).map(lambda n: "x" * n)
blobs = st.binary(max_size=12) | st.integers(250, 258).flatmap(lambda n: st.binary(min_size=n, max_size=n))
SCALARS = {wm.INT: ints, wm.LONG: longs, wm.DOUBLE: doubles, wm.STRING: texts, wm.BYTES: blobs,
           wm.BOOL: st.booleans() | st.sampled_from(TRUTHY_NOT_TRUE + FALSY)}


def draw_value(draw, shapes, code, type_text, kind, budget):
    if code in SCALARS:
        return draw(SCALARS[code])
    if code == wm.OBJECT:
        return draw_object(draw, shapes, kind, budget)
    element_code, reduced = wm.element_type(type_text)
    nested = element_code in (wm.OBJECT, wm.VECTOR)
    if nested and (budget <= 0 or (element_code == wm.OBJECT and kind not in shapes.height)):
        size = 0
    else:
        size = draw(st.integers(0, 2 if nested else 4))
    items = [draw_value(draw, shapes, element_code, reduced, kind, budget - 1) for _ in range(size)]
    # Any iterable is a vector; it comes back as a list.
    return draw(st.sampled_from([list, tuple]))(items)


def draw_object(draw, shapes, kind, budget):
    if budget <= 0:
        entries = shapes.shallow[kind]
    else:
        entries = shapes.rich[kind] if draw(st.booleans()) else shapes.producers[kind]
    return draw_entry(draw, shapes, draw(st.sampled_from(entries)), budget)


def draw_entry(draw, shapes, entry, budget):
    """A dict for one constructor. Conditional parameters that share a bit
    are given all or none, as the wire form can only say that much."""
    present = {}
    for p in entry.params:
        if p.conditional and not p.word:
            group = (p.second, p.bit % 32)
            kind = _object_kind(p)
            blocked = kind is not None and (budget <= 0 or kind not in shapes.height)
            present.setdefault(group, not blocked and draw(st.booleans()))
            present[group] &= not blocked
    obj = {"_": entry.name}
    for p in entry.params:
        if p.word:
            if draw(st.integers(0, 7)) == 0:  # a stale word the writer must ignore
                obj[p.name] = draw(st.integers(0, 2**32 - 1))
            continue
        kind = _object_kind(p)
        if p.conditional:
            on = present[(p.second, p.bit % 32)]
            if p.code == wm.BOOL:
                value = True if on else draw(st.sampled_from(("missing",) + TRUTHY_NOT_TRUE + FALSY))
                if value != "missing":
                    obj[p.name] = value
            elif on:
                obj[p.name] = draw_value(draw, shapes, p.code, p.type_text, kind, budget - 1)
            elif draw(st.booleans()):
                obj[p.name] = None
        elif p.code == wm.OBJECT or draw(st.integers(0, 7)) != 0:
            obj[p.name] = draw_value(draw, shapes, p.code, p.type_text, kind, budget - 1)
        # else: missing, written as its default
    if draw(st.integers(0, 7)) == 0:
        obj["not_a_param"] = draw(st.integers() | st.text(max_size=3))
    # Key order in the input does not matter; schema order has a path of its own.
    if draw(st.booleans()):
        return obj
    return dict(draw(st.permutations(list(obj.items()))))


@st.composite
def messages(draw, shapes, budget=3):
    entries = shapes.rich_top if draw(st.booleans()) else shapes.top
    return draw_entry(draw, shapes, draw(st.sampled_from(entries)), budget)


RPC = Shapes(MODEL, [MODEL.by_name[e["predicate"].encode()] for e in rpc_schema.schema()["constructors"]],
             [MODEL.by_name[e["method"].encode()] for e in rpc_schema.schema()["methods"]])
assert len(RPC.top) == len(MODEL.entries), "some entry of the schema can never be built"


@st.composite
def packed(draw, budget=3):
    return MODEL.pack(draw(messages(RPC, budget)))


# --- what a round trip should give back ---------------------------------------

DEFAULTS = {wm.INT: 0, wm.LONG: 0, wm.DOUBLE: 0.0, wm.STRING: "", wm.BYTES: b"",
            wm.BOOL: False}


def normalised_value(value, code, type_text):
    if code == wm.INT:
        return value & 0xFFFFFFFF  # negative ints come back unsigned
    if code == wm.DOUBLE:
        return float(value)
    if code == wm.BOOL:
        return bool(value)
    if code == wm.VECTOR:
        element_code, reduced = wm.element_type(type_text)
        return [normalised_value(v, element_code, reduced) for v in value]
    if code == wm.OBJECT:
        return normalised(value)
    return value


def normalised(obj):
    """The dict unpack should return for pack(obj): keys in schema order,
    flags and unknown keys dropped, defaults for missing parameters, None
    (False for Bool) for absent conditional ones."""
    entry = MODEL.by_name[obj["_"].encode()]
    result = {"_": entry.name}
    for p in entry.params:
        if p.word:
            continue
        value = obj.get(p.name)
        if p.conditional and p.code == wm.BOOL:
            result[p.name] = value is True
        elif p.conditional and value is None:
            result[p.name] = None
        elif p.name not in obj:
            result[p.name] = DEFAULTS.get(p.code, [])
        else:
            result[p.name] = normalised_value(value, p.code, p.type_text)
    return result


# --- outcomes ------------------------------------------------------------------

REPORTED = {
    "RuntimeError": re.compile(r"Parse error at position \d+"),
    "ValueError": re.compile(r"(Unknown constructor ID|Invalid vector ID): 0x[0-9a-f]{8}"),
}


def outcome(unpack, data):
    """("dict", value) or (exception name, message). Only the exceptions the
    reader may raise on bad input are caught; anything else fails the test."""
    try:
        return ("dict", unpack(data))
    except (RuntimeError, ValueError, SystemError) as error:
        name = type(error).__name__
        if name not in ("RuntimeError", "ValueError", "UnicodeDecodeError", "SystemError",
                        "RecursionError"):
            raise
        # The host words its SystemError itself.
        return (name, "" if name == "SystemError" else str(error))


def check_usable():
    """The parser must work normally after whatever happened before."""
    assert PARSER.unpack(SMALL_BYTES) == SMALL
    assert PARSER.pack(SMALL) == SMALL_BYTES


def check_reads_like_model(data, parser=PARSER, model=MODEL):
    native = outcome(parser.unpack, data)
    name, message = native
    if name in REPORTED:
        assert REPORTED[name].fullmatch(message), native
    predicted = outcome(model.unpack, data)
    if predicted[0] != "RecursionError":  # the model's own depth limit is lower
        assert native[0] == predicted[0], (data.hex(), native, predicted)
        if name == "dict":
            assert wm.same(native[1], predicted[1])
        else:
            assert native[1] == predicted[1], data.hex()
    if name != "dict" and parser is PARSER:
        check_usable()
    return native


# --- valid messages --------------------------------------------------------------

@pytest.mark.parametrize("build", [rpc_schema.small_message, rpc_schema.typical_message,
                                   rpc_schema.large_message], ids=lambda f: f.__name__)
def test_sample_messages_round_trip_and_match_the_model(build):
    message = build()
    data = PARSER.pack(message)
    assert data == MODEL.pack(message)
    assert PARSER.unpack(data) == message
    assert wm.same(MODEL.unpack(data), message)


@bounded(400)
@given(messages(RPC))
def test_random_messages_round_trip_up_to_normalisation(message):
    data = PARSER.pack(message)
    assert len(data) % 4 == 0
    assert data == MODEL.pack(message)
    back = PARSER.unpack(data)
    assert wm.same(back, normalised(message)), (message, back)
    assert wm.same(MODEL.unpack(data), back)
    assert PARSER.pack(back) == data   # a received message can be sent on


# Values that are wrong for some parameter type, to compare how pack refuses.
ODD_VALUES = st.sampled_from([None, 3.9, -1, 2**31, 2**32, 2**64, -2**31 - 1, "text", b"raw",
                              bytearray(b"ba"), [], (1, 2), {"_": "inputPeerMe"}, {}, True, 1.5e300,
                              "\ud800", float("nan")])


@st.composite
def odd_messages(draw):
    """A valid message with a few parameters replaced by odd values or
    dropped, so that bits shared by several parameters can be half set."""
    message = draw(messages(RPC, budget=2))
    entry = MODEL.by_name[message["_"].encode()]
    names = [p.name for p in entry.params if not p.word]
    for name in (draw(st.lists(st.sampled_from(names), max_size=3)) if names else []):
        if draw(st.booleans()):
            message[name] = draw(ODD_VALUES)
        else:
            message.pop(name, None)
    return message


def pack_outcome(pack, message):
    try:
        return ("bytes", pack(message))
    except (TypeError, ValueError, OverflowError, AttributeError, UnicodeEncodeError) as error:
        return (type(error).__name__, None)


# A constructor wider than one 64-bit word of parameter bits, with bits that
# several parameters share and a repeated name. Every third parameter is
# unconditional, of a kind that packs without a value.
WIDE_TYPES = ["int", "long", "string", "true", "Vector<int>", "Inner", "double", "bytes"]
WIDE_PARAMS = [{"name": "flags", "type": "#"}, {"name": "flags2", "type": "#"}] + [
    {"name": f"p{i}", "type": f"{'flags' if i % 2 else 'flags2'}.{i % 37}?{WIDE_TYPES[i % 8]}"
     if i % 3 else ["int", "long", "string", "double"][i % 4]} for i in range(150)] + [
    {"name": "p9", "type": "long"}]
WIDE_SCHEMA = {"constructors": [
    {"id": 1, "predicate": "wide", "params": WIDE_PARAMS},
    {"id": 2, "predicate": "inner", "type": "Inner", "params": [{"name": "x", "type": "int"}]}]}
WIDE_VALUES = {"int": st.integers(-5, 5), "long": st.just(7), "string": st.just("s"),
               "true": st.booleans(), "Vector<int>": st.just([1, 2]),
               "Inner": st.just({"_": "inner", "x": 3}), "double": st.just(1.5), "bytes": st.just(b"b")}


@bounded(100)
@given(st.data())
def test_constructors_wider_than_64_parameters_pack_like_the_model(data):
    parser, model = SorbParser(WIDE_SCHEMA), wm.Model(WIDE_SCHEMA)
    chosen = data.draw(st.lists(st.sampled_from(WIDE_PARAMS[2:]), max_size=60, unique_by=lambda p: p["name"]))
    entries = [(p["name"], data.draw((st.none() if "?" in p["type"] else st.nothing())
                                     | WIDE_VALUES[p["type"].split("?")[-1]])) for p in chosen]
    message = dict(data.draw(st.permutations(entries + [("_", "wide")])))
    native = pack_outcome(parser.pack, message)
    assert native == pack_outcome(model.pack, message), message
    if native[0] == "bytes":
        assert parser.unpack(native[1]) == model.unpack(native[1])


@bounded(300)
@given(odd_messages())
def test_pack_accepts_and_refuses_what_the_model_does(message):
    native = pack_outcome(PARSER.pack, message)
    assert native == pack_outcome(MODEL.pack, message), message
    if native[0] == "bytes":
        # Half-set bits make messages that read back differently or not at
        # all; the reader must still agree with the model on them.
        check_reads_like_model(native[1])
    else:
        check_usable()


# --- damaged messages ------------------------------------------------------------

def every_prefix(data):
    for end in range(len(data)):
        check_reads_like_model(data[:end])


@pytest.mark.parametrize("build", [rpc_schema.small_message, rpc_schema.typical_message],
                         ids=lambda f: f.__name__)
def test_every_truncation_of_a_sample_fails_where_the_model_says(build):
    every_prefix(MODEL.pack(build()))


@bounded(120)
@given(packed(budget=2))
def test_every_truncation_fails_where_the_model_says(data):
    # Without padding after a last byte string, a cut may still decode.
    for end in range(len(data)):
        name, message = check_reads_like_model(data[:end])
        assert name != "dict" or end >= len(data) - 3


@bounded(150)
@given(packed(), st.data())
def test_single_byte_flips_read_like_the_model(data, draw):
    positions = draw.draw(st.lists(st.integers(0, len(data) - 1), min_size=1, max_size=24))
    for position in positions:
        mask = draw.draw(st.integers(1, 255))
        damaged = bytearray(data)
        damaged[position] ^= mask
        check_reads_like_model(bytes(damaged))


# Words that steer the reader into its edge paths when they land on an id,
# a vector id, a count or a byte-string header.
KNOWN_IDS = sorted({e.id for e in MODEL.entries})
INTERESTING_WORDS = st.sampled_from([0, 1, 3, 0xFE, 0xFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                     0xFFFFFFFE, wm.VECTOR_ID, 0x00FFFFFE, 0x000100FE]) | \
    st.sampled_from(KNOWN_IDS)


@bounded(150)
@given(packed(), st.data())
def test_overwritten_words_read_like_the_model(data, draw):
    for _ in range(draw.draw(st.integers(1, 12))):
        position = draw.draw(st.integers(0, max(0, len(data) - 4)))
        damaged = bytearray(data)
        damaged[position:position + 4] = struct.pack("<I", draw.draw(INTERESTING_WORDS))
        check_reads_like_model(bytes(damaged[:len(data)]))


# Hostile input built from pieces the reader cares about, so that random
# bytes get past the first id check and into nested objects and vectors.
TOKENS = st.one_of(
    st.sampled_from(KNOWN_IDS).map(lambda i: struct.pack("<I", i)),
    st.just(struct.pack("<I", wm.VECTOR_ID)),
    st.integers(0, 6).map(lambda n: struct.pack("<I", n)),
    INTERESTING_WORDS.map(lambda w: struct.pack("<I", w)),
    st.binary(max_size=9),
)


@bounded(1000)
@given(st.lists(TOKENS, min_size=1, max_size=40).map(b"".join))
def test_token_soup_reads_like_the_model(data):
    check_reads_like_model(data)


# --- odd schemas -------------------------------------------------------------------

# Type texts a schema can hold, including spellings the reader must take
# literally: a bare "Vector" nests vectors in vectors, nested Vector<>
# flattens, conditions on either word (only "flags2" exactly names the
# second), bit 31 and bits above 31, and near misses of the scalar names.
ODD_TYPES = ["int", "#", "long", "double", "string", "bytes", "byte", "Bool", "true", "Node",
             "int ", "bool", "Vector<int>", "Vector<Node>", "Vector<Vector<long>>", "Vector",
             "VectorX", "Vector<Bool>", "Vector<string>", "flags.0?int", "flags.31?string",
             "flags.33?long", "flags2.0?Node", "flags2.5?true", "flags.1?Bool", "flags22.1?int",
             "flags.2?Vector<Node>", "flags2.3?Vector<bytes>", "flags?int", "x.1?y?z",
             "flags.4?Vector", "Vector<flags.1?int>", "flags2.33?Vector<Vector<int>>"]


@st.composite
def odd_schemas(draw):
    def params():
        names = draw(st.lists(st.sampled_from(["a", "b", "c", "d", "e", "flags", "flags2"]),
                              unique=True, max_size=6))
        return [{"name": n, "type": draw(st.sampled_from(ODD_TYPES))} for n in names]
    constructors = [{"id": 0x10 + i, "predicate": f"node{i}", "type": "Node", "params": params()}
                    for i in range(3)]
    return {"constructors": constructors}


ODD_TOKENS = st.one_of(
    st.sampled_from([0x10, 0x11, 0x12, wm.VECTOR_ID, 0, 1, 2, 0xFFFFFFFF, 0x80000001])
    .map(lambda w: struct.pack("<I", w)),
    st.binary(max_size=6),
)


@bounded(500)
@given(odd_schemas(), st.lists(ODD_TOKENS, max_size=24).map(b"".join), st.data())
def test_odd_schemas_pack_and_read_like_the_model(schema, data, draw):
    parser, model = SorbParser(schema), wm.Model(schema)
    check_reads_like_model(data, parser, model)
    shapes = Shapes(model, model.entries, [])
    if not shapes.top:
        return
    # Words may stand after the parameters they guard here, so a dict need
    # not survive the trip; the bytes and what they read back must still
    # be the model's.
    message = draw.draw(messages(shapes, budget=2))
    native = pack_outcome(parser.pack, message)
    assert native == pack_outcome(model.pack, message), message
    if native[0] == "bytes":
        name, value = check_reads_like_model(native[1], parser, model)
        if name == "dict":
            assert pack_outcome(parser.pack, value) == pack_outcome(model.pack, value)


# --- known cases of the vector guard and of deep nesting --------------------------

def _id(name):
    return struct.pack("<I", MODEL.by_name[name.encode()].id)


VEC = struct.pack("<I", wm.VECTOR_ID)


@pytest.mark.parametrize("data, error, message", [
    # A count beyond the bytes left reads elements until the data runs out.
    (_id("users.getUsers") + VEC + struct.pack("<I", 0x7FFFFFFF), RuntimeError,
     "Parse error at position 12"),
    (_id("users.getUsers") + VEC + struct.pack("<I", 17) + _id("inputUserMe") * 4, RuntimeError,
     "Parse error at position 28"),
    # A count that fits the bytes left reads placeholders up to the end.
    (_id("users.getUsers") + VEC + struct.pack("<I", 5) + _id("inputUserMe") * 4, RuntimeError,
     "Parse error at position 28"),
    (_id("upload.getCdnFile") + bytes(8), RuntimeError, "Parse error at position 8"),
    # A byte string longer than the data fails after its header.
    (_id("auth.importLoginToken") + b"\x05ab", RuntimeError, "Parse error at position 5"),
    (_id("auth.importLoginToken") + b"\xfe\x00\x01\x00" + b"x" * 10, RuntimeError,
     "Parse error at position 8"),
    # A string after a short one starts off the 4-byte grid; its padding
    # still counts from the message start (16, not 17).
    (_id("account.reorderHandles") + VEC + struct.pack("<I", 2) + b"\x09\x01a", RuntimeError,
     "Parse error at position 16"),
    (_id("users.getUsers") + VEC + b"\xff\xff\xff\xff", SystemError, None),
    (_id("users.getUsers"), ValueError, "Invalid vector ID: 0x00000000"),
    (_id("users.getUsers") + VEC + struct.pack("<I", 1) + b"\x01\x02\x03\x04", ValueError,
     "Unknown constructor ID: 0x04030201"),
], ids=["huge-count", "count-past-bytes-left", "count-within-bytes-left", "short-long",
        "short-string", "short-long-string", "padding-off-grid", "negative-count", "vector-at-end",
        "unknown-element"])
def test_reader_failures_on_hand_made_messages(data, error, message):
    with pytest.raises(error) as raised:
        PARSER.unpack(data)
    if message is not None:
        assert str(raised.value) == message
    assert outcome(MODEL.unpack, data) == (error.__name__, message or "")
    check_usable()


def _nested_bold(depth):
    return _id("textBold") * depth + _id("textPlain") + b"\x00\x00\x00\x00"


def _nested_vectors(depth):
    return struct.pack("<I", 0x10) + (VEC + struct.pack("<I", 1)) * depth


@pytest.mark.parametrize("schema, data", [
    (None, _nested_bold(1_000_000)),
    ({"constructors": [{"id": 0x10, "predicate": "deep", "params": [
        {"name": "v", "type": "Vector"}]}]}, _nested_vectors(1_000_000)),
], ids=["nested-objects", "bare-vector"])
def test_hostile_nesting_raises_recursion_error_and_leaves_parser_usable(schema, data):
    parser = PARSER if schema is None else SorbParser(schema)
    with pytest.raises(RecursionError):
        parser.unpack(data)
    check_usable()
    # Moderate depth still reads.
    if schema is None:
        result = parser.unpack(_nested_bold(200))
        for _ in range(200):
            assert result["_"] == "textBold"
            result = result["text"]
        assert result == {"_": "textPlain", "text": ""}


def test_self_containing_dict_raises_recursion_error_and_leaves_parser_usable():
    loop = {"_": "textBold"}
    loop["text"] = loop
    chain = {"_": "textConcat", "texts": []}
    chain["texts"].append(chain)
    for value in (loop, chain):
        with pytest.raises(RecursionError):
            PARSER.pack(value)
        check_usable()
