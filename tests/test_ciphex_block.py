"""AesIge256 and AesCbc256: results against OpenSSL, the order and wording of
their checks, and what in-place calls may and may not touch."""
import os

import pytest
from hypothesis import given, settings, strategies as st

from Vorlan.ciphex import AesCbc256, AesIge256

import ciphex_support as oracle
from ciphex_support import IV16, IV32, KEY

# cls, iv size, tag, OpenSSL-based encrypt and decrypt
MODES = {
    "ige": (AesIge256, 32, "ige256", oracle.ige_encrypt, oracle.ige_decrypt),
    "cbc": (AesCbc256, 16, "cbc256", oracle.cbc_encrypt, oracle.cbc_decrypt),
}
mode_params = pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())


def iv_for(size):
    return IV32 if size == 32 else IV16


# ---- results -------------------------------------------------------------------

def test_fips197_aes256_known_answer():
    # One CBC block under a zero iv is the bare cipher: FIPS-197 appendix C.3.
    plain = bytes.fromhex("00112233445566778899aabbccddeeff")
    cipher = bytes.fromhex("8ea2b7ca516745bfeafc49904b496089")
    assert AesCbc256(KEY).encrypt(plain, bytes(16)) == cipher
    assert AesCbc256(KEY).decrypt(cipher, bytes(16)) == plain
    # IGE with an all-zero iv: one block is the bare cipher too.
    assert AesIge256(KEY).encrypt(plain, bytes(32)) == cipher


@pytest.mark.parametrize("blocks", [1, 2, 3, 7, 8, 9, 64, 257])
@mode_params
def test_results_equal_openssl(mode, blocks):
    cls, iv_size, _, enc, dec = mode
    key, iv = os.urandom(32), os.urandom(iv_size)
    data = os.urandom(16 * blocks)
    obj = cls(key)
    ct = obj.encrypt(data, iv)
    assert ct == enc(key, iv, data)
    assert obj.decrypt(data, iv) == dec(key, iv, data)
    assert obj.decrypt(ct, iv) == data
    buf = bytearray(data)
    obj.encrypt_into(buf, iv)
    assert buf == ct
    obj.decrypt_into(buf, iv)
    assert buf == data


def test_large_cbc_equals_openssl():
    key, iv, data = os.urandom(32), os.urandom(16), os.urandom((1 << 20) + 16 * 5)
    obj = AesCbc256(key)
    ct = obj.encrypt(data, iv)
    assert ct == oracle.cbc_encrypt(key, iv, data)
    assert obj.decrypt(ct, iv) == data


