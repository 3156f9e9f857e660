"""AesCtr256: the keystream against OpenSSL's CTR, pieces of any length,
seeking, the offset/state pair, and the order and wording of its checks."""
import os

import pytest
from hypothesis import given, settings, strategies as st

from Vorlan.ciphex import AesCtr256

from ciphex_support import IV16, KEY, ctr_crypt, ctr_keystream

# Counter blocks whose low bytes sit just below a carry, so carries out of
# byte 15, out of the low 64-bit half, and out of the whole 128 bits all
# happen within a few hundred bytes.
CARRY_IVS = {
    "plain": IV16,
    "byte-carry": bytes(15) + b"\xf9",
    "half-carry": bytes(7) + b"\x01" + b"\xff" * 7 + b"\xfa",
    "full-wrap": b"\xff" * 15 + b"\xfc",
}
iv_params = pytest.mark.parametrize("iv", CARRY_IVS.values(), ids=CARRY_IVS.keys())


def position(obj):
    return obj.offset, obj.state


def expected_state(offset):
    return offset % 16 or 16


# ---- keystream -------------------------------------------------------------------

@pytest.mark.parametrize("length", [1, 15, 16, 17, 127, 128, 129, 1000, 4096 + 7])
@iv_params
def test_one_call_equals_openssl_ctr(iv, length):
    key, data = os.urandom(32), os.urandom(length)
    obj = AesCtr256(key, iv)
    assert obj.crypt(data) == ctr_crypt(key, iv, 0, data)
    assert position(obj) == (length, expected_state(length))


def test_large_stream_equals_openssl():
    key, iv = os.urandom(32), os.urandom(16)
    data = os.urandom((1 << 20) + 77)
    assert AesCtr256(key, iv).crypt(data) == ctr_crypt(key, iv, 0, data)


PIECES = [
    [1, 15, 16, 17, 127, 128, 129],
    [5, 11, 16],
    [3] * 40,
    [129, 1, 255, 7, 300],
    [0, 16, 0, 1, 0],
]


@pytest.mark.parametrize("pieces", PIECES)
@iv_params
def test_pieces_of_any_length_equal_one_call(iv, pieces):
    data = os.urandom(sum(pieces))
    whole = AesCtr256(KEY, iv).crypt(data)
    for in_place in (False, True):
        obj, out, at = AesCtr256(KEY, iv), [], 0
        for n in pieces:
            piece = data[at:at + n]
            if in_place:
                buf = bytearray(piece)
                assert obj.crypt_into(buf) is None
                out.append(bytes(buf))
            else:
                out.append(obj.crypt(piece))
            at += n
            assert position(obj) == (at, expected_state(at))
        assert b"".join(out) == whole


@settings(max_examples=60, deadline=None)
@given(pieces=st.lists(st.integers(0, 300), max_size=12), iv=st.binary(min_size=16, max_size=16),
       state=st.integers(0, 15))
def test_pieces_property(pieces, iv, state):
    data = os.urandom(sum(pieces))
    obj = AesCtr256(KEY, iv, state)
    out = b"".join(obj.crypt(data[sum(pieces[:i]):sum(pieces[:i + 1])]) for i in range(len(pieces)))
    assert out == ctr_crypt(KEY, iv, state, data)
    assert position(obj) == (state + len(data), expected_state(state + len(data)))


def test_a_second_object_with_the_same_parameters_decrypts():
    msg = os.urandom(333)
    ct = AesCtr256(KEY, IV16, 9).crypt(msg)
    assert AesCtr256(KEY, IV16, 9).crypt(ct) == msg


def test_documented_piece_positions():
    obj = AesCtr256(KEY, IV16)
    seen = []
    for n in (5, 11, 16):
        obj.crypt(bytes(n))
        seen.append(position(obj))
    assert seen == [(5, 5), (16, 16), (32, 16)]


@pytest.mark.parametrize("empty", [b"", bytearray(), memoryview(bytearray()), memoryview(b"")])
def test_empty_data_changes_nothing(empty):
    obj = AesCtr256(KEY, IV16, 3)
    out = obj.crypt(empty)
    assert type(out) is bytes and out == b""
    if not memoryview(empty).readonly:
        assert obj.crypt_into(empty) is None
    assert position(obj) == (3, 3)
    assert obj.crypt(b"abc") == ctr_crypt(KEY, IV16, 3, b"abc")


# ---- initial state -----------------------------------------------------------------

@pytest.mark.parametrize("state", range(16))
def test_initial_state_skips_that_many_keystream_bytes(state):
    obj = AesCtr256(KEY, IV16, state)
    assert position(obj) == (state, expected_state(state))
    assert obj.crypt(bytes(40)) == ctr_keystream(KEY, IV16, state, 40)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("state, offset", [(True, 1), (False, 0), (Index(7), 7), (Index(0), 0)])
def test_state_accepts_the_index_protocol(state, offset):
    assert AesCtr256(KEY, IV16, state).offset == offset


