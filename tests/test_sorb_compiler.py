"""The schema compiler: what compiles, and every way a schema is refused."""
import json
import os
import subprocess
import sys

import pytest

from Vorlan.sorb import SorbParser, SorbSchemaCompiler

from sorb_examples import word


def compile_ok(schema):
    compiler = SorbSchemaCompiler()
    assert compiler.compile(schema) is None
    return compiler


def one_entry(**entry):
    return {"constructors": [entry]}


def test_worked_example_ids_names_and_methods():
    schema = {
        "constructors": [{"id": "-2", "predicate": "pair", "type": "Pair", "params": [
            {"name": "flags", "type": "#"},
            {"name": "left", "type": "int"},
            {"name": "right", "type": "flags.0?string"}]}],
        "methods": [{"id": 16, "method": "ping", "type": "Pong",
                     "params": [{"name": "ids", "type": "Vector<long>"}]}],
    }
    parser = SorbParser(json.dumps(schema))
    pair = parser.pack({"_": "pair", "left": 3, "right": "r"})
    assert pair == bytes.fromhex("feffffff 01000000 03000000 01720000")
    assert parser.unpack(pair) == {"_": "pair", "left": 3, "right": "r"}
    ping = parser.pack({"_": "ping", "ids": [1]})
    assert ping == bytes.fromhex("10000000 15c4b51c 01000000 0100000000000000")
    assert parser.unpack(ping) == {"_": "ping", "ids": [1]}


@pytest.mark.parametrize("json_data", ["{}", {}, '{"constructors": [], "methods": []}'])
def test_empty_schema_compiles(json_data):
    compile_ok(json_data)


def test_dict_argument_gets_methods_appended_to_its_constructors_list():
    constructors = [{"id": 1, "predicate": "a"}]
    methods = [{"id": 2, "method": "b"}]
    compile_ok({"constructors": constructors, "methods": methods})
    assert [e["id"] for e in constructors] == [1, 2]


class Weird(str):
    pass


@pytest.mark.parametrize("json_data, exc, message", [
    ("null", AttributeError, "'NoneType' object has no attribute 'get'"),
    (None, AttributeError, "'NoneType' object has no attribute 'get'"),
    ("[]", TypeError, "Expected dict, got list"),
    (b"{}", TypeError, "Expected dict, got bytes"),
    ({"constructors": {}}, TypeError, "Expected list, got dict"),
    ({"constructors": None}, AttributeError, "'NoneType' object has no attribute 'extend'"),
    ({"methods": None}, TypeError, "'NoneType' object is not iterable"),
    ({"constructors": [1]}, TypeError, "Expected dict, got int"),
    ({"constructors": [None]}, AttributeError, "'NoneType' object has no attribute 'get'"),
    (one_entry(predicate=1), TypeError, "Expected str, got int"),
    (one_entry(predicate=Weird("x")), TypeError, "Expected str, got Weird"),
    (one_entry(predicate=None), AttributeError, "'NoneType' object has no attribute 'encode'"),
    (one_entry(predicate="a", type=3), TypeError, "Expected str, got int"),
    (one_entry(predicate="a", params=()), TypeError, "Expected list, got tuple"),
    (one_entry(predicate="a", params=None), TypeError, "object of type 'NoneType' has no len()"),
    (one_entry(predicate="a", params=[None]), TypeError, "'NoneType' object is not subscriptable"),
    (one_entry(predicate="a", params=[[]]), TypeError, "Expected dict, got list"),
    (one_entry(predicate="a", params=[{"type": "int"}]), KeyError, "'name'"),
    (one_entry(predicate="a", params=[{"name": "x"}]), KeyError, "'type'"),
    (one_entry(predicate="a", params=[{"name": None, "type": "int"}]),
     AttributeError, "'NoneType' object has no attribute 'encode'"),
    (one_entry(predicate="a", params=[{"name": "x", "type": None}]),
     TypeError, "argument of type 'NoneType' is not iterable"),
    (one_entry(predicate="a", params=[{"name": "x", "type": "a.b.c?int"}]),
     ValueError, "too many values to unpack (expected 2)"),
    (one_entry(predicate="a", params=[{"name": "x", "type": "flags.x?int"}]),
     ValueError, "invalid literal for int() with base 10: 'x'"),
    (one_entry(predicate="a", params=[{"name": "x", "type": "flags.2147483648?int"}]),
     OverflowError, None),
    (one_entry(predicate="a", params=[{"name": "x", "type": "flags.-2147483649?int"}]),
     OverflowError, None),
    (one_entry(predicate="a", id=4294967296), OverflowError, None),
    (one_entry(predicate="a", id="zz"), ValueError, None),
    (one_entry(predicate="\ud800"), UnicodeEncodeError, None),
    ("{", json.JSONDecodeError, None),
])
def test_bad_schema_is_refused_with_its_exception(json_data, exc, message):
    with pytest.raises(exc) as info:
        SorbSchemaCompiler().compile(json_data)
    if message is not None:
        assert str(info.value) == message
    # A parser built from the same schema fails the same way.
    with pytest.raises(exc):
        SorbParser(json_data)


