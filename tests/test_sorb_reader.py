"""unpack: the wire form read back into dicts, and every way it can fail."""
import re
import struct
import sys

import pytest

from Vorlan.sorb import SorbParser

from sorb_examples import EXAMPLE_BYTES, EXAMPLE_DICT, EXAMPLE_SCHEMA, KINDS_SCHEMA, VECTOR, word


@pytest.fixture(scope="module")
def example():
    return SorbParser(EXAMPLE_SCHEMA)


@pytest.fixture(scope="module")
def kinds():
    return SorbParser(KINDS_SCHEMA)


def parse_error(position):
    return pytest.raises(RuntimeError, match=f"^Parse error at position {position}$")


def test_example_message_reads_in_schema_order(example):
    result = example.unpack(EXAMPLE_BYTES)
    assert result == EXAMPLE_DICT
    assert list(result) == ["_", "count", "text", "flag", "items"]


def test_trailing_bytes_are_ignored(example):
    assert example.unpack(EXAMPLE_BYTES + b"\xff" * 9) == EXAMPLE_DICT


def test_absent_conditionals_read_as_none_and_false(example):
    data = word(7) + word(0) + bytes(8) + VECTOR + word(0)
    assert example.unpack(data) == {"_": "example", "count": 0, "text": None, "flag": False,
                                    "items": []}


@pytest.mark.parametrize("data", [b"", b"\x07", b"\x07\0", b"\x07\0\0"])
def test_fewer_than_four_bytes_fail_at_position_zero(example, data):
    with parse_error(0):
        example.unpack(data)


@pytest.mark.parametrize("ident, text", [(0x1234, "0x00001234"), (0xDEADBEEF, "0xdeadbeef"), (0, "0x00000000")])
def test_unknown_constructor_id_is_named_in_eight_hex_digits(example, ident, text):
    with pytest.raises(ValueError, match=f"^Unknown constructor ID: {text}$"):
        example.unpack(word(ident))


# For each prefix length of the example, where the reader stops: a short
# read leaves the position where it began, except a string whose length
# byte is consumed first; a string missing only its padding still reads, and
# a missing vector fails on its id.
TRUNCATION_OUTCOMES = (
    [(cut, 0) for cut in range(0, 4)] + [(cut, 4) for cut in range(4, 8)]
    + [(cut, 8) for cut in range(8, 16)] + [(16, 16), (17, 17), (18, 17)]
    + [(cut, "vector") for cut in range(19, 24)] + [(cut, 24) for cut in range(24, 28)]
    + [(cut, 28) for cut in range(28, 32)] + [(cut, 32) for cut in range(32, 36)]
)


@pytest.mark.parametrize("cut, outcome", TRUNCATION_OUTCOMES)
def test_every_truncation_of_the_example_fails_cleanly(example, cut, outcome):
    if outcome == "vector":
        # The text alone: pytest's match also sees the note that follows it.
        with pytest.raises(ValueError) as info:
            example.unpack(EXAMPLE_BYTES[:cut])
        assert str(info.value) == "Invalid vector ID: 0x00000000"
    else:
        with parse_error(outcome):
            example.unpack(EXAMPLE_BYTES[:cut])
    assert example.unpack(EXAMPLE_BYTES) == EXAMPLE_DICT


@pytest.mark.parametrize("payload, value", [
    (b"\x00\0\0\0", ""),
    (b"\x02ab\0", "ab"),
    (b"\x02ab", "ab"),                         # last field without its padding
    (b"\xfe\x02\0\0ab", "ab"),                 # long form with a short length
    (b"\xff" + b"x" * 255, "x" * 255),         # 0xFF is a plain length
    (b"\xfe\xfe\0\0" + b"y" * 254 + b"\0\0", "y" * 254),
    (b"\x05" + "é€".encode(), "é€"),
])
def test_string_encodings(kinds, payload, value):
    assert kinds.unpack(word(0x13) + payload) == {"_": "string", "v": value}


@pytest.mark.parametrize("payload, position", [
    (b"", 4),
    (b"\x05ab", 5),        # after the length byte
    (b"\xfe\x01", 5),      # long form header cut: after its first byte
    (b"\xfe\x09\0\0ab", 8),  # after the 4-byte header
])
def test_short_strings_report_the_offset_after_their_header(kinds, payload, position):
    with parse_error(position):
        kinds.unpack(word(0x13) + payload)


def test_invalid_utf8_raises_unicode_error(kinds):
    with pytest.raises(UnicodeDecodeError):
        kinds.unpack(word(0x13) + b"\x02\xff\xfe\0")


@pytest.mark.parametrize("ident, payload, value", [
    (0x10, b"\xff\xff\xff\xff", 4294967295),
    (0x11, b"\xff" * 8, 18446744073709551615),
    (0x12, struct.pack("<d", -2.5), -2.5),
    (0x14, b"\x03abc", b"abc"),
    (0x15, word(0), False),
    (0x15, word(2), True),
    (0x15, word(0xFFFFFFFF), True),
    (0x16, VECTOR + word(0), []),
    (0x17, VECTOR + word(2) + word(0x19) + word(0x18) + word(0x19),
     [{"_": "leaf"}, {"_": "node", "child": {"_": "leaf"}}]),
    (0x1A, VECTOR + word(2) + b"\x01a\0\0\x00\0\0\0", ["a", ""]),
    (0x1B, VECTOR + word(1) + VECTOR + word(0), [[]]),
])
def test_value_kinds(kinds, ident, payload, value):
    assert kinds.unpack(word(ident) + payload)["v"] == value


