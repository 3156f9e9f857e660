"""The sorb module as the host sees it: import, classes, pickling, lifetimes."""
import copy
import gc
import importlib
import json
import pickle
import sys
import traceback

import pytest

import Vorlan.sorb as sorb
from Vorlan.sorb import SorbParser, SorbSchemaCompiler

from sorb_examples import EXAMPLE_BYTES, EXAMPLE_DICT, EXAMPLE_SCHEMA, KINDS_SCHEMA, VECTOR, word


def test_module_exposes_its_two_classes_and_json():
    public = {name for name in vars(sorb) if not name.startswith("__")}
    assert public == {"SorbSchemaCompiler", "SorbParser", "json"}
    assert sorb.json is sys.modules["json"]
    assert sys.modules["Vorlan.sorb"] is sorb
    assert SorbParser.__module__ == "Vorlan.sorb"
    assert SorbSchemaCompiler.__qualname__ == "SorbSchemaCompiler"


def test_reimport_gives_the_same_module():
    del sys.modules["Vorlan.sorb"]
    try:
        again = importlib.import_module("Vorlan.sorb")
    finally:
        sys.modules["Vorlan.sorb"] = sorb
    assert again is sorb


def test_second_interpreter_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    code = (
        "try:\n"
        "    import Vorlan.sorb\n"
        "except ImportError as e:\n"
        "    assert str(e) == 'Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.', e\n"
        "else:\n"
        "    raise AssertionError('imported')\n"
    )
    assert _testcapi.run_in_subinterp(code) == 0


@pytest.mark.parametrize("make", [lambda: SorbParser(EXAMPLE_SCHEMA), SorbSchemaCompiler])
@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy,
                                 lambda o: o.__reduce__(), lambda o: o.__setstate__(None)])
def test_objects_cannot_be_pickled_or_copied(make, how):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        how(make())


@pytest.mark.parametrize("call, message", [
    (lambda: SorbParser(), "__cinit__() takes exactly 1 positional argument (0 given)"),
    (lambda: SorbParser("{}", "{}"), "__cinit__() takes exactly 1 positional argument (2 given)"),
    (lambda: SorbParser(schema="{}"), "__cinit__() got an unexpected keyword argument 'schema'"),
    (lambda: SorbParser("{}", schema_json="{}"),
     "__cinit__() got multiple values for keyword argument 'schema_json'"),
    (lambda: SorbParser(**{"schema_json": "{}", 1: 2}), None),
])
def test_constructor_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_keyword_argument_outlives_its_dict_being_cleared_during_the_call(monkeypatch):
    class Text(str):
        pass

    class Json:
        @property
        def loads(self):
            # Runs inside the constructor: empty the call's own keyword dict,
            # then hand the freed memory to fresh objects.
            for obj in gc.get_objects():
                if type(obj) is dict and type(obj.get("schema_json")) is Text:
                    obj.clear()
            self.junk = [Text("x" * len(EXAMPLE_SCHEMA)) for _ in range(100)]
            return json.loads

    monkeypatch.setattr(sorb, "json", Json())
    parser = SorbParser(**{"schema_json": Text(EXAMPLE_SCHEMA)})
    assert parser.unpack(EXAMPLE_BYTES) == EXAMPLE_DICT


def test_subclass_receives_the_same_arguments():
    class Mine(SorbParser):
        def __init__(self, schema_json):
            self.schema = schema_json

    parser = Mine(schema_json=EXAMPLE_SCHEMA)
    assert parser.schema == EXAMPLE_SCHEMA
    assert parser.unpack(EXAMPLE_BYTES) == EXAMPLE_DICT


def test_parsers_share_nothing():
    a = SorbParser(EXAMPLE_SCHEMA)
    b = SorbParser(EXAMPLE_SCHEMA)
    big = a.pack(dict(EXAMPLE_DICT, items=list(range(5000))))
    assert b.pack(EXAMPLE_DICT) == EXAMPLE_BYTES
    assert a.unpack(big)["items"] == list(range(5000))


def test_a_parsers_compiler_refuses_a_second_compile_even_from_a_hook_during_pack():
    parser = SorbParser({"constructors": [{"id": 1, "predicate": "c", "params": [
        {"name": "a", "type": "int"}, {"name": "b", "type": "string"}]}]})
    compiler, = [o for o in gc.get_referents(parser) if isinstance(o, SorbSchemaCompiler)]
    other = {"constructors": [{"id": 1, "predicate": "c", "params": []}]}

    class Hook:
        def __int__(self):
            compiler.compile(other)   # would free the table pack is walking
            return 5

    with pytest.raises(RuntimeError, match="belongs to a SorbParser"):
        parser.pack({"_": "c", "a": Hook(), "b": "x" * 100})
    with pytest.raises(RuntimeError, match="belongs to a SorbParser"):
        compiler.compile(other)
    assert parser.pack({"_": "c", "a": 1}).hex() == "01000000" "01000000" "00000000"


def test_parser_in_a_reference_cycle_is_collected():
    class Holder(SorbParser):
        pass

    parser = Holder(EXAMPLE_SCHEMA)
    parser.me = parser
    del parser
    gc.collect()


def test_import_turns_the_interpreter_lock_on_where_it_is_optional():
    # On a free-threaded host importing sorb enables the lock; elsewhere it
    # is always on.
    assert sys._is_gil_enabled()


def test_tracebacks_name_the_functions_an_error_passed_through():
    parser = SorbParser({"constructors": [
        {"id": 1, "predicate": "a", "params": [{"name": "v", "type": "Vector<b>"}]},
        {"id": 2, "predicate": "b"}]})
    with pytest.raises(ValueError) as info:
        parser.unpack(bytes.fromhex("01000000 15c4b51c 01000000 03000000"))
    entries = [(frame.filename, frame.name)
               for frame in traceback.extract_tb(info.value.__traceback__)[1:]]
    assert entries == [("src/Vorlan/modules/sorb/sorb", "Vorlan.sorb.SorbParser." + name)
                       for name in ["unpack", "_read_object", "_read_value", "_read_vector",
                                    "_read_value", "_read_object"]]


@pytest.mark.parametrize("op, arg, exc, note", [
    ("pack", {"_": "objects", "v": [{"_": "leaf"}, {"_": "node", "child": {"_": "bytes", "v": "x"}}]},
     TypeError, "while packing objects.v[1].child.v"),
    ("pack", {"_": "ints", "v": [1, 2, "x"]}, TypeError, "while packing element 2 of ints.v (Vector<int>)"),
    ("pack", {"_": "node", "child": None}, AttributeError, "while packing node.child"),
    ("pack", {"_": "nope"}, ValueError, None),
    ("unpack", word(0x17) + VECTOR + word(2) + word(0x19) + word(0x99), ValueError,
     "while reading element 1 of objects.v (Vector<Node>) at position 16"),
    ("unpack", word(0x18) + word(0x18) + word(0x77), ValueError,
     "while reading node.child.child (Node) at position 8"),
    ("unpack", word(0x1A) + VECTOR + word(1) + b"\x02\xff\xfe\0", UnicodeDecodeError,
     "while reading element 0 of strings.v (Vector<string>) at position 12"),
    ("unpack", word(0x16) + word(5), ValueError, "while reading ints.v (Vector<int>) at position 4"),
    ("unpack", word(0x77), ValueError, None),
])
def test_failures_carry_a_note_with_the_path_to_the_field(op, arg, exc, note):
    with pytest.raises(exc) as info:
        getattr(SorbParser(KINDS_SCHEMA), op)(arg)
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)
