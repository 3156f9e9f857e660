"""Long loops of every operation, failing ones included, must not grow memory."""
import gc
import os
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