@pytest.mark.parametrize("raw_id, wire", [
    (None, "00000000"),           # missing
    ("-2", "feffffff"),
    (-2, "feffffff"),
    (-1, "ffffffff"),
    (-4294967291, "05000000"),
    (4294967295, "ffffffff"),
    (7.9, "07000000"),
    (True, "01000000"),
    ("0012", "0c000000"),
    (" +7 ", "07000000"),         # texts int() reads beyond plain digits
    ("1_0", "0a000000"),
    ("\u0667", "07000000"),
])
def test_ids_are_reduced_to_32_bits(raw_id, wire):
    entry = {"predicate": "a"}
    if raw_id is not None:
        entry["id"] = raw_id
    parser = SorbParser({"constructors": [entry]})
    assert parser.pack({"_": "a"}).hex() == wire
    assert parser.unpack(bytes.fromhex(wire)) == {"_": "a"}


@pytest.mark.parametrize("entry, name", [
    ({"predicate": "p", "method": "m", "type": "T"}, "p"),
    ({"method": "m", "type": "T"}, "m"),
    ({"type": "T"}, "T"),
])
def test_entry_name_falls_back_from_predicate_to_method_to_type(entry, name):
    parser = SorbParser({"constructors": [dict(entry, id=9)]})
    assert parser.unpack(b"\x09\0\0\0") == {"_": name}


def test_entry_without_any_name_has_the_empty_name():
    parser = SorbParser({"constructors": [{"id": 9}]})
    assert parser.unpack(b"\x09\0\0\0") == {"_": ""}


def test_later_duplicates_win_each_map_independently():
    parser = SorbParser({
        "constructors": [{"id": 1, "predicate": "a", "params": [{"name": "x", "type": "int"}]},
                         {"id": 2, "predicate": "a"}],
        "methods": [{"id": 1, "method": "b"}],
    })
    assert parser.unpack(b"\x01\0\0\0") == {"_": "b"}      # the method took id 1
    assert parser.pack({"_": "a", "x": 5}) == b"\x02\0\0\0"  # the second "a" took the name


@pytest.mark.parametrize("ptype, flags, payload, expected", [
    # Conditions select a bit of the first word, or of flags2.
    ("flags.3?int", 8, "05000000", 5),
    ("flags.3?int", 0, "", None),
    ("flags.35?int", 8, "05000000", 5),        # bit numbers wrap at 32
    ("flags.0?true", 1, "", True),
    ("flags?int", 1, "05000000", 5),          # no dot: bit 0 of the first word
    ("flags. +0_3?int", 8, "05000000", 5),    # bits read as int() reads them
    ("flags.\u0663?int", 8, "05000000", 5),
    ("flags.-1?int", 1 << 31, "05000000", 5),
    ("x.1?y?z", 2, "02000000", {"_": "y"}),    # classified by the middle piece
])
def test_conditional_parameters(ptype, flags, payload, expected):
    parser = SorbParser({"constructors": [
        {"id": 1, "predicate": "obj", "params": [{"name": "flags", "type": "#"},
                                                 {"name": "v", "type": ptype}]},
        {"id": 2, "predicate": "y"},
    ]})
    data = bytes.fromhex("01000000") + flags.to_bytes(4, "little") + bytes.fromhex(payload)
    assert parser.unpack(data) == {"_": "obj", "v": expected}


def test_flags2_guards_its_own_parameters():
    parser = SorbParser({"constructors": [{"id": 1, "predicate": "o", "params": [
        {"name": "flags", "type": "#"}, {"name": "flags2", "type": "#"},
        {"name": "a", "type": "flags.0?int"}, {"name": "b", "type": "flags2.0?int"},
        {"name": "c", "type": "flags2.1?true"}]}]})
    data = parser.pack({"_": "o", "b": 7, "c": True})
    assert data.hex() == "01000000" "00000000" "03000000" "07000000"
    assert parser.unpack(data) == {"_": "o", "a": None, "b": 7, "c": True}


@pytest.mark.parametrize("ptype, value, wire", [
    ("vector<int>", {"_": "e"}, "09000000"),   # case matters: an object
    ("bool", {"_": "e"}, "09000000"),
    ("Int", {"_": "e"}, "09000000"),
    ("int128", {"_": "e"}, "09000000"),
    ("#", 1, "01000000"),
    ("byte", b"\x01", "01010000"),
    ("true", True, "01000000"),
    ("Vector", [[]], "15c4b51c0100000015c4b51c00000000"),  # a bare Vector nests vectors
    ("Vector<Vector<long>>", [2], "15c4b51c010000000200000000000000"),
])
def test_type_texts_are_classified_case_sensitively(ptype, value, wire):
    parser = SorbParser({"constructors": [
        {"id": 1, "predicate": "o", "params": [{"name": "v", "type": ptype}]},
        {"id": 9, "predicate": "e"}]})
    data = parser.pack({"_": "o", "v": value})
    assert data.hex() == "01000000" + wire
    assert parser.unpack(data) == {"_": "o", "v": value}


