"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/,
from the test suite's sample messages and schemas. The committed corpus
began as these seeds and was then grown and minimised by `make fuzz` and
`make fuzz-merge`. Run from the repository root: python3.14 fuzz/make_seeds.py
"""
import hashlib
import json
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import rpc_schema  # noqa: E402
import sorb_examples  # noqa: E402
import wire_model as wm  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, data):
    folder = os.path.join(OUT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, hashlib.sha1(data).hexdigest()), "wb") as f:
        f.write(data)


def word(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def main():
    model = wm.Model(rpc_schema.schema_json())
    vec = word(wm.VECTOR_ID)
    # unpack: the first byte picks the schema (0 realistic, 1 bare Vector,
    # 2 two flags words, 3 nesting, 4 one constructor per kind).
    write("sorb_unpack", b"\0" + model.pack(rpc_schema.small_message()))
    write("sorb_unpack", b"\0" + model.pack(rpc_schema.typical_message()))
    write("sorb_unpack", b"\1" + word(0x10) + (vec + word(1)) * 6 + vec + word(0))
    write("sorb_unpack", b"\2" + word(0x20) + word(3) + word(5) + word(0x80000061)
          + bytes(8) + b"\2hi\0" + vec + word(1) + b"\1x\0\0" + vec + word(1) + bytes(8) + word(0x21))
    write("sorb_unpack", b"\3" + word(0x30) + word(3) + word(0x31) + word(0x32) + vec + word(1)
          + word(0x32) + b"\1t\0\0" + vec + word(0))
    kinds = wm.Model(sorb_examples.KINDS_SCHEMA)
    for value in ({"_": "double", "v": 1.5}, {"_": "strings", "v": ["a", "bc"]},
                  {"_": "objects", "v": [{"_": "node", "child": {"_": "leaf"}}]},
                  {"_": "nested", "v": [[[]], []]}, {"_": "bytes", "v": b"x" * 254}):
        write("sorb_unpack", b"\4" + kinds.pack(value))

    # compile: schema text, NUL, payload.
    write("sorb_compile", sorb_examples.EXAMPLE_SCHEMA.encode() + b"\0" + sorb_examples.EXAMPLE_BYTES)
    write("sorb_compile", sorb_examples.KINDS_SCHEMA.encode() + b"\0" + word(0x17) + vec + word(1)
          + word(0x18) + word(0x19))
    some = rpc_schema.schema()
    part = {"constructors": some["constructors"][:12], "methods": some["methods"][:3]}
    write("sorb_compile", json.dumps(part).encode() + b"\0" + bytes(range(64)))
    write("sorb_compile", json.dumps({"constructors": [{"id": -2, "predicate": "pair", "type": "Pair",
        "params": [{"name": "flags", "type": "#"}, {"name": "left", "type": "int"},
                   {"name": "right", "type": "flags.0?string"}]}],
        "methods": [{"id": "16", "method": "ping", "type": "Pong",
                     "params": [{"name": "ids", "type": "Vector<long>"}]}]}).encode()
          + b"\0" + word(0xFFFFFFFE) + word(1) + word(7) + b"\1a\0\0")

    # pack: hook switch, entry index (2 bytes), depth, then choices; 5s and
    # 9s ask for values of the right kind.
    names = [e.name for e in model.by_name.values()]
    for name in ("messages.sendMessage", "messages.messagesSlice", "message", "user",
                 "textConcat", "photo"):
        index = names.index(name)
        write("sorb_pack", b"\1" + struct.pack("<H", index) + b"\3" + b"\5\x99\x09" * 60)
    write("sorb_pack", b"\0" + struct.pack("<H", names.index("message")) + b"\2" + b"\3\x81" * 40)

    # ciphex: mode byte, key, then iv and data (IGE, CBC) or iv, start and
    # operations (CTR).
    key = bytes(range(32))
    for head in (0, 1, 3, 4, 3 * 2, 3 * 4 + 1):
        write("ciphex", bytes([head]) + key + bytes(range(100, 132)) + bytes(range(64)) * 3)
    ops = (b"\x01\x40\x00" b"\x00" + struct.pack("<Q", 17) + b"\x03\x33\x00"
           b"\x04" + struct.pack("<Q", 5) + b"\x07\x10\x00" b"\x0c" + struct.pack("<Q", 1)
           + b"\x02\xff\x01")
    write("ciphex", b"\x02" + key + bytes(16) + b"\x05" + ops)
    write("ciphex", b"\x02" + key + b"\xff" * 16 + b"\x00" + ops)


if __name__ == "__main__":
    main()
