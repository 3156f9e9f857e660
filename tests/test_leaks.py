"""Long loops of every operation, failing ones included, must not grow memory."""
import gc
import json
import os
import sys
import tracemalloc

import pytest

from Vorlan import ciphex
from Vorlan.sorb import SorbParser, SorbSchemaCompiler

from sorb_examples import EXAMPLE_BYTES, EXAMPLE_DICT, EXAMPLE_SCHEMA, KINDS_SCHEMA, word

ROUNDS = int(os.environ.get("VORLAN_LEAK_ROUNDS", "100000"))


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect_error(call, *args):
    try:
        call(*args)
    except (ValueError, TypeError, RuntimeError, OverflowError, AttributeError, KeyError,
            BufferError, SystemError, UnicodeError):
        pass


def sorb_round(example, kinds):
    example.unpack(EXAMPLE_BYTES)
    example.pack(EXAMPLE_DICT)
    expect_error(example.unpack, EXAMPLE_BYTES[:20])           # parse error
    expect_error(example.unpack, word(0x99))                   # unknown id
    expect_error(kinds.unpack, word(0x17) + word(0x1CB5C415) + word(1) + word(0x77))
    expect_error(kinds.pack, {"_": "objects", "v": [{"_": "leaf"}, {"_": "nope"}]})
    expect_error(kinds.pack, {"_": "ints", "v": [1, "x"]})
    expect_error(kinds.pack, {"_": "bytes", "v": "text"})
    SorbSchemaCompiler().compile(KINDS_SCHEMA)
    expect_error(SorbSchemaCompiler().compile, {"constructors": [{"predicate": "a"}, {"predicate": 3}]})
    expect_error(SorbParser, '{"constructors": [{"params": [{"name": "x"}]}]}')


def ciphex_round(key, data):
    ige = ciphex.AesIge256(key)
    ige.decrypt(ige.encrypt(data, key), key)
    cbc = ciphex.AesCbc256(key)
    buffer = bytearray(data)
    cbc.encrypt_into(buffer, key[:16])
    ctr = ciphex.AesCtr256(key, key[:16], 3)
    ctr.crypt(data[:37])
    ctr.seek(1000)
    expect_error(ige.encrypt, data[:15], key)
    expect_error(cbc.encrypt, data, key)
    expect_error(ctr.crypt_into, data)
    expect_error(ciphex.AesCtr256, key, key[:16], 99)
    expect_error(ciphex.AesIge256, memoryview(key)[:31])
    ciphex.features()