def test_failure_midway_keeps_earlier_entries_usable():
    compiler = SorbSchemaCompiler()
    schema = {"constructors": [{"id": 1, "predicate": "a"}, {"id": 2, "predicate": 5}]}
    with pytest.raises(TypeError):
        compiler.compile(schema)
    del compiler   # releases a partly filled table


def test_parameter_list_shrunk_while_compiling_keeps_only_the_built_parameters():
    params = []

    class Name(str):
        # Hashed like "name", so looking that key up runs this __eq__.
        def __hash__(self):
            return hash("name")

        def __eq__(self, other):
            del params[1:]
            return str.__eq__(self, other)

    params.extend([{Name("name"): "a", "type": "int"}, {"name": "b", "type": "int"},
                   {"name": "c", "type": "int"}])
    parser = SorbParser({"constructors": [{"id": 1, "predicate": "o", "params": params}]})
    assert parser.unpack(word(1) + word(5) + word(6) + word(7)) == {"_": "o", "a": 5}
    assert parser.pack({"_": "o", "a": 5, "b": 6}) == word(1) + word(5)


def test_compile_leaves_the_callers_name_strings_uninterned():
    name = "".join(["param_", "seen_nowhere_else"])
    compile_ok(one_entry(id=1, predicate="o", params=[{"name": name, "type": "int"}]))
    # Interned in place, the caller's object would be what sys.intern finds
    # for an equal string (and immortal on a free-threaded host).
    assert sys.intern("".join(["param_", "seen_nowhere_else"])) is not name


def test_repeat_compile_keeps_entries_of_the_earlier_table_valid():
    compiler = SorbSchemaCompiler()
    for i in range(50):
        # New ids and names, then ids and names that repeat on different
        # cycles: an earlier table stays reached by an id alone or a name
        # alone, or by nothing (and is then freed).
        key = i if i < 20 else i % 3
        compiler.compile({"constructors": [{"id": key, "predicate": f"c{i if i < 20 else i % 5}",
                                            "params": [{"name": "x", "type": "string"}]}]})
    # Nothing observable from Python besides not crashing; run under the
    # sanitizer build this catches use of a released table.
    del compiler


def test_compile_reentered_from_an_id_conversion_is_refused():
    compiler = SorbSchemaCompiler()

    class Id:
        def __int__(self):
            compiler.compile("{}")
            return 1

    with pytest.raises(RuntimeError, match="already running"):
        compiler.compile({"constructors": [{"predicate": "a", "id": Id()}]})
    compiler.compile("{}")   # usable afterwards


def test_compiler_ignores_constructor_arguments():
    SorbSchemaCompiler(1, 2, x=3)


@pytest.mark.parametrize("call, message", [
    (lambda c: c.compile(), "compile() takes exactly 1 positional argument (0 given)"),
    (lambda c: c.compile("{}", "{}"), "compile() takes exactly 1 positional argument (2 given)"),
    (lambda c: c.compile(x="{}"), "compile() got an unexpected keyword argument 'x'"),
    (lambda c: c.compile("{}", json_data="{}"),
     "compile() got multiple values for keyword argument 'json_data'"),
])
def test_compile_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(SorbSchemaCompiler())
    assert str(info.value) == message


def test_compile_accepts_its_keyword():
    SorbSchemaCompiler().compile(json_data="{}")


TABLE_ALLOCATION_FAILURE = """
import resource
from Vorlan.sorb import SorbParser, SorbSchemaCompiler
defs = [None] * 20_000_000  # 160 MB of list; the tables would need over a GB
size = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize'))
limit = size * 1024 + (256 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
for schema in ({"constructors": defs}, {"constructors": [{"predicate": "a", "params": defs}]}):
    compiler = SorbSchemaCompiler()
    try:
        compiler.compile(schema)
        print("no-error")
    except MemoryError as error:
        print(str(error).replace(" ", "-"))
    compiler.compile('{"constructors": [{"id": 1, "predicate": "a"}]}')
    del compiler
print(SorbParser('{"constructors": [{"id": 1, "predicate": "a"}]}').unpack(b"\\1\\0\\0\\0"))
"""


def test_tables_that_cannot_be_allocated_raise_memory_error_and_leave_the_compiler_usable():
    if "san" in os.environ.get("LD_PRELOAD", "") or not os.path.exists("/proc/self/status"):
        pytest.skip("needs an address-space limit, which the sanitizer runtimes cannot live with")
    if os.environ.get("VORLAN_EMULATED"):
        pytest.skip("the emulator does not enforce an address-space limit")
    proc = subprocess.run([sys.executable, "-c", TABLE_ALLOCATION_FAILURE], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["Cannot-allocate-memory-for-constructors",
                                   "Cannot-allocate-memory-for-parameters", "{'_':", "'a'}"]
