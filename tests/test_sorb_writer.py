"""pack: dicts written in the wire form, conversions, defaults and refusals."""
import gc
import json
import os
import re
import struct
import subprocess
import sys
import warnings

import pytest

from Vorlan.sorb import SorbParser

from sorb_examples import (EXAMPLE_BYTES, EXAMPLE_DICT, EXAMPLE_SCHEMA, KINDS_SCHEMA, VECTOR, HostileValue,
                           word)


@pytest.fixture(scope="module")
def example():
    return SorbParser(EXAMPLE_SCHEMA)


@pytest.fixture(scope="module")
def kinds():
    return SorbParser(KINDS_SCHEMA)


def packed(parser, name, value):
    """The payload after the 4-byte constructor id."""
    return parser.pack({"_": name, "v": value})[4:]


def test_example_packs_to_its_36_bytes_with_computed_flags(example):
    assert example.pack(EXAMPLE_DICT) == EXAMPLE_BYTES
    # Given flags words are ignored, unknown keys too.
    assert example.pack(dict(EXAMPLE_DICT, flags=0xFFFF, junk=1)) == EXAMPLE_BYTES
    # Keys made at run time (equal, not the same objects) and in any order.
    fresh = {"".join(list(k)): v for k, v in reversed(EXAMPLE_DICT.items())}
    assert example.pack(fresh) == EXAMPLE_BYTES
    in_order = {"".join(list(k)): v for k, v in EXAMPLE_DICT.items()}
    assert example.pack(in_order) == EXAMPLE_BYTES


@pytest.mark.parametrize("keys", [("_", "a", "b"), ("_", "b", "a"), ("b", "a", "_")])
def test_a_repeated_name_gives_its_one_value_to_every_parameter_in_any_key_order(keys):
    parser = SorbParser({"constructors": [{"id": 1, "predicate": "c", "params": [
        {"name": "a", "type": "int"}, {"name": "b", "type": "int"}, {"name": "a", "type": "int"},
        {"name": "_", "type": "string"}]}]})
    value = {"_": "c", "a": 5, "b": 6}
    assert parser.pack({k: value[k] for k in keys}) == word(1) + word(5) + word(6) + word(5) + b"\x01c\0\0"


def test_missing_parameters_take_defaults_and_clear_bits(example):
    data = example.pack({"_": "example"})
    assert data == word(7) + word(0) + bytes(8) + VECTOR + word(0)
    assert example.unpack(data) == {"_": "example", "count": 0, "text": None, "flag": False,
                                    "items": []}


@pytest.mark.parametrize("flag, bit_set", [
    (True, True), (1, False), ("yes", False), (False, False), (None, False)])
def test_only_true_itself_sets_a_conditional_bool(example, flag, bit_set):
    data = example.pack({"_": "example", "flag": flag})
    assert data[4:8] == word(2 if bit_set else 0)
    assert example.unpack(data)["flag"] is bit_set


def test_none_for_a_conditional_parameter_writes_nothing(example):
    assert example.pack({"_": "example", "text": None}) == example.pack({"_": "example"})


class Number:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


@pytest.mark.parametrize("name, value, payload", [
    ("int", -1, "ffffffff"),
    ("int", 2147483647, "ffffff7f"),
    ("int", -2147483648, "00000080"),
    # What unpack gives back for a negative int packs again.
    ("int", 2147483648, "00000080"),
    ("int", 4294967295, "ffffffff"),
    ("int", Number(4294967295), "ffffffff"),
    ("int", 3.9, "03000000"),
    ("int", -3.9, "fdffffff"),
    ("int", True, "01000000"),
    ("long", 18446744073709551615, "ff" * 8),
    # Each count of 30-bit digits, either side of 2**63.
    *[("long", v, struct.pack("<Q", v).hex()) for v in (2**30, 2**60 - 1, 2**60, 2**62 + 7, 2**63 - 1, 2**63)],
    ("long", 2.5, "02" + "00" * 7),
    ("double", 1, struct.pack("<d", 1.0).hex()),
    ("double", -0.5, struct.pack("<d", -0.5).hex()),
    ("bool", [0], "01000000"),
    ("bool", [], "00000000"),
    ("bool", None, "00000000"),
    ("bool", 7, "01000000"),
    ("string", "", "00000000"),
    ("string", "é", "02c3a900"),
    ("bytes", b"", "00000000"),
    ("bytes", b"abc", "03616263"),
    ("ints", (1, 2), VECTOR.hex() + "02000000" "01000000" "02000000"),
    ("ints", (i for i in [5]), VECTOR.hex() + "01000000" "05000000"),
    ("strings", ["a", "bc"], VECTOR.hex() + "02000000" "01610000" "02626300"),
    ("objects", [{"_": "leaf"}, {"_": "node", "child": {"_": "leaf"}}],
     VECTOR.hex() + "02000000" "19000000" "18000000" "19000000"),
])
def test_value_conversions(kinds, name, value, payload):
    assert packed(kinds, name, value).hex() == payload


