"""Fuzz driver: value trees decoded from the input, packed with the
realistic schema.

Trees hold dicts, lists, tuples, ints, floats, str, bytes, None and bools,
mostly of the kinds their parameters want, and sometimes hooks whose
conversions raise or change the dict or list being packed. Without hooks,
pack must agree with the wire model byte for byte, and what it writes must
read back like the model reads it. With hooks there is no model to ask:
pack must fail only with the exceptions it documents, what it writes must
still read like the model, and the parser must stay usable.
"""
from fuzz_support import (MODEL, PACK_ERRORS, PARSER, Builder, Stream, check_usable, expect,
                          packs_like_model, reads_like_model)
from sorb_examples import HostileValue


class HookError(Exception):
    pass


class Hook(HostileValue):
    """Raises, or first changes the dict or list that holds it, and then
    answers."""

    def act(self):
        target = self.target
        if self.action == 0:
            raise HookError("hook")
        if self.action == 1:
            target.clear()
        elif isinstance(target, dict):
            target["extra"] = {"_": "textPlain", "text": "x"}
            target.pop(next(reversed(target)), None)
        else:
            target.extend([1, 2, 3])

    def items(self):
        return [self.answer] * (self.answer % 3)


class HookCounter:
    """Makes hooks for the builder and remembers whether it made any."""

    def __init__(self):
        self.made = 0

    def __call__(self, stream, holder):
        self.made += 1
        pick = stream.byte()
        action, answer = pick % 3, pick // 3 % 4
        if pick & 0x80:
            # In a list of its own, which the hook may clear or grow.
            items = [1]
            items.insert(pick % 2, Hook(action, items, answer))
            return items
        return Hook(action, holder, answer)


BUILDER = Builder(MODEL)


def one_input(data):
    stream = Stream(data)
    hooks = HookCounter() if stream.byte() % 4 == 0 else None
    builder = BUILDER
    builder.hooks = hooks
    value = builder.build(stream, builder.entry(stream), depth=1 + stream.byte() % 4)
    if hooks is None or not hooks.made:
        packs_like_model(value)
        return
    try:
        data = PARSER.pack(value)
    except PACK_ERRORS + (HookError, RuntimeError):  # (RuntimeError: a list that changed size)
        check_usable()
        return
    expect(len(data) % 4 == 0, "unaligned message")
    reads_like_model(data)
