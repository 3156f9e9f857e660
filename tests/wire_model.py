"""A pure-Python twin of sorb's wire form, used as an oracle by the tests.

It is written from the rules of the format, not from the C++ sources: a
schema compiles into plain records, `Model.pack` writes a dict and
`Model.unpack` reads bytes, including the reader's behaviour on bad input
(placeholders after the data runs out, the sticky end-of-data flag and the
position it reports, the exceptions that stop a read at once). It favours
plainness over speed.
"""
import json
import math
import struct
from dataclasses import dataclass

VECTOR_ID = 0x1CB5C415
MAX_BYTE_STRING = (1 << 24) - 1

INT, LONG, DOUBLE, STRING, BYTES, BOOL, VECTOR, OBJECT = range(8)

_EXACT_TYPES = {"int": INT, "#": INT, "long": LONG, "double": DOUBLE, "string": STRING,
                "bytes": BYTES, "byte": BYTES, "Bool": BOOL, "true": BOOL}


def classify(type_text):
    """Type code of a type text; a condition prefix "X.N?" is ignored."""
    if "?" in type_text:
        type_text = type_text.split("?")[1]
    if type_text in _EXACT_TYPES:
        return _EXACT_TYPES[type_text]
    return VECTOR if type_text.startswith("Vector") else OBJECT


def element_type(type_text):
    """(code, reduced text) of a vector's elements. Every "Vector<" and every
    ">" goes, so nested vectors flatten to their innermost type."""
    if type_text is None:
        return INT, None
    reduced = type_text.replace("Vector<", "").replace(">", "")
    return classify(reduced), reduced


def _c_string(text):
    """What survives the native side's NUL-terminated copies of a str."""
    return text.encode("utf-8").split(b"\0", 1)[0]


@dataclass(frozen=True)
class Param:
    name: str          # the dict key
    type_text: str     # as stored natively (cut at a NUL)
    code: int
    word: int          # 1: the "flags" word, 2: the "flags2" word, 0: a value
    conditional: bool
    bit: int
    second: bool       # guarded by flags2 rather than flags


@dataclass(frozen=True)
class Entry:
    id: int
    name: str
    result: str
    params: tuple


def _compile_param(p):
    name, ptype = p["name"], p["type"]
    stored = _c_string(name)
    word = {b"flags": 1, b"flags2": 2}.get(stored, 0)
    conditional, bit, second = "?" in ptype, 0, False
    if conditional:
        cond = ptype.split("?")[0]
        if "." in cond:
            pieces = cond.split(".")
            if len(pieces) != 2:
                raise ValueError("too many values to unpack (expected 2)")
            bit = int(pieces[1])
            if not -2**31 <= bit < 2**31:
                raise OverflowError("flag bit out of range")
            second = pieces[0] == "flags2"
    return Param(name, _c_string(ptype).decode("utf-8"), classify(ptype), word,
                 conditional, bit, second)


def _compile_entry(data):
    name = data.get("predicate", data.get("method", data.get("type", "")))
    result = data.get("type", "")
    raw = int(data.get("id", 0))
    if raw > 0xFFFFFFFF:
        raise OverflowError("id above 32 bits")
    name_text = _c_string(name).decode("utf-8")
    result_text = _c_string(result).decode("utf-8") if result else name_text
    params = tuple(_compile_param(p) for p in data.get("params", []))
    return Entry(raw & 0xFFFFFFFF, name_text, result_text, params)


class Model:
    """A compiled schema with the two directions of the wire form."""

    def __init__(self, schema):
        if isinstance(schema, str):
            schema = json.loads(schema)
        defs = list(schema.get("constructors", [])) + list(schema.get("methods", []))
        self.entries = [_compile_entry(d) for d in defs]
        # Later entries replace earlier ones in each map independently.
        self.by_id = {}
        self.by_name = {}
        for entry in self.entries:
            self.by_id[entry.id] = entry
            self.by_name[entry.name.encode("utf-8")] = entry

    def pack(self, value):
        writer = _Writer(self)
        writer.object(value)
        return bytes(writer.out)

    def unpack(self, data):
        if type(data) is not bytes:
            raise TypeError("unpack takes exactly bytes")
        reader = _Reader(self, data)
        result = reader.object()
        if reader.short:
            raise RuntimeError(f"Parse error at position {reader.pos}")
        return result


