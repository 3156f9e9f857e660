"""msgspec Struct classes that mirror a sorb schema, for the benchmark's
typed peer: one Struct per constructor, tagged by its name in the field "_"
and encoded as an array (array_like), so msgspec writes what sorb writes:
the constructor, then the values in schema order, no keys.

    structs = SchemaStructs(schema_json)
    value = structs.from_dict(message)       # the dict form sorb packs
    encoder, decoder = structs.codec(value)  # msgspec.msgpack, typed

Types follow the schema's type texts: int and long are int, double float,
string str, bytes bytes, Bool bool, Vector<T> list[T], and any other name a
union of the Structs whose result type it is. A conditional parameter is
Optional with the default None (a conditional Bool is a bool, default
False). Flags words are left out: msgspec has no use for them.
"""
import json
import keyword
import sys
import types
import typing

import msgspec

_SCALARS = {"int": "int", "#": "int", "long": "int", "double": "float", "string": "str",
            "bytes": "bytes", "byte": "bytes", "Bool": "bool", "true": "bool"}


def _bare(type_text):
    if "?" in type_text:
        type_text = type_text.split("?")[1]
    return type_text


def _absent(type_text):
    """The value of a missing parameter: False for a conditional Bool."""
    return False if "?" in type_text and _bare(type_text) in ("true", "Bool") else None


class SchemaStructs:
    _serial = 0

    def __init__(self, schema_json):
        schema = json.loads(schema_json) if isinstance(schema_json, str) else schema_json
        entries = list(schema.get("constructors", [])) + list(schema.get("methods", []))
        SchemaStructs._serial += 1
        self.module = types.ModuleType(f"_sorb_bench_structs_{SchemaStructs._serial}")
        self.module.typing = typing
        sys.modules[self.module.__name__] = self.module
        self.by_name = {}
        self.params = {}
        by_type = {}
        for index, entry in enumerate(entries):
            name = entry.get("predicate") or entry.get("method") or entry.get("type", "")
            by_type.setdefault(entry.get("type") or name, []).append((index, name))
        self._unions = {t: [f"S{i}" for i, _ in members] for t, members in by_type.items()}
        for index, entry in enumerate(entries):
            name = entry.get("predicate") or entry.get("method") or entry.get("type", "")
            params = [p for p in entry.get("params", []) if p["name"] not in ("flags", "flags2")]
            fields = []
            for p in params:
                annotation, default = self._annotation(p["type"])
                field = p["name"] + "_" if keyword.iskeyword(p["name"]) else p["name"]
                fields.append((field, annotation, default) if default is not msgspec.NODEFAULT
                              else (field, annotation))
            # Parameters without defaults must come first in a Struct; every
            # field gets one (what sorb writes for a missing parameter), so
            # the order stays the schema's.
            fields = [f if len(f) == 3 else (f[0], f[1], self._zero(f[1])) for f in fields]
            cls = msgspec.defstruct(f"S{index}", fields, module=self.module.__name__,
                                    tag_field="_", tag=name, array_like=True)
            setattr(self.module, f"S{index}", cls)
            self.by_name[name] = cls
            self.params[name] = params

    @staticmethod
    def _zero(annotation):
        if annotation.startswith("list"):
            return msgspec.field(default_factory=list)
        return {"int": 0, "float": 0.0, "str": "", "bytes": b"", "bool": False}.get(annotation)

    def _type(self, type_text):
        if type_text.startswith("Vector"):
            inner = type_text.replace("Vector<", "").replace(">", "")
            return f"list[{self._type(inner)}]"
        if type_text in _SCALARS:
            return _SCALARS[type_text]
        members = self._unions.get(type_text)
        if not members:
            return "typing.Any"
        return members[0] if len(members) == 1 else f"typing.Union[{', '.join(members)}]"

    def _annotation(self, type_text):
        bare = _bare(type_text)
        annotation = self._type(bare)
        if "?" not in type_text:
            return annotation, msgspec.NODEFAULT
        if annotation == "bool":
            return "bool", False
        return f"typing.Optional[{annotation}]", None

    def from_dict(self, value):
        """The Struct form of a dict as sorb packs it (lists and nested
        dicts converted throughout)."""
        if isinstance(value, dict):
            name = value["_"]
            cls = self.by_name[name]
            return cls(*(self.from_dict(value.get(p["name"], _absent(p["type"])))
                         for p in self.params[name]))
        if isinstance(value, list):
            return [self.from_dict(v) for v in value]
        return value

    def codec(self, value):
        """A typed msgpack encoder and a decoder of the value's own Struct."""
        return msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder(type(value))
