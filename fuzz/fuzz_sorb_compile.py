"""Fuzz driver: arbitrary schema text for SorbParser and SorbSchemaCompiler.

The input is the schema text, then a NUL byte, then a payload. A schema that
compiles must read the payload like the wire model, and dicts built from
the payload for a few of its entries must pack like the model packs them.
"""
import json

import wire_model as wm
from Vorlan.sorb import SorbParser, SorbSchemaCompiler

from fuzz_support import Builder, Found, Stream, expect, packs_like_model, reads_like_model

# What compile may raise on bad schemas (JSON errors are ValueErrors).
COMPILE_ERRORS = (TypeError, ValueError, AttributeError, KeyError, OverflowError, RecursionError)


def one_input(data):
    raw, _, payload = data.partition(b"\0")
    text = raw.decode("utf-8", "surrogateescape")
    try:
        parser = SorbParser(text)
    except COMPILE_ERRORS as error:
        # A compiler of its own must refuse it the same way and stay usable.
        compiler = SorbSchemaCompiler()
        try:
            compiler.compile(text)
        except COMPILE_ERRORS as again:
            expect(type(again) is type(error), repr(error), repr(again))
        else:
            raise Found(f"parser refused with {error!r}, compiler accepted")
        compiler.compile('{"constructors": []}')
        return
    try:
        model = wm.Model(json.loads(text))
    except Exception:  # the model is no judge of schemas it cannot read
        return
    if not model.entries:
        return
    reads_like_model(payload, parser, model)
    stream = Stream(payload)
    builder = Builder(model)
    for _ in range(1 + stream.byte() % 3):
        value = builder.build(stream, builder.entry(stream), depth=2)
        packs_like_model(value, parser, model)