@pytest.mark.parametrize("name, value, exc, message", [
    ("int", 4294967296, OverflowError, None),
    ("int", Number(4294967296), OverflowError, None),
    ("int", -2147483649, OverflowError, None),
    ("int", None, TypeError, "an integer is required"),
    ("int", "5", TypeError, "an integer is required"),
    ("int", Number("x"), TypeError, "__int__ returned non-int (type str)"),
    ("long", -1, OverflowError, "can't convert negative value to uint64_t"),
    ("long", 2**64, OverflowError, None),
    ("long", Number(-1), OverflowError, "can't convert negative value to uint64_t"),
    ("double", "1.0", TypeError, None),
    ("string", None, AttributeError, "'NoneType' object has no attribute 'encode'"),
    ("string", b"x", TypeError, None),
    ("string", "\ud800", UnicodeEncodeError, None),
    ("bytes", None, TypeError, "object of type 'NoneType' has no len()"),
    ("bytes", "abc", TypeError, "Expected bytes, got str"),
    ("bytes", bytearray(b"abc"), TypeError, "Expected bytes, got bytearray"),
    ("bytes", 3, TypeError, "Expected bytes, got int"),
    ("ints", None, TypeError, "'NoneType' object is not iterable"),
    ("ints", type("L", (list,), {})([1]), TypeError, "Expected list, got L"),
    ("ints", ["x"], TypeError, "an integer is required"),
    ("objects", [{}], ValueError, "Object must have '_' field"),
    ("objects", [{"_": ""}], ValueError, "Object must have '_' field"),
    ("objects", [{"_": "nope"}], ValueError, "Unknown constructor: nope"),
    ("objects", [{"_": b"leaf"}], TypeError, "Expected str, got bytes"),
    ("objects", [5], AttributeError, "'int' object has no attribute 'get'"),
])
def test_conversion_failures(kinds, name, value, exc, message):
    with pytest.raises(exc) as info:
        kinds.pack({"_": name, "v": value})
    if message is not None:
        assert str(info.value) == message
    assert kinds.pack({"_": "empty"}) == word(0x1C)   # still usable


@pytest.mark.parametrize("length, header", [
    (253, "fd"), (254, "fefe0000"), (255, "feff0000"), (2**24 - 1, "feffffff")])
def test_byte_string_header_boundaries(kinds, length, header):
    value = b"\x01" * length
    data = kinds.pack({"_": "bytes", "v": value})
    head = bytes.fromhex(header)
    assert data[4:4 + len(head)] == head
    assert len(data) % 4 == 0
    assert data[4 + len(head) + length:] == bytes(len(data) - 4 - len(head) - length)
    assert kinds.unpack(data)["v"] == value


def test_byte_strings_too_long_for_the_length_field_are_refused(kinds):
    with pytest.raises(ValueError, match="too long"):
        kinds.pack({"_": "bytes", "v": bytes(2**24)})
    with pytest.raises(ValueError, match="too long"):
        kinds.pack({"_": "string", "v": "x" * 2**24})


def test_defaults_for_every_kind():
    parser = SorbParser(json.dumps({"constructors": [{"id": 1, "predicate": "all", "params": [
        {"name": n, "type": t} for n, t in
        [("i", "int"), ("l", "long"), ("d", "double"), ("s", "string"), ("b", "bytes"),
         ("t", "Bool"), ("v", "Vector<int>")]]}]}))
    data = parser.pack({"_": "all"})
    assert data == word(1) + bytes(4 + 8 + 8 + 4 + 4 + 4) + VECTOR + word(0)
    assert parser.unpack(data) == {"_": "all", "i": 0, "l": 0, "d": 0.0, "s": "", "b": b"",
                                   "t": False, "v": []}


