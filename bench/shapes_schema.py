"""Messages of five more shapes for the sorb benchmark, each at three sizes
(small ~200 B, medium ~3 KB, large ~50 KB of sorb wire form):

- optional: records of twenty conditional fields (two flags words), about
  half of them present;
- points: a vector of small objects of three fields;
- blobs: long strings and byte strings;
- tree: nested objects, a binary tree of nodes each holding a vector of
  its children (4, 8 and 12 levels);
- numbers: a vector of ints and a vector of longs.

    from shapes_schema import schema_json, SHAPES
    for name, build in SHAPES: message = build()

The messages are dicts in the form `SorbParser.pack` takes and `unpack`
gives back (keys in schema order, every parameter present), so a round trip
returns them unchanged; each builder is deterministic.
"""
import functools
import json
import random

_WORDS = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi "
          "omicron pi rho sigma tau upsilon phi chi psi omega").split()


def _param(name, type_text):
    return {"name": name, "type": type_text}


# (name, type text) of the record's conditional fields; "flags" words are
# added in front.
_RECORD_FIELDS = [(f"f{i:02d}", t) for i, t in enumerate(
    ["int", "long", "string", "true", "double", "int", "string", "long", "true", "bytes"] * 2)]


def _record_params():
    params = [_param("flags", "#"), _param("flags2", "#"), _param("id", "long")]
    for i, (name, type_text) in enumerate(_RECORD_FIELDS):
        word = "flags" if i < 10 else "flags2"
        params.append(_param(name, f"{word}.{i % 10}?{type_text}"))
    return params


_CONSTRUCTORS = [
    {"id": 0x11000001, "predicate": "record", "type": "Record", "params": _record_params()},
    {"id": 0x11000002, "predicate": "records", "type": "Records",
     "params": [_param("items", "Vector<Record>")]},
    {"id": 0x11000003, "predicate": "point", "type": "Point",
     "params": [_param("x", "int"), _param("y", "int"), _param("weight", "double")]},
    {"id": 0x11000004, "predicate": "points", "type": "Points",
     "params": [_param("items", "Vector<Point>")]},
    {"id": 0x11000005, "predicate": "blob", "type": "Blob",
     "params": [_param("name", "string"), _param("text", "string"), _param("data", "bytes")]},
    {"id": 0x11000006, "predicate": "node", "type": "Node",
     "params": [_param("flags", "#"), _param("id", "int"), _param("label", "flags.0?string"),
                _param("children", "Vector<Node>")]},
    {"id": 0x11000007, "predicate": "numbers", "type": "Numbers",
     "params": [_param("ints", "Vector<int>"), _param("longs", "Vector<long>")]},
]


@functools.cache
def schema_json():
    """The schema as JSON text, as SorbParser takes it."""
    return json.dumps({"constructors": _CONSTRUCTORS, "methods": []})


def _record(rng, record_id):
    value = {"_": "record", "id": record_id}
    for name, type_text in _RECORD_FIELDS:
        present = rng.random() < 0.5
        if type_text == "true":
            value[name] = present
            continue
        if not present:
            value[name] = None
        elif type_text == "int":
            value[name] = rng.randint(0, 2**31 - 1)
        elif type_text == "long":
            value[name] = rng.getrandbits(63)
        elif type_text == "double":
            value[name] = rng.random() * 1000
        elif type_text == "string":
            value[name] = " ".join(rng.choice(_WORDS) for _ in range(rng.randint(1, 3)))
        else:
            value[name] = rng.randbytes(rng.randint(4, 16))
    return value


def records(count, seed):
    rng = random.Random(seed)
    return {"_": "records", "items": [_record(rng, 1000 + i) for i in range(count)]}


def points(count, seed):
    rng = random.Random(seed)
    return {"_": "points", "items": [{"_": "point", "x": rng.randint(0, 4000),
                                      "y": rng.randint(0, 4000), "weight": rng.random()}
                                     for _ in range(count)]}


def blob(size, seed):
    rng = random.Random(seed)
    words = []
    while sum(len(w) + 1 for w in words) < size // 2:
        words.append(rng.choice(_WORDS))
    return {"_": "blob", "name": "blob-" + str(seed), "text": " ".join(words),
            "data": rng.randbytes(size // 2)}


def tree(depth, seed):
    rng = random.Random(seed)
    counter = iter(range(1, 1 << 20))

    def node(level):
        return {"_": "node", "id": next(counter),
                "label": rng.choice(_WORDS) if rng.random() < 0.3 else None,
                "children": [node(level - 1) for _ in range(2)] if level > 1 else []}
    return node(depth)


def numbers(count, seed):
    rng = random.Random(seed)
    return {"_": "numbers", "ints": [rng.randint(0, 2**31 - 1) for _ in range(count)],
            "longs": [rng.getrandbits(63) for _ in range(count)]}


# (name, builder) of every message, small to large within each shape.
SHAPES = (
    ("optional-small", lambda: records(2, 21)),
    ("optional-medium", lambda: records(30, 22)),
    ("optional-large", lambda: records(500, 23)),
    ("points-small", lambda: points(9, 31)),
    ("points-medium", lambda: points(150, 32)),
    ("points-large", lambda: points(2500, 33)),
    ("blobs-small", lambda: blob(160, 41)),
    ("blobs-medium", lambda: blob(3000, 42)),
    ("blobs-large", lambda: blob(50000, 43)),
    ("tree-small", lambda: tree(4, 51)),
    ("tree-medium", lambda: tree(8, 52)),
    ("tree-large", lambda: tree(12, 53)),
    ("numbers-small", lambda: numbers(16, 61)),
    ("numbers-medium", lambda: numbers(250, 62)),
    ("numbers-large", lambda: numbers(4000, 63)),
)