@pytest.mark.parametrize("state, error, match", [
    (16, ValueError, "^ctr256 state must be within 0..15$"),
    (-1, ValueError, "^ctr256 state must be within 0..15$"),
    (100, ValueError, "^ctr256 state must be within 0..15$"),
    (2**63 - 1, ValueError, "^ctr256 state must be within 0..15$"),
    (-(2**63), ValueError, "^ctr256 state must be within 0..15$"),
    (2**63, OverflowError, None),
    (-(2**63) - 1, OverflowError, None),
    (2**64 + 3, OverflowError, None),
    (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("1", TypeError, "'str' object cannot be interpreted as an integer"),
    (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
])
def test_bad_state(state, error, match):
    with pytest.raises(error, match=match):
        AesCtr256(KEY, IV16, state)
    with pytest.raises(error, match=match):
        AesCtr256(key=KEY, iv=IV16, state=state)


def test_index_errors_propagate_unchanged():
    class Broken:
        def __index__(self):
            raise ZeroDivisionError("from __index__")

    with pytest.raises(ZeroDivisionError, match="from __index__"):
        AesCtr256(KEY, IV16, Broken())
    with pytest.raises(ZeroDivisionError, match="from __index__"):
        AesCtr256(KEY, IV16).seek(Broken())


KEY_MSG = "^ctr256 key must be 32 bytes$"
IV_MSG = "^ctr256 iv must be 16 bytes$"


@pytest.mark.parametrize("key, iv, state, error, match", [
    (bytes(16), IV16, 0, ValueError, KEY_MSG),
    (bytes(33), IV16, 0, ValueError, KEY_MSG),
    (KEY, bytes(32), 0, ValueError, IV_MSG),
    (KEY, b"", 0, ValueError, IV_MSG),
    ("key", 5, 0, TypeError, "not 'str'"),              # key converted first
    (bytes(3), 5, 0, TypeError, "not 'int'"),           # both held before any length
    (bytes(3), bytes(3), 99, ValueError, KEY_MSG),      # key length before iv length
    (KEY, bytes(3), 1.5, ValueError, IV_MSG),           # lengths before state
    (bytes(3), IV16, "x", ValueError, KEY_MSG),
], ids=["key16", "key33", "iv32", "iv0", "key-type", "iv-type", "key-then-iv",
        "iv-then-state", "key-then-state"])
def test_constructor_check_order(key, iv, state, error, match):
    with pytest.raises(error, match=match):
        AesCtr256(key, iv, state)


# ---- seek --------------------------------------------------------------------------

SEEKS = [0, 1, 15, 16, 17, 32, 33, 127, 128, 129, 1000, 2**32 + 5, 2**40 - 1, 2**63 - 40]


@pytest.mark.parametrize("pos", SEEKS)
@iv_params
def test_seek_lands_on_the_absolute_keystream_position(iv, pos):
    obj = AesCtr256(KEY, iv, 5)
    obj.crypt(bytes(300))  # start somewhere else: seek is absolute
    assert obj.seek(pos) is None
    assert position(obj) == (pos, expected_state(pos))
    assert obj.crypt(bytes(40)) == ctr_keystream(KEY, iv, pos, 40)
    assert position(obj) == (pos + 40, expected_state(pos + 40))


@pytest.mark.parametrize("pos", [1, 15, 16, 17, 200])
def test_seek_equals_a_stream_that_already_processed_pos_bytes(pos):
    walked = AesCtr256(KEY, IV16)
    walked.crypt(bytes(pos))
    jumped = AesCtr256(KEY, IV16)
    jumped.seek(pos)
    data = os.urandom(50)
    assert jumped.crypt(data) == walked.crypt(data)


def test_seek_backwards_and_forwards_and_to_the_start():
    obj = AesCtr256(KEY, IV16)
    first = obj.crypt(bytes(5000))
    obj.seek(0)
    assert position(obj) == (0, 16)
    assert obj.crypt(bytes(5000)) == first
    obj.seek(4000)
    assert obj.crypt(bytes(100)) == first[4000:4100]
    obj.seek(10)
    assert obj.crypt(bytes(100)) == first[10:110]
    obj.seek(True)
    assert obj.offset == 1


def test_state_then_seek_equals_construction_with_state():
    for s in range(16):
        a, b = AesCtr256(KEY, IV16, s), AesCtr256(KEY, IV16)
        b.seek(s)
        assert position(a) == position(b) and a.crypt(bytes(20)) == b.crypt(bytes(20))


def test_seek_to_the_largest_position_and_past_it():
    obj = AesCtr256(KEY, IV16)
    obj.seek(2**63 - 1)
    assert position(obj) == (2**63 - 1, 15)
    out = obj.crypt(bytes(20))
    assert out == ctr_keystream(KEY, IV16, 2**63 - 1, 20)
    assert position(obj) == (2**63 + 19, 3)  # offset reads back unsigned


@pytest.mark.parametrize("pos, error, match", [
    (-1, ValueError, "^ctr256 seek position must be non-negative$"),
    (-(2**63), ValueError, "^ctr256 seek position must be non-negative$"),
    (2**63, OverflowError, None),
    (-(2**63) - 1, OverflowError, None),
    (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
])
def test_bad_seek_raises_and_leaves_the_stream_alone(pos, error, match):
    obj = AesCtr256(KEY, IV16)
    obj.crypt(bytes(21))
    with pytest.raises(error, match=match):
        obj.seek(pos)
    with pytest.raises(error, match=match):
        obj.seek(pos=pos)
    assert position(obj) == (21, 5)
    assert obj.crypt(bytes(7)) == ctr_keystream(KEY, IV16, 21, 7)


def test_refused_crypt_into_leaves_the_stream_alone():
    obj = AesCtr256(KEY, IV16, 4)
    for bad in (b"abc", memoryview(b"abc"), "abc", 3):
        with pytest.raises((BufferError, TypeError)):
            obj.crypt_into(bad)
    assert position(obj) == (4, 4)
    assert obj.crypt(bytes(9)) == ctr_keystream(KEY, IV16, 4, 9)


# ---- properties ------------------------------------------------------------------

@pytest.mark.parametrize("name", ["offset", "state"])
def test_properties_are_read_only(name):
    obj = AesCtr256(KEY, IV16)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(obj, name, 3)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(obj, name)
    assert position(obj) == (0, 16)
    assert type(getattr(obj, name)) is int
