"""A tour of Vorlan.sorb: compile a schema, pack a message, unpack it."""
import json

from Vorlan.sorb import SorbParser

SCHEMA = {
    "constructors": [
        {"id": 0x5A3B1C01, "predicate": "user", "type": "User", "params": [
            {"name": "flags", "type": "#"},
            {"name": "id", "type": "long"},
            {"name": "name", "type": "string"},
            {"name": "username", "type": "flags.0?string"},
            {"name": "verified", "type": "flags.1?true"},
        ]},
        {"id": 0x5A3B1C02, "predicate": "message", "type": "Message", "params": [
            {"name": "flags", "type": "#"},
            {"name": "id", "type": "int"},
            {"name": "from", "type": "User"},
            {"name": "text", "type": "string"},
            {"name": "reply_to", "type": "flags.0?int"},
            {"name": "tags", "type": "Vector<string>"},
        ]},
    ],
    "methods": [
        {"id": 0x6C2D0001, "method": "messages.send", "type": "Message", "params": [
            {"name": "message", "type": "Message"},
        ]},
    ],
}


def main():
    parser = SorbParser(json.dumps(SCHEMA))
    call = {
        "_": "messages.send",
        "message": {
            "_": "message", "id": 42, "text": "hello, wire",
            "from": {"_": "user", "id": 1001, "name": "Ada", "verified": True},
            "tags": ["greeting", "demo"],
        },
    }
    data = parser.pack(call)
    print(f"packed {len(data)} bytes:")
    for offset in range(0, len(data), 16):
        print(f"  {offset:04x}  {data[offset:offset + 16].hex(' ')}")
    print("unpacked:")
    print(" ", parser.unpack(data))


if __name__ == "__main__":
    main()