class _Reader:
    """Reads with the native reader's rules: a read that finds too few bytes
    sets `short` (which then stays set), leaves the position alone and gives
    a placeholder; only the caller of the whole read turns it into an error."""

    def __init__(self, model, data):
        self.model = model
        self.data = data
        self.pos = 0
        self.short = False

    def _fixed(self, size, fmt, placeholder):
        if self.pos + size > len(self.data):
            self.short = True
            return placeholder
        (value,) = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += size
        return value

    def u32(self):
        return self._fixed(4, "<I", 0)

    def u64(self):
        return self._fixed(8, "<Q", 0)

    def f64(self):
        return self._fixed(8, "<d", 0.0)

    def byte_string(self):
        start, n = self.pos, len(self.data)
        if start >= n:
            self.short = True
            return None
        length = self.data[start]
        self.pos = start + 1
        header = 1
        if length == 0xFE:
            if start + 4 > n:
                self.short = True
                return None
            length = int.from_bytes(self.data[start + 1:start + 4], "little")
            header = 4
            self.pos = start + 4
        end = start + header + length
        if end > n:
            self.short = True
            return None
        # Padding counts from the message start and may run past the end.
        self.pos = end + (-end % 4)
        return self.data[start + header:end]

    def value(self, code, type_text):
        if code == INT:
            return self.u32()
        if code == LONG:
            return self.u64()
        if code == DOUBLE:
            return self.f64()
        if code == STRING:
            raw = self.byte_string()
            return "" if raw is None else raw.decode("utf-8")
        if code == BYTES:
            raw = self.byte_string()
            return b"" if raw is None else raw
        if code == BOOL:
            return self.u32() != 0
        if code == VECTOR:
            return self.vector(type_text)
        if code == OBJECT:
            return self.object()
        self.short = True
        raise ValueError(f"Unknown type: {code}")

    def vector(self, type_text):
        vid = self.u32()
        if vid != VECTOR_ID:
            self.short = True
            raise ValueError(f"Invalid vector ID: 0x{vid:08x}")
        count = self.u32()
        if count >= 1 << 31:
            raise SystemError("negative vector count")
        code, reduced = element_type(type_text)
        items = []
        for _ in range(count):
            before = (self.pos, self.short)
            items.append(self.value(code, reduced))
            # A read past the end that moved nothing would repeat itself for
            # every element left: the outcome is already that of the count.
            if self.short and (self.pos, self.short) == before:
                break
        return items

    def object(self):
        if self.pos + 4 > len(self.data):
            self.short = True
            return None
        cid = self.u32()
        entry = self.model.by_id.get(cid)
        if entry is None:
            raise ValueError(f"Unknown constructor ID: 0x{cid:08x}")
        result = {"_": entry.name}
        flags = flags2 = 0
        for p in entry.params:
            if p.word == 1:
                flags = self.u32()
                continue
            if p.word == 2:
                flags2 = self.u32()
                continue
            if p.conditional:
                present = bool(((flags2 if p.second else flags) >> (p.bit % 32)) & 1)
                if p.code == BOOL:
                    result[p.name] = present
                    continue
                if not present:
                    result[p.name] = None
                    continue
            value = self.value(p.code, p.type_text)
            if self.short:
                return result
            result[p.name] = value
        return result


def _lookup(obj, key):
    """(found, value) with the dict's own entries deciding presence."""
    if not dict.__contains__(obj, key):
        return False, None
    return True, (dict.__getitem__(obj, key) if type(obj) is dict else obj[key])


def _as_int(value):
    if isinstance(value, int):
        return value
    convert = getattr(type(value), "__int__", None)
    if convert is None:
        raise TypeError("an integer is required")
    result = convert(value)
    if not isinstance(result, int):
        raise TypeError(f"__int__ returned non-int (type {type(result).__name__})")
    return int(result)