# The sanitizer's quarantine holds freed memory back on purpose.
@pytest.mark.skipif(os.environ.get("VORLAN_SANITIZED") == "1", reason="memory held by the sanitizer")
@pytest.mark.parametrize("name", ["sorb", "ciphex"])
def test_long_loops_do_not_grow_memory(name):
    example, kinds = SorbParser(EXAMPLE_SCHEMA), SorbParser(KINDS_SCHEMA)
    key, data = bytes(range(32)), bytes(range(256)) * 4

    def one():
        if name == "sorb":
            sorb_round(example, kinds)
        else:
            ciphex_round(key, data)

    rounds = max(ROUNDS // 10, 1000)   # each round makes about ten calls
    for _ in range(rounds // 10):       # warm up caches and free lists
        one()
    gc.collect()
    tracemalloc.start()
    before_traced = tracemalloc.get_traced_memory()[0]
    before_rss = rss_bytes()
    for _ in range(rounds):
        one()
    gc.collect()
    grown_traced = tracemalloc.get_traced_memory()[0] - before_traced
    grown_rss = rss_bytes() - before_rss
    tracemalloc.stop()
    # A leak of even one small object per round would show as megabytes.
    assert grown_traced < 256 * 1024, grown_traced
    assert grown_rss < 4 * 1024 * 1024, grown_rss


# ---- reference totals on the debug interpreter ----------------------------
# In the spirit of CPython's -R: each public operation, succeeding and on its
# error paths, is run for warm-up rounds (caches, free lists, the parser's
# buffer) and then for measured rounds, with the interpreter's reference
# total and allocated block count read between rounds. One reference or
# block kept per call shows in every measured round.

DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")
WARMUP_ROUNDS, MEASURED_ROUNDS, CALLS_PER_ROUND = 3, 4, 10


def ok(fn, *args, **kwargs):
    return lambda: fn(*args, **kwargs)


def fails(exc, fn, *args, **kwargs):
    """A call that must raise exc (so the error path really ran)."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")
    return call


class Exporter:
    """A bytes-like object made in Python, whose export may fail."""

    def __init__(self, data, fail=False):
        self.data, self.fail = data, fail

    def __buffer__(self, flags):
        if self.fail:
            raise ZeroDivisionError("export refused")
        return memoryview(self.data)

    def __release_buffer__(self, view):
        view.release()


class Hook:
    """A value whose conversion runs `act` first."""

    def __init__(self, act):
        self.act = act

    def __int__(self):
        self.act()
        return 1

    __index__ = __int__


def once_per_round(call):
    """For calls that take long (nesting down to the stack limit): one a
    round still shows a leak in every round."""
    call.calls_per_round = 1
    return call


def _raise():
    raise ZeroDivisionError("hook")


def _failed_construction(cls, *args):
    """An object whose construction raised, kept alive by its __del__."""
    kept = []
    keeper = type("Keeper", (cls,), {"__del__": lambda self: kept.append(self)})
    try:
        keeper(*args)
    except ValueError:
        pass
    gc.collect()
    obj = kept.pop()
    keeper.__del__ = lambda self: None
    return obj


def ciphex_cases():
    from Vorlan.ciphex import AesCbc256, AesCtr256, AesIge256

    key, iv16, iv32 = bytes(range(32)), bytes(16), bytes(32)
    data = bytes(range(256)) * 2
    ige, cbc, ctr = AesIge256(key), AesCbc256(key), AesCtr256(key, iv16, 3)
    ivs = {"ige": (ige, iv32), "cbc": (cbc, iv16)}
    failed_ctr = _failed_construction(AesCtr256, key, iv16, 99)
    failed_ige = _failed_construction(AesIge256, key[:5])
    cases = {
        "ige new": ok(AesIge256, key),
        "cbc new": ok(AesCbc256, key=memoryview(key)),
        "ctr new": ok(AesCtr256, key, iv16, 3),
        "ige new short key": fails(ValueError, AesIge256, key[:31]),
        "cbc new str key": fails(TypeError, AesCbc256, "k" * 32),
        "cbc new no key": fails(TypeError, AesCbc256),
        "ige new bad keyword": fails(TypeError, AesIge256, key, bogus=1),
        "ige new export fails": fails(ZeroDivisionError, AesIge256, Exporter(key, fail=True)),
        "ige new strided key": fails(BufferError, AesIge256, memoryview(key * 2)[::2]),
        "ctr new short iv": fails(ValueError, AesCtr256, key, iv16[:15]),
        "ctr new bad state": fails(ValueError, AesCtr256, key, iv16, 16),
        "ctr new huge state": fails((ValueError, OverflowError), AesCtr256, key, iv16, 2**70),
        "ctr new str state": fails(TypeError, AesCtr256, key, iv16, "1"),
        "ctr new extra": fails(TypeError, AesCtr256, key, iv16, 0, 0),
        "ctr crypt": ok(ctr.crypt, data[:37]),
        "ctr crypt exporter": ok(ctr.crypt, Exporter(data[:20])),
        "ctr crypt_into": ok(ctr.crypt_into, bytearray(data[:21])),
        "ctr crypt_into bytes": fails((TypeError, BufferError), ctr.crypt_into, data),
        "ctr crypt int": fails(TypeError, ctr.crypt, 5),
        "ctr crypt export fails": fails(ZeroDivisionError, ctr.crypt, Exporter(data, fail=True)),
        "ctr seek": ok(ctr.seek, 1000),
        "ctr seek hook": ok(ctr.seek, Hook(lambda: None)),
        "ctr seek negative": fails(ValueError, ctr.seek, -1),
        "ctr seek huge": fails((ValueError, OverflowError), ctr.seek, 2**64),
        "ctr seek str": fails(TypeError, ctr.seek, "1"),
        "ctr seek hook raises": fails(ZeroDivisionError, ctr.seek, Hook(_raise)),
        "ctr offset and state": ok(lambda: (ctr.offset, ctr.state)),
        "ctr failed construction": fails(RuntimeError, failed_ctr.crypt, data[:16]),
        "ige failed construction": fails(RuntimeError, failed_ige.encrypt, data, iv32),
        "ige reduce": fails(TypeError, ige.__reduce__),
        "features": ok(ciphex.features),
        "backend": ok(ciphex.backend),
        "backend_id": ok(ciphex.backend_id),
    }
    for mode, (obj, iv) in ivs.items():
        for op in ("encrypt", "decrypt"):
            into = getattr(obj, op + "_into")
            cases |= {
                f"{mode} {op}": ok(getattr(obj, op), data, iv),
                f"{mode} {op} keywords": ok(getattr(obj, op), iv=iv, data=memoryview(data)),
                f"{mode} {op}_into": ok(into, bytearray(data), iv),
                f"{mode} {op} short iv": fails(ValueError, getattr(obj, op), data, iv[:-1]),
                f"{mode} {op} ragged data": fails(ValueError, getattr(obj, op), data[:15], iv),
                f"{mode} {op} str data": fails(TypeError, getattr(obj, op), "x" * 16, iv),
                f"{mode} {op} iv export fails":
                    fails(ZeroDivisionError, getattr(obj, op), data, Exporter(iv, fail=True)),
                f"{mode} {op}_into bytes": fails((TypeError, BufferError), into, data, iv),
                f"{mode} {op}_into short iv": fails(ValueError, into, bytearray(data), iv[:-1]),
                f"{mode} {op} missing iv": fails(TypeError, getattr(obj, op), data),
            }
    return cases


SHARED_BIT_SCHEMA = {"constructors": [{"id": 1, "predicate": "o", "params": [
    {"name": "flags", "type": "#"},
    {"name": "a", "type": "flags.0?int"},
    {"name": "b", "type": "flags.0?string"}]}]}


def sorb_cases():
    from sorb_examples import VECTOR

    example, kinds, shared = (SorbParser(EXAMPLE_SCHEMA), SorbParser(KINDS_SCHEMA),
                              SorbParser(SHARED_BIT_SCHEMA))
    compiler = SorbSchemaCompiler()
    schema_dict = json.loads(KINDS_SCHEMA)
    deep_dict = {"_": "leaf"}
    for _ in range(100_000):
        deep_dict = {"_": "node", "child": deep_dict}
    values = {
        "int": -5, "long": 2**62, "double": 0.5, "string": "héllo" * 60, "bytes": b"\x01" * 300,
        "bool": True, "ints": list(range(50)), "strings": ["a", "bc", ""],
        "objects": [{"_": "leaf"}, {"_": "node", "child": {"_": "leaf"}}],
        "nested": [[[], []], []],
    }
    cases = {
        "compile text": ok(compiler.compile, KINDS_SCHEMA),
        "compile dict": ok(compiler.compile, schema_dict),
        "compile bad json": fails(json.JSONDecodeError, compiler.compile, "{"),
        "compile list": fails(TypeError, compiler.compile, "[]"),
        "compile bad entry": fails(TypeError, compiler.compile, {"constructors": [1]}),
        "compile bad name": fails(UnicodeEncodeError, compiler.compile,
                                  {"constructors": [{"predicate": "\ud800"}]}),
        "compile param without type": fails(KeyError, compiler.compile, {"constructors": [
            {"predicate": "a", "params": [{"name": "x"}]}]}),
        "compile bad flag bit": fails(ValueError, compiler.compile, {"constructors": [
            {"predicate": "a", "params": [{"name": "x", "type": "flags.x?int"}]}]}),
        "compile id out of range": fails(OverflowError, compiler.compile, {"constructors": [
            {"predicate": "a", "id": 2**32}]}),
        "compile no argument": fails(TypeError, compiler.compile),
        "parser new": ok(SorbParser, EXAMPLE_SCHEMA),
        "parser new dict": ok(SorbParser, schema_json=schema_dict),
        "parser new bad schema": fails(KeyError, SorbParser,
                                       '{"constructors": [{"params": [{"name": "x"}]}]}'),
        "parser new no schema": fails(TypeError, SorbParser),
        "parser new bad keyword": fails(TypeError, SorbParser, schema="{}"),
        "parser reduce": fails(TypeError, example.__reduce__),
        "pack example": ok(example.pack, EXAMPLE_DICT),
        "unpack example": ok(example.unpack, EXAMPLE_BYTES),
        "pack not a dict": fails((TypeError, AttributeError), example.pack, [1]),
        "pack without name": fails(ValueError, example.pack, {"count": 1}),
        "pack unknown name": fails(ValueError, kinds.pack, {"_": "nope"}),
        "pack int as str": fails(TypeError, kinds.pack, {"_": "int", "v": "1"}),
        "pack int too big": fails(OverflowError, kinds.pack, {"_": "int", "v": 2**32}),
        "pack long too big": fails(OverflowError, kinds.pack, {"_": "long", "v": 2**64}),
        "pack double as str": fails(TypeError, kinds.pack, {"_": "double", "v": "x"}),
        "pack bytes as str": fails(TypeError, kinds.pack, {"_": "bytes", "v": "text"}),
        "pack string as int": fails(TypeError, kinds.pack, {"_": "string", "v": 5}),
        "pack lone surrogate": fails(UnicodeEncodeError, kinds.pack, {"_": "string", "v": "\ud800"}),
        "pack bytes too long": fails(ValueError, kinds.pack, {"_": "bytes", "v": bytes(1 << 24)}),
        "pack vector element (note)": fails(TypeError, kinds.pack, {"_": "ints", "v": [1, "x"]}),
        "pack nested field (note)": fails(TypeError, kinds.pack, {"_": "objects", "v": [
            {"_": "leaf"}, {"_": "node", "child": {"_": "bytes", "v": "x"}}]}),
        "pack nested unknown (note)": fails(ValueError, kinds.pack, {"_": "objects", "v": [
            {"_": "nope"}]}),
        "pack child None (note)": fails(AttributeError, kinds.pack, {"_": "node", "child": None}),
        "pack vector not iterable": fails(TypeError, kinds.pack, {"_": "ints", "v": 5}),
        "pack shared bit missing": fails(ValueError, shared.pack, {"_": "o", "a": 1}),
        "pack hook": ok(kinds.pack, {"_": "int", "v": Hook(lambda: None)}),
        "pack hook raises": fails(ZeroDivisionError, kinds.pack, {"_": "ints", "v": [Hook(_raise)]}),
        "pack reentrant": fails(RuntimeError, kinds.pack, {"_": "int", "v": Hook(
            lambda: kinds.unpack(EXAMPLE_BYTES))}),
        "pack too deep": once_per_round(fails(RecursionError, kinds.pack, deep_dict)),
        "unpack truncated": fails(RuntimeError, example.unpack, EXAMPLE_BYTES[:-2]),
        "unpack unknown id": fails(ValueError, example.unpack, word(0x99)),
        "unpack bad vector id": fails(ValueError, kinds.unpack, word(0x16) + word(5)),
        "unpack element unknown (note)": fails(ValueError, kinds.unpack,
                                               word(0x17) + VECTOR + word(2) + word(0x19) + word(0x99)),
        "unpack bad utf-8 (note)": fails(UnicodeDecodeError, kinds.unpack,
                                         word(0x1A) + VECTOR + word(1) + b"\x02\xff\xfe\0"),
        "unpack long claimed count": fails(RuntimeError, kinds.unpack,
                                           word(0x16) + VECTOR + word(10**9) + word(1)),
        "unpack too deep": once_per_round(fails(RecursionError, kinds.unpack,
                                                 word(0x18) * 100_000 + word(0x19))),
        "unpack bytearray": fails(TypeError, example.unpack, bytearray(EXAMPLE_BYTES)),
        "unpack no argument": fails(TypeError, example.unpack),
    }
    for name, value in values.items():
        message = kinds.pack({"_": name, "v": value})
        cases[f"pack {name}"] = ok(kinds.pack, {"_": name, "v": value})
        cases[f"unpack {name}"] = ok(kinds.unpack, message)
    return cases


def leak_deltas(call):
    """The growth of the reference total and of the allocated blocks over
    each measured round."""
    refs_grown, blocks_grown = [0] * MEASURED_ROUNDS, [0] * MEASURED_ROUNDS
    refs_before = blocks_before = 0
    calls = getattr(call, "calls_per_round", CALLS_PER_ROUND)
    for round_ in range(WARMUP_ROUNDS + MEASURED_ROUNDS):
        for _ in range(calls):
            call()
        # The type cache keeps the attribute names it last saw, made fresh
        # by each call that names a method in C; -R clears it too.
        sys._clear_internal_caches()
        gc.collect()
        blocks_after = sys.getallocatedblocks()
        refs_after = sys.gettotalrefcount()
        if round_ >= WARMUP_ROUNDS:
            # Stored as small ints, which are never allocated, so that the
            # record itself keeps nothing new between two readings.
            refs_grown[round_ - WARMUP_ROUNDS] = max(-5, min(256, refs_after - refs_before))
            blocks_grown[round_ - WARMUP_ROUNDS] = max(-5, min(256, blocks_after - blocks_before))
        refs_before, blocks_before = refs_after, blocks_after
    return refs_grown, blocks_grown


CASES = {"ciphex": ciphex_cases, "sorb": sorb_cases}


@pytest.mark.skipif(not DEBUG_INTERPRETER, reason="reference totals need the debug interpreter")
@pytest.mark.parametrize("module", CASES)
def test_no_operation_keeps_references_or_blocks(module):
    leaking = {}
    cases = CASES[module]()
    # Collections then scan only what the cases made, not the whole suite.
    gc.collect()
    gc.freeze()
    try:
        for name, call in cases.items():
            refs, blocks = leak_deltas(call)
            # As -R judges it: growth in every round, or blocks moving by
            # more than the free lists' jitter.
            if all(d > 0 for d in refs) or all(d > 0 for d in blocks) or max(map(abs, blocks)) > 1:
                leaking[name] = (refs, blocks)
    finally:
        gc.unfreeze()
    assert not leaking, "; ".join(f"{name}: refs {refs}, blocks {blocks}"
                                  for name, (refs, blocks) in leaking.items())


def test_modules_count_references_as_the_interpreter_does():
    # A module built against headers without Py_DEBUG loads into the debug
    # interpreter too, but leaves its references out of the totals above.
    import Vorlan.sorb
    for module in (ciphex, Vorlan.sorb):
        with open(module.__file__, "rb") as library:
            counts_references = b"_Py_INCREF_IncRefTotal" in library.read()
        assert counts_references == DEBUG_INTERPRETER, module.__file__
