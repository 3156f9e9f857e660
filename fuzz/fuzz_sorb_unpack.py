"""Fuzz driver: arbitrary bytes for SorbParser.unpack.

The first byte picks the schema (the realistic one, or an odd one: a bare
Vector, two flags words, deep nesting, one constructor per value kind); the
rest is the message. The reader must agree with the wire model, and what it
reads must pack again like the model packs it.
"""
import json

import sorb_examples
import wire_model as wm
from Vorlan.sorb import SorbParser

from fuzz_support import MODEL, PARSER, expect, packs_like_model, reads_like_model

ODD_SCHEMAS = [
    {"constructors": [{"id": 0x10, "predicate": "deep", "params": [
        {"name": "v", "type": "Vector"}]}]},
    {"constructors": [{"id": 0x20, "predicate": "two", "params": [
        {"name": "flags", "type": "#"}, {"name": "a", "type": "flags.0?int"},
        {"name": "flags2", "type": "#"}, {"name": "b", "type": "flags2.0?long"},
        {"name": "c", "type": "flags2.31?string"}, {"name": "d", "type": "flags2.5?true"},
        {"name": "e", "type": "flags2.33?Vector<bytes>"}, {"name": "f", "type": "flags.1?Vector<double>"},
        {"name": "g", "type": "flags.1?Bool"}, {"name": "h", "type": "flags2.6?Two"}]},
        {"id": 0x21, "predicate": "end", "type": "Two"}]},
    {"constructors": [
        {"id": 0x30, "predicate": "node", "type": "Node", "params": [
            {"name": "flags", "type": "#"}, {"name": "child", "type": "flags.0?Node"},
            {"name": "kids", "type": "Vector<Node>"}, {"name": "tag", "type": "flags.1?bytes"}]},
        {"id": 0x31, "predicate": "wrap", "type": "Node", "params": [{"name": "inner", "type": "Node"}]},
        {"id": 0x32, "predicate": "leaf", "type": "Node"}]},
    json.loads(sorb_examples.KINDS_SCHEMA),
]
TARGETS = [(PARSER, MODEL, True)] + [(SorbParser(s), wm.Model(s), False) for s in ODD_SCHEMAS]


def one_input(data):
    if not data:
        return
    parser, model, realistic = TARGETS[data[0] % len(TARGETS)]
    message = data[1:]
    name, value = reads_like_model(message, parser, model)
    if name != "dict":
        return
    _, again = packs_like_model(value, parser, model)
    if realistic and again is not None:
        # Every flags word precedes what it guards here, so a dict read back
        # is exactly what was packed.
        expect(again[0] == "dict" and wm.same(again[1], value), message.hex())