class _Writer:
    def __init__(self, model):
        self.model = model
        self.out = bytearray()

    def u32(self, v):
        self.out += struct.pack("<I", v & 0xFFFFFFFF)

    def byte_string(self, raw):
        n = len(raw)
        if n > MAX_BYTE_STRING:
            raise ValueError("byte string too long for the wire form")
        self.out += bytes([n]) if n <= 253 else b"\xfe" + n.to_bytes(3, "little")
        self.out += raw
        self.out += bytes(-len(self.out) % 4)

    def value(self, value, code, type_text):
        if code == INT:
            v = _as_int(value)
            if not -2**31 <= v < 2**32:
                raise OverflowError("int out of range")
            self.u32(v)
        elif code == LONG:
            v = _as_int(value)
            if not 0 <= v < 2**64:
                raise OverflowError("can't convert negative value to uint64_t" if v < 0
                                    else "long out of range")
            self.out += struct.pack("<Q", v)
        elif code == DOUBLE:
            if type(value) is not float and not (hasattr(type(value), "__float__")
                                                  or hasattr(type(value), "__index__")):
                raise TypeError("must be real number")
            self.out += struct.pack("<d", value if type(value) is float else float(value))
        elif code == STRING:
            if value is None:
                raise AttributeError("'NoneType' object has no attribute 'encode'")
            if not isinstance(value, str):
                raise TypeError("bad argument type")
            self.byte_string(value.encode("utf-8"))
        elif code == BYTES:
            if value is None:
                raise TypeError("object of type 'NoneType' has no len()")
            if not isinstance(value, bytes):
                raise TypeError("Expected bytes")
            self.byte_string(value)
        elif code == BOOL:
            self.u32(1 if value else 0)
        elif code == VECTOR:
            self.vector(value, type_text)
        elif code == OBJECT:
            self.object(value)
        else:
            raise ValueError(f"Unknown type: {code}")

    def vector(self, value, type_text):
        if type(value) is not list:
            if isinstance(value, list):
                raise TypeError(f"Expected list, got {type(value).__name__}")
            value = list(value)
        code, reduced = element_type(type_text)
        self.u32(VECTOR_ID)
        self.u32(len(value))
        for item in value:
            self.value(item, code, reduced)

    def default(self, code):
        if code in (INT, BOOL):
            self.u32(0)
        elif code == LONG:
            self.out += bytes(8)
        elif code == DOUBLE:
            self.out += struct.pack("<d", 0.0)
        elif code in (STRING, BYTES):
            self.byte_string(b"")
        elif code == VECTOR:
            self.u32(VECTOR_ID)
            self.u32(0)
        elif code == OBJECT:
            raise ValueError("Object must have '_' field")
        else:
            raise ValueError(f"Unknown type: {code}")

    def object(self, obj):
        if type(obj) is dict:
            name = obj.get("_")
        else:
            get = getattr(obj, "get")
            if not isinstance(obj, dict):
                raise TypeError(f"Expected dict, got {type(obj).__name__}")
            name = get("_")
        if name is not None and type(name) is not str:
            raise TypeError(f"Expected str, got {type(name).__name__}")
        if not name:
            raise ValueError("Object must have '_' field")
        entry = self.model.by_name.get(name.encode("utf-8"))
        if entry is None:
            raise ValueError(f"Unknown constructor: {name}")

        # A conditional parameter is asked for once; its bit and its bytes
        # come from that one answer.
        words = [0, 0]
        answers = {}
        for i, p in enumerate(entry.params):
            if p.word or not p.conditional:
                continue
            found, value = answers[i] = _lookup(obj, p.name)
            # Only the object True sets the bit of a conditional Bool.
            if found and (value is True if p.code == BOOL else value is not None):
                words[p.second] |= 1 << (p.bit % 32)

        self.u32(entry.id)
        for i, p in enumerate(entry.params):
            if p.word:
                self.u32(words[p.word - 1])
                continue
            if p.conditional:
                if p.code == BOOL or not (words[p.second] >> (p.bit % 32)) & 1:
                    continue
                found, value = answers[i]
                # The bit is set by a sibling: bytes must follow.
                if not found or value is None:
                    raise ValueError(f"Parameter '{p.name}' has no value, but a parameter "
                                     "that shares its flag bit is present")
                self.value(value, p.code, p.type_text)
                continue
            found, value = _lookup(obj, p.name)
            if not found:
                self.default(p.code)
                continue
            self.value(value, p.code, p.type_text)


def same(a, b):
    """Deep equality that tells floats apart by bit pattern (so NaN equals
    itself and -0.0 differs from 0.0) and bool from int."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b
