"""Shared pieces of the sorb fuzz drivers: the wire model as oracle, the
outcome of a call as something comparable, and values decoded from the
fuzzer's bytes.

A driver raises (which the host turns into a crash report) only when the
module disagrees with the model or raises what it must not.
"""
import re
import struct

import rpc_schema
import wire_model as wm
from Vorlan.sorb import SorbParser

REALISTIC = rpc_schema.schema_json()
PARSER = SorbParser(REALISTIC)
MODEL = wm.Model(REALISTIC)
SMALL = rpc_schema.small_message()
SMALL_BYTES = MODEL.pack(SMALL)

# What unpack may raise on bad input; the reader words its own errors so.
READ_ERRORS = ("RuntimeError", "ValueError", "UnicodeDecodeError", "SystemError", "RecursionError")
REPORTED = {
    "RuntimeError": re.compile(r"Parse error at position \d+"),
    "ValueError": re.compile(r"(Unknown constructor ID|Invalid vector ID): 0x[0-9a-f]{8}"),
}
PACK_ERRORS = (TypeError, ValueError, OverflowError, AttributeError, UnicodeEncodeError,
               RecursionError)


class Found(AssertionError):
    """A fault: the module did what it must not."""


def expect(condition, *what):
    if not condition:
        raise Found(*what)


def outcome(unpack, data):
    """("dict", value) or (exception name, message)."""
    try:
        return ("dict", unpack(data))
    except (RuntimeError, ValueError, SystemError) as error:
        name = type(error).__name__
        if name not in READ_ERRORS:
            raise
        return (name, "" if name == "SystemError" else str(error))


def pack_outcome(pack, value):
    try:
        return ("bytes", pack(value))
    except PACK_ERRORS as error:
        return (type(error).__name__, None)


def check_usable(parser=PARSER):
    if parser is PARSER:
        expect(PARSER.unpack(SMALL_BYTES) == SMALL, "parser unusable after a failure")
        expect(PARSER.pack(SMALL) == SMALL_BYTES, "parser unusable after a failure")


def reads_like_model(data, parser=PARSER, model=MODEL):
    """Unpacks natively and with the model; they must agree on the result or
    on the exception and its message. Returns the native outcome."""
    native = outcome(parser.unpack, data)
    name, message = native
    if name in REPORTED:
        expect(REPORTED[name].fullmatch(message), native)
    predicted = outcome(model.unpack, data)
    if name != "RecursionError" and predicted[0] != "RecursionError":
        # (the two stop deep nesting at different depths)
        expect(name == predicted[0], data.hex(), native, predicted)
        if name == "dict":
            expect(wm.same(native[1], predicted[1]), data.hex())
        else:
            expect(message == predicted[1], data.hex(), native, predicted)
    if name != "dict":
        check_usable(parser)
    return native


def packs_like_model(value, parser=PARSER, model=MODEL):
    """Packs natively and with the model: the same bytes or the same kind of
    exception; what packs must then read like the model too. Returns the
    native outcome of the pack and, if it packed, of reading it back."""
    native = pack_outcome(parser.pack, value)
    predicted = pack_outcome(model.pack, value)
    if native[0] == "RecursionError" or predicted[0] == "RecursionError":
        # (no model to judge by; the native reading still counts)
        return native, outcome(parser.unpack, native[1]) if native[0] == "bytes" else None
    expect(native == predicted, native, predicted)
    if native[0] != "bytes":
        check_usable(parser)
        return native, None
    expect(len(native[1]) % 4 == 0, "unaligned message")
    return native, reads_like_model(native[1], parser, model)