def test_missing_nested_object_fails_as_an_empty_one(kinds):
    with pytest.raises(ValueError) as info:
        kinds.pack({"_": "node"})
    assert str(info.value) == "Object must have '_' field"


@pytest.mark.parametrize("value, exc, message", [
    ({}, ValueError, "Object must have '_' field"),
    ({"_": None}, ValueError, "Object must have '_' field"),
    ({"_": type("S", (str,), {})("empty")}, TypeError, "Expected str, got S"),
    (None, AttributeError, "'NoneType' object has no attribute 'get'"),
    ([("_", "empty")], AttributeError, "'list' object has no attribute 'get'"),
])
def test_top_level_refusals(kinds, value, exc, message):
    with pytest.raises(exc) as info:
        kinds.pack(value)
    assert str(info.value) == message


@pytest.mark.parametrize("value", [{"_": ""}, {"x": 1, "_": ""}, {"_": "".join([])}])
def test_empty_name_is_refused_even_when_a_constructor_has_it(value):
    # A schema entry without a predicate has the empty name.
    parser = SorbParser(json.dumps({"constructors": [{"id": 2, "params": []}]}))
    for _ in range(2):  # the second call after the parser has seen the name
        with pytest.raises(ValueError, match="^Object must have '_' field$"):
            parser.pack(value)


def test_names_made_at_run_time_find_their_constructor_call_after_call():
    # The parser remembers constructors by the address of the "_" value that
    # named them; a name made at run time dies with its call, and the next
    # one, of another text, most often takes its address.
    names = ["name" + c for c in "abcd"]
    parser = SorbParser(json.dumps({"constructors": [
        {"id": 10 + i, "predicate": n, "params": []} for i, n in enumerate(names)]}))
    for i in range(64):
        made = "".join(list(names[i * 7 % 4]))
        assert parser.pack({"_": made}) == word(10 + i * 7 % 4)


def test_mapping_with_get_that_is_not_a_dict_is_refused(kinds):
    class Mapping:
        def get(self, key, default=None):
            return "empty"

    with pytest.raises(TypeError, match="^Expected dict, got Mapping$"):
        kinds.pack(Mapping())


def test_dict_subclass_get_and_item_access_are_used(kinds):
    class Tracking(dict):
        def get(self, key, default=None):
            return "int"

        def __getitem__(self, key):
            return 41 + dict.__getitem__(self, key)

    assert kinds.pack(Tracking({"v": 1})) == word(0x10) + word(42)
    assert kinds.pack(Tracking({})) == word(0x10) + word(0)  # missing: the default