@settings(max_examples=40, deadline=None)
@given(data=st.binary(max_size=40).map(lambda b: b[: len(b) // 16 * 16]),
       key=st.binary(min_size=32, max_size=32), iv=st.binary(min_size=32, max_size=32))
def test_ige_matches_the_ecb_built_oracle(data, key, iv):
    obj = AesIge256(key)
    assert obj.encrypt(data, iv) == oracle.ige_encrypt(key, iv, data)
    assert obj.decrypt(data, iv) == oracle.ige_decrypt(key, iv, data)


@pytest.mark.parametrize("blocks", [0, 1, 2, 5, 100])
@mode_params
def test_decrypt_inverts_encrypt(mode, blocks):
    cls, iv_size, *_ = mode
    data, iv = os.urandom(16 * blocks), os.urandom(iv_size)
    obj = cls(os.urandom(32))
    assert obj.decrypt(obj.encrypt(data, iv), iv) == data
    assert obj.encrypt(obj.decrypt(data, iv), iv) == data


@mode_params
def test_no_state_carries_between_calls_and_inputs_stay_unchanged(mode):
    cls, iv_size, *_ = mode
    obj = cls(KEY)
    iv = bytearray(iv_for(iv_size))
    data = bytearray(os.urandom(64))
    first = obj.encrypt(data, iv)
    assert obj.encrypt(data, iv) == first
    assert obj.encrypt(bytes(data), bytes(iv)) == first
    buf = bytearray(data)
    obj.encrypt_into(buf, iv)
    assert buf == first and iv == iv_for(iv_size)
    assert obj.decrypt(first, iv) == data


@mode_params
def test_a_message_split_over_calls_chains_through_the_iv(mode):
    # CBC continues from the last ciphertext block; IGE from the last
    # ciphertext block followed by the last plaintext block.
    cls, iv_size, *_ = mode
    obj, data = cls(KEY), os.urandom(160)
    iv = iv_for(iv_size)
    whole = obj.encrypt(data, iv)
    head, tail = data[:96], data[96:]
    ct_head = obj.encrypt(head, iv)
    next_iv = ct_head[-16:] + (head[-16:] if iv_size == 32 else b"")
    assert ct_head + obj.encrypt(tail, next_iv) == whole
    assert obj.decrypt(whole[:96], iv) + obj.decrypt(whole[96:], next_iv) == data


@pytest.mark.parametrize("iv_at", [0, 16, 32, 48, 8])
@pytest.mark.parametrize("direction", ["encrypt", "decrypt"])
@mode_params
def test_in_place_with_an_iv_inside_the_data_uses_the_iv_as_given(mode, direction, iv_at):
    cls, iv_size, *_ = mode
    obj = cls(KEY)
    buf = bytearray(os.urandom(96))
    before = bytes(buf)
    getattr(obj, direction + "_into")(buf, memoryview(buf)[iv_at:iv_at + iv_size])
    assert buf == getattr(obj, direction)(before, before[iv_at:iv_at + iv_size])


# ---- checks: messages and their order ------------------------------------------

@pytest.mark.parametrize("size", [0, 1, 16, 31, 33, 64])
@mode_params
def test_key_of_the_wrong_size_is_refused(mode, size):
    cls, _, tag, *_ = mode
    with pytest.raises(ValueError, match=f"^{tag} key must be 32 bytes$"):
        cls(bytes(size))


@pytest.mark.parametrize("method", ["encrypt", "decrypt", "encrypt_into", "decrypt_into"])
@mode_params
def test_iv_and_length_messages(mode, method):
    cls, iv_size, tag, *_ = mode
    obj = cls(KEY)
    iv = iv_for(iv_size)
    into = method.endswith("_into")
    call = getattr(obj, method)

    def arg(b):
        return bytearray(b) if into else b

    iv_message = f"^{tag} iv must be {iv_size} bytes$"
    length_message = f"^{tag} data length must be a multiple of 16$"
    other_iv = IV16 if iv_size == 32 else IV32
    for bad_iv in (b"", iv[:-1], iv + b"\0", other_iv):
        with pytest.raises(ValueError, match=iv_message):
            call(arg(bytes(32)), bad_iv)
        with pytest.raises(ValueError, match=iv_message):
            call(arg(b""), bad_iv)  # empty data still has its iv checked
    for length in (1, 15, 17, 31, 33, 1023):
        with pytest.raises(ValueError, match=length_message):
            call(arg(bytes(length)), iv)
    # Several faults at once: the iv length is checked before the data length.
    with pytest.raises(ValueError, match=iv_message):
        call(arg(bytes(15)), iv[:3])
    assert call(arg(b""), iv) == (None if into else b"")
    if not into:
        assert type(call(bytearray(), iv)) is bytes


@pytest.mark.parametrize("data, iv, error, match", [
    ("text", 7, TypeError, "not 'str'"),                   # data converted first
    (bytes(15), 7, TypeError, "not 'int'"),                # both held before any length
    (bytes(15), b"short", ValueError, "iv must be"),       # iv before data length
    (b"", "text", TypeError, "not 'str'"),                 # empty data still needs an iv
], ids=["data-type", "iv-type", "iv-length", "empty-data-iv-type"])
@pytest.mark.parametrize("method", ["encrypt", "decrypt"])
@mode_params
def test_check_order_with_several_bad_arguments(mode, method, data, iv, error, match):
    with pytest.raises(error, match=match):
        getattr(mode[0](KEY), method)(data, iv)


@pytest.mark.parametrize("data, iv, error, match", [
    (b"\0" * 15, "text", BufferError, "not writable"),  # read-only data before the iv
    (bytearray(15), "text", TypeError, "not 'str'"),
    (bytearray(15), b"", ValueError, "iv must be"),
    (bytearray(17), None, ValueError, "multiple of 16"),
], ids=["read-only-data", "iv-type", "iv-length", "data-length"])
@pytest.mark.parametrize("method", ["encrypt_into", "decrypt_into"])
@mode_params
def test_in_place_check_order_and_nothing_written_on_failure(mode, method, data, iv, error, match):
    cls, iv_size, *_ = mode
    iv = iv_for(iv_size) if iv is None else iv
    before = bytes(data)
    with pytest.raises(error, match=match):
        getattr(cls(KEY), method)(data, iv)
    assert bytes(data) == before