class Stream:
    """The fuzzer's bytes read as a sequence of choices; zeros once they
    run out, so every input decodes to something."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        piece = self.data[self.pos:self.pos + n]
        self.pos += len(piece)
        return piece.ljust(n, b"\0")

    def choice(self, options):
        return options[self.byte() % len(options)]

    def left(self):
        return len(self.data) - self.pos


INT_EDGES = (0, 1, -1, 7, 2**31 - 1, -2**31, 2**31, 2**32 - 1, -2**31 - 1, 3.9, -0.5, True,
             2**64, "1", None, 2**32)
LONG_EDGES = (0, 1, 2**63, 2**64 - 1, 2**64, -1, 2**32, 2.5, False, None)
SIZES = (0, 1, 2, 3, 4, 5, 253, 254, 255, 256, 300)
TRUTHS = (True, False, 1, 0, 2.5, "", "x", None, [], [0])


def scalar(stream, code):
    """A value for a scalar type code: mostly the right kind, often an edge."""
    pick = stream.byte()
    if code == wm.INT:
        return INT_EDGES[pick % len(INT_EDGES)] if pick < 96 else \
            struct.unpack("<i", stream.take(4))[0]
    if code == wm.LONG:
        return LONG_EDGES[pick % len(LONG_EDGES)] if pick < 64 else \
            struct.unpack("<Q", stream.take(8))[0]
    if code == wm.DOUBLE:
        return (0, -1, 2**53, 2**1100)[pick % 4] if pick < 32 else \
            struct.unpack("<d", stream.take(8))[0]
    if code in (wm.STRING, wm.BYTES):
        n = SIZES[pick % len(SIZES)] if pick < 128 else pick % 24
        raw = stream.take(min(n, stream.left())) + bytes(max(0, n - stream.left()))
        if code == wm.BYTES:
            return raw if pick % 17 else raw.decode("latin-1")  # a str where bytes belong
        # Lone surrogates survive decoding here and must be refused by pack.
        text = raw.decode("utf-8", "surrogatepass" if pick % 5 else "replace") \
            if _decodes(raw) else raw.decode("latin-1")
        return text if pick % 19 else raw  # bytes where a str belongs
    if code == wm.BOOL:
        return TRUTHS[pick % len(TRUTHS)]
    return None


def _decodes(raw):
    try:
        raw.decode("utf-8", "surrogatepass")
        return True
    except UnicodeDecodeError:
        return False


class Builder:
    """Dicts for a compiled model, decoded from a stream: every parameter
    given a value of its kind, left out, set to None, or given a value of
    the wrong kind; nested objects drawn from the producers of their type."""

    def __init__(self, model, hooks=None):
        self.model = model
        self.hooks = hooks
        self.producers = {}
        for entry in model.by_name.values():
            self.producers.setdefault(entry.result, []).append(entry)
        self.entries = list(model.by_name.values())

    def entry(self, stream):
        index = stream.byte() | stream.byte() << 8
        return self.entries[index % len(self.entries)]

    def object_of(self, stream, type_text, depth):
        kind = type_text.split("?")[-1] if "?" in type_text else type_text
        entries = self.producers.get(kind) or self.entries
        return self.build(stream, entries[stream.byte() % len(entries)], depth)

    def value(self, stream, code, type_text, depth):
        if code == wm.OBJECT:
            if depth <= 0:
                return {"_": None} if stream.byte() % 2 else None
            return self.object_of(stream, type_text, depth - 1)
        if code == wm.VECTOR:
            element_code, reduced = wm.element_type(type_text)
            n = 0 if depth <= 0 else stream.byte() % 5
            items = [self.value(stream, element_code, reduced or "", depth - 1) for _ in range(n)]
            return tuple(items) if stream.byte() % 4 == 0 else items
        return scalar(stream, code)

    def odd(self, stream, depth):
        """A value of any kind, for any parameter."""
        code = stream.byte() % 8
        return self.value(stream, code, "Vector<int>" if code == wm.VECTOR else "", depth)

    def build(self, stream, entry, depth):
        obj = {"_": entry.name}
        for p in entry.params:
            op = stream.byte() % 16
            if p.word:
                if op == 0:
                    obj[p.name] = scalar(stream, wm.INT)  # stale word, ignored
                continue
            if op == 0:
                continue  # missing
            if op == 1:
                obj[p.name] = None
            elif op == 2:
                obj[p.name] = self.odd(stream, depth)
            elif op == 3 and self.hooks is not None:
                obj[p.name] = self.hooks(stream, obj)
            else:
                obj[p.name] = self.value(stream, p.code, p.type_text, depth)
        op = stream.byte()
        if op < 8:
            obj["not_a_param"] = op
        elif op < 12:
            obj["_"] = (None, "", 5, "no such constructor")[op - 8]
        return obj