def test_int_subclass_from_int_hook_warns_and_packs(kinds):
    # The host deprecates __int__ returning an int subclass; the warning
    # can be an error, which must end the pack cleanly.
    with pytest.warns(DeprecationWarning):
        assert kinds.pack({"_": "int", "v": Number(True)}) == word(0x10) + word(1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            kinds.pack({"_": "int", "v": Number(True)})
    assert kinds.pack({"_": "int", "v": 3}) == word(0x10) + word(3)


def test_dict_subclass_is_asked_once_per_parameter(example):
    class Fickle(dict):
        # The true value the first time a key is asked, None afterwards.
        def __getitem__(self, key):
            self.asked.append(key)
            return dict.__getitem__(self, key) if self.asked.count(key) == 1 else None

    value = Fickle(EXAMPLE_DICT)
    value.asked = []
    assert example.pack(value) == EXAMPLE_BYTES
    assert sorted(value.asked) == ["count", "flag", "items", "text"]


def test_self_containing_dict_raises_recursion_error(kinds):
    loop = {"_": "node"}
    loop["child"] = loop
    with pytest.raises(RecursionError):
        kinds.pack(loop)
    nested = {"_": "nested", "v": []}
    nested["v"].append(nested["v"])
    with pytest.raises(RecursionError):
        kinds.pack(nested)
    assert kinds.pack({"_": "empty"}) == word(0x1C)


def test_list_shortened_by_an_element_hook_is_not_read_past_its_end(kinds):
    items = []

    class Shrinking:
        def __int__(self):
            items.clear()
            return 1

    items.extend([Shrinking(), 2, 3])
    with pytest.raises(RuntimeError, match="changed size"):
        kinds.pack({"_": "ints", "v": items})


def test_list_grown_by_a_hook_writes_the_elements_counted_at_the_start(kinds):
    items = []

    class Growing:
        def __int__(self):
            items.append(9)
            return 1

    items.extend([Growing(), 2])
    assert packed(kinds, "ints", items) == VECTOR + word(2) + word(1) + word(2)


def test_reentrant_use_from_a_hook_is_refused(kinds):
    class Reenter:
        def __int__(self):
            kinds.unpack(word(0x1C))
            return 1

    with pytest.raises(RuntimeError, match="already in use"):
        kinds.pack({"_": "int", "v": Reenter()})
    assert kinds.unpack(word(0x1C)) == {"_": "empty"}


def test_large_then_small_message_shares_no_bytes(kinds):
    big = kinds.pack({"_": "bytes", "v": b"\xaa" * 50_000})
    assert len(big) == 4 + 4 + 50_000
    assert kinds.pack({"_": "bytes", "v": b"\x01"}) == word(0x14) + b"\x01\x01\0\0"
    assert kinds.unpack(big)["v"] == b"\xaa" * 50_000


def test_method_names_pack_like_constructors():
    parser = SorbParser({"methods": [{"id": 5, "method": "ping", "params": [
        {"name": "x", "type": "int"}]}]})
    assert parser.pack({"_": "ping", "x": 1}) == word(5) + word(1)


SHARED_BIT_SCHEMA = {"constructors": [{"id": 1, "predicate": "o", "params": [
    {"name": "flags", "type": "#"},
    {"name": "a", "type": "flags.0?int"},
    {"name": "b", "type": "flags.0?string"},
    {"name": "c", "type": "flags.0?true"}]}]}


def test_shared_bit_parameters_are_written_together():
    parser = SorbParser(SHARED_BIT_SCHEMA)
    # c carries no bytes: its bit is its value, so it may be left out.
    both = parser.pack({"_": "o", "a": 1, "b": "x"})
    assert both == word(1) + word(1) + word(1) + b"\x01x\0\0"
    assert parser.unpack(both) == {"_": "o", "a": 1, "b": "x", "c": True}


@pytest.mark.parametrize("value", [{"_": "o", "a": 1}, {"_": "o", "a": 1, "b": None},
                                   {"_": "o", "b": "x", "a": None}])
def test_shared_bit_parameter_without_its_value_is_refused(value):
    # The set bit would make unpack read the missing one from what follows.
    missing = "b" if value.get("a") else "a"
    with pytest.raises(ValueError, match=f"^Parameter '{missing}' has no value"):
        SorbParser(SHARED_BIT_SCHEMA).pack(value)


@pytest.mark.parametrize("call, message", [
    (lambda p: p.pack(), "pack() takes exactly 1 positional argument (0 given)"),
    (lambda p: p.pack({}, {}), "pack() takes exactly 1 positional argument (2 given)"),
    (lambda p: p.pack(val={}), "pack() got an unexpected keyword argument 'val'"),
])
def test_pack_argument_errors(kinds, call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call(kinds)


def test_pack_accepts_its_keyword(kinds):
    assert kinds.pack(value={"_": "empty"}) == word(0x1C)


class Rewriter(HostileValue):
    """Sets or deletes the key "z" of the dict being packed while it is
    converted, then answers 5 (an iteration gives [5])."""

    def act(self):
        if self.action == "set":
            self.target["z"] = 99
        else:
            del self.target["z"]

    def items(self):
        return [5]


REWRITE_TYPES = ["int", "long", "double", "Bool", "Vector<int>"]
REWRITE_SCHEMA = {"constructors": [
    {"id": 1, "predicate": "outer", "params": [{"name": "inner", "type": "C"}, {"name": "z", "type": "int"}]},
] + [{"id": 2 + i, "predicate": t, "type": "C", "params": [{"name": "a", "type": t}, {"name": "z", "type": "int"}]}
     for i, t in enumerate(REWRITE_TYPES)]}


@pytest.mark.parametrize("kind", [dict, type("DictSubclass", (dict,), {})])
@pytest.mark.parametrize("action", ["set", "delete"])
@pytest.mark.parametrize("type_name", REWRITE_TYPES)
@pytest.mark.parametrize("nested", [False, True], ids=["same-object", "from-nested-object"])
def test_value_changed_by_a_conversion_hook_is_written_as_it_is_then(kind, action, type_name, nested):
    parser = SorbParser(REWRITE_SCHEMA)
    target = kind({"_": "outer", "z": 1} if nested else {"_": type_name, "z": 1})
    inner = {"_": type_name, "a": Rewriter(action, target, 5)}
    if nested:
        target["inner"] = inner
    else:
        target.update(inner)
    plain = {"_": type_name, "a": [5] if type_name.startswith("Vector") else 5}
    final = {"z": 99} if action == "set" else {}
    expected = parser.pack({"_": "outer", "inner": plain, **final} if nested else {**plain, **final})
    assert parser.pack(target) == expected
    if type_name == "int" and not nested:
        assert expected.hex() == "02000000" "05000000" + ("63000000" if action == "set" else "00000000")


MEMORY_LIMIT = """
import json, resource
from Vorlan.sorb import SorbParser
big = SorbParser({"constructors": [{"id": 1, "predicate": "big", "params": [
    {"name": "p%d" % i, "type": "int"} for i in range(500_000)]}]})
deep = SorbParser({"constructors": [{"id": 2, "predicate": "deep", "params": [
    {"name": "v", "type": "Vector<Vector" + "X" * (1 << 23) + ">"}]}]})
size = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize'))
limit = size * 1024 + (1 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    big.pack({"_": "big"})
    print("packed")
except MemoryError:
    print("MemoryError")
data = deep.pack({"_": "deep", "v": [[]]})
print(data.hex(), deep.unpack(data)["v"])
"""


def test_allocation_failures_in_pack_and_unpack_raise_memory_error():
    if "san" in os.environ.get("LD_PRELOAD", "") or not os.path.exists("/proc/self/status"):
        pytest.skip("needs an address-space limit, which the sanitizer runtimes cannot live with")
    if os.environ.get("VORLAN_EMULATED"):
        pytest.skip("the emulator does not enforce an address-space limit")
    # The interpreter's own small-object allocator and a fixed mmap
    # threshold: every large block is mapped on its own and unmapped when
    # freed, so none can come from a hole that freed objects left.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
    env.pop("PYTHONMALLOC", None)
    proc = subprocess.run([sys.executable, "-c", MEMORY_LIMIT], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError", "02000000" "15c4b51c" "01000000" "15c4b51c" "00000000",
                                   "[[]]"]


def test_a_parser_whose_construction_failed_refuses_every_use():
    kept = []

    class Keeper(SorbParser):
        def __del__(self):
            kept.append(self)

    # The second entry redefines "a" and then fails: the table holds a part.
    with pytest.raises(KeyError):
        Keeper({"constructors": [{"id": 1, "predicate": "a"},
                                 {"id": 2, "predicate": "a", "params": [{"name": "x"}]}]})
    gc.collect()
    parser = kept.pop()
    for use in (lambda: parser.pack({"_": "a"}), lambda: parser.unpack(word(1))):
        with pytest.raises(RuntimeError, match="construction failed"):
            use()
    Keeper.__del__ = lambda self: None


class Raising(dict):
    def __getitem__(self, key):
        raise LookupError(key)


DOT_SCHEMA = {"constructors": [{"id": 1, "predicate": ".dot", "type": "Dot", "params": [
    {"name": "flags", "type": "#"}, {"name": "text", "type": "flags.0?string"},
    {"name": "child", "type": "flags.1?Dot"}]}]}


@pytest.mark.parametrize("value, note", [
    ({"_": ".dot", "text": 5}, "while packing .dot.text"),
    (Raising({"_": ".dot", "text": "x"}), "while packing .dot.text"),
    ({"_": ".dot", "child": Raising({"_": ".dot", "text": "x"})}, "while packing .dot.child.text"),
])
def test_note_names_the_parameter_that_failed(value, note):
    with pytest.raises((TypeError, LookupError)) as info:
        SorbParser(DOT_SCHEMA).pack(value)
    assert info.value.__notes__ == [note]
