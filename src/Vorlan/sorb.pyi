"""Schema-driven binary serialization. A JSON schema of numbered
constructors and methods, each with typed parameters (some present only
when a bit of a flags word is set), is compiled once into a native table;
a parser then packs dicts to the compact wire form and unpacks them back.

A dict names its constructor under "_" and holds one key per parameter.
Every failure is an exception; one raised inside a message carries a note
with the path to the failing field."""
from typing import Any

from typing_extensions import Self, disjoint_base

@disjoint_base
class SorbSchemaCompiler:
    """Compiles a schema into the table that a SorbParser reads. Each
    SorbParser makes its own; use one directly only to check a schema."""
    def __new__(cls, *args: object, **kwargs: object) -> Self:
        """Any arguments are accepted and ignored."""
    def compile(self, json_data: str | dict[str, Any]) -> None:
        """Builds the table from json_data: a JSON text, or a dict as
        json.loads would give it, with the lists "constructors" and
        "methods". A SorbParser's own compiler refuses it (RuntimeError)."""

@disjoint_base
class SorbParser:
    """Packs and unpacks the messages of one schema (a JSON text or dict),
    compiled once when the parser is made. A parser serves one call at a
    time; use one per thread."""
    def __new__(cls, schema_json: str | dict[str, Any]) -> Self: ...
    def unpack(self, data: bytes) -> dict[str, Any]:
        """The dict of the message in data (exactly bytes): "_" holds the
        constructor's name, then one key per parameter in schema order.
        Bytes after the message are ignored."""
    def pack(self, value: dict[str, Any]) -> bytes:
        """The wire form of value, a dict whose "_" names the constructor,
        as a new bytes object. Missing parameters get their defaults; flags
        words are computed. An int takes -2**31 to 2**32 - 1 and a long 0
        to 2**64 - 1; others raise OverflowError."""