@pytest.mark.parametrize("ident, payload, exc, message", [
    (0x16, word(0x1CB5C416) + word(0), ValueError, "Invalid vector ID: 0x1cb5c416"),
    (0x16, b"", ValueError, "Invalid vector ID: 0x00000000"),
    (0x16, VECTOR + word(-1), SystemError, None),
    (0x17, VECTOR + word(1) + word(0x55), ValueError, "Unknown constructor ID: 0x00000055"),
    (0x18, word(0x18) + word(0x77), ValueError, "Unknown constructor ID: 0x00000077"),
])
def test_format_errors(kinds, ident, payload, exc, message):
    with pytest.raises(exc) as info:
        kinds.unpack(word(ident) + payload)
    if message:
        assert str(info.value) == message


# A count beyond the bytes left is read as far as the data goes: elements
# past the end are placeholders (a short length byte is still consumed, so a
# later one may frame a real span), and the list grows only as elements come.
@pytest.mark.parametrize("ident, payload, exc, message", [
    (0x16, word(9) + word(1) + word(2), RuntimeError, "Parse error at position 20"),
    (0x16, word(1000) + word(1) + word(2), RuntimeError, "Parse error at position 20"),
    (0x16, word(0x7FFFFFFF) + word(1) + word(2), RuntimeError, "Parse error at position 20"),
    (0x16, word(5) + word(1), RuntimeError, "Parse error at position 16"),
    (0x16, word(0x7FFFFFFF), RuntimeError, "Parse error at position 12"),
    (0x17, word(5) + word(0x55), ValueError, "Unknown constructor ID: 0x00000055"),
    (0x1A, word(5) + b"\x02\xff\xfe\0", UnicodeDecodeError, None),
    (0x1A, word(3) + b"\x09\x02\xff\xfe", UnicodeDecodeError, None),
    (0x1A, word(1000) + b"\x09\x05ab", RuntimeError, "Parse error at position 16"),
])
def test_vector_count_beyond_the_bytes_left_reads_until_the_data_runs_out(kinds, ident, payload,
                                                                           exc, message):
    with pytest.raises(exc) as info:
        kinds.unpack(word(ident) + VECTOR + payload)
    if message:
        assert str(info.value) == message


def test_placeholder_elements_within_the_data_still_end_in_a_parse_error(kinds):
    # Count 3 fits the 9 bytes left, but the elements need 12.
    data = word(0x16) + VECTOR + word(3) + word(1) + word(2) + b"\0"
    with parse_error(20):
        kinds.unpack(data)


@pytest.mark.parametrize("params, value", [
    ([("a", "int"), ("flags", "#"), ("a", "flags.0?string")], {"_": "c", "a": None}),
    ([("_", "int"), ("flags", "#"), ("_", "flags.0?string")], {"_": None}),
    ([("a", "int"), ("flags", "#"), ("a", "flags.0?true")], {"_": "c", "a": False}),
])
def test_a_repeated_key_holds_what_its_last_parameter_read(params, value):
    parser = SorbParser({"constructors": [{"id": 1, "predicate": "c", "params": [
        {"name": name, "type": ptype} for name, ptype in params]}]})
    assert parser.unpack(word(1) + word(5) + word(0)) == value


@pytest.mark.parametrize("make", [
    lambda depth: word(0x18) * depth + word(0x19),
    lambda depth: word(0x1B) + (VECTOR + word(1)) * depth + VECTOR + word(0),
])
def test_hostile_nesting_raises_recursion_error_and_parser_survives(kinds, make):
    with pytest.raises(RecursionError):
        kinds.unpack(make(200_000))
    assert kinds.unpack(word(0x19)) == {"_": "leaf"}


def test_moderate_nesting_is_fine(kinds):
    depth = 100
    result = kinds.unpack(word(0x18) * depth + word(0x19))
    for _ in range(depth):
        result = result["child"]
    assert result == {"_": "leaf"}


@pytest.mark.parametrize("data, message", [
    (bytearray(b"\x1c\0\0\0"), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (memoryview(b"\x1c\0\0\0"), "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
    (type("B", (bytes,), {})(b"\x1c\0\0\0"), "Argument 'data' has incorrect type (expected bytes, got B)"),
    ("abcd", "Argument 'data' has incorrect type (expected bytes, got str)"),
    (None, "object of type 'NoneType' has no len()"),
])
def test_only_exact_bytes_are_accepted(kinds, data, message):
    with pytest.raises(TypeError) as info:
        kinds.unpack(data)
    assert str(info.value) == message


def test_buffer_grows_for_large_messages_and_is_reused(kinds):
    big = word(0x14) + b"\xfe" + (100_000).to_bytes(3, "little") + b"z" * 100_000
    assert kinds.unpack(big)["v"] == b"z" * 100_000
    # A small message after a big one sees none of the big one's bytes.
    assert kinds.unpack(word(0x13) + b"\x01q") == {"_": "string", "v": "q"}
    with parse_error(5):
        kinds.unpack(word(0x13) + b"\x05")


def test_unpack_accepts_its_keyword_and_checks_counts(kinds):
    assert kinds.unpack(data=word(0x1C)) == {"_": "empty"}
    with pytest.raises(TypeError, match=re.escape("unpack() takes exactly 1 positional argument (2 given)")):
        kinds.unpack(b"", b"")
    with pytest.raises(TypeError, match=re.escape("unpack() takes exactly 1 positional argument (0 given)")):
        kinds.unpack()
