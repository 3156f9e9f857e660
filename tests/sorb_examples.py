"""Small schemas shared by the sorb tests."""
import json

# The example object: flags, a long, a string on bit 0, a Bool on bit 1 and
# a vector of ints.
EXAMPLE_SCHEMA = json.dumps({
    "constructors": [
        {"id": 7, "predicate": "example", "type": "Example", "params": [
            {"name": "flags", "type": "#"},
            {"name": "count", "type": "long"},
            {"name": "text", "type": "flags.0?string"},
            {"name": "flag", "type": "flags.1?true"},
            {"name": "items", "type": "Vector<int>"},
        ]},
    ],
})
EXAMPLE_BYTES = bytes.fromhex(
    "07000000" "03000000" "0500000000000000" "02616200" "15c4b51c" "02000000" "01000000" "02000000")
EXAMPLE_DICT = {"_": "example", "count": 5, "text": "ab", "flag": True, "items": [1, 2]}

# One constructor per value kind, plus nesting.
KINDS_SCHEMA = json.dumps({
    "constructors": [
        {"id": 0x10, "predicate": "int", "params": [{"name": "v", "type": "int"}]},
        {"id": 0x11, "predicate": "long", "params": [{"name": "v", "type": "long"}]},
        {"id": 0x12, "predicate": "double", "params": [{"name": "v", "type": "double"}]},
        {"id": 0x13, "predicate": "string", "params": [{"name": "v", "type": "string"}]},
        {"id": 0x14, "predicate": "bytes", "params": [{"name": "v", "type": "bytes"}]},
        {"id": 0x15, "predicate": "bool", "params": [{"name": "v", "type": "Bool"}]},
        {"id": 0x16, "predicate": "ints", "params": [{"name": "v", "type": "Vector<int>"}]},
        {"id": 0x17, "predicate": "objects", "params": [{"name": "v", "type": "Vector<Node>"}]},
        {"id": 0x18, "predicate": "node", "type": "Node", "params": [{"name": "child", "type": "Node"}]},
        {"id": 0x19, "predicate": "leaf", "type": "Node"},
        {"id": 0x1A, "predicate": "strings", "params": [{"name": "v", "type": "Vector<string>"}]},
        {"id": 0x1B, "predicate": "nested", "params": [{"name": "v", "type": "Vector"}]},
        {"id": 0x1C, "predicate": "empty"},
    ],
})


def word(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


VECTOR = word(0x1CB5C415)


class HostileValue:
    """A value whose conversion hooks first run `act` (which may raise, or
    change the dict or list being packed) and then answer with `answer`;
    iterating it gives `items()`. Subclasses say what they do."""

    def __init__(self, action, target, answer):
        self.action, self.target, self.answer = action, target, answer

    def act(self):
        raise NotImplementedError

    def items(self):
        raise NotImplementedError

    def __int__(self):
        self.act()
        return int(self.answer)

    def __index__(self):
        return self.__int__()

    def __float__(self):
        self.act()
        return float(self.answer)

    def __bool__(self):
        self.act()
        return bool(self.answer)

    def __iter__(self):
        self.act()
        return iter(self.items())
