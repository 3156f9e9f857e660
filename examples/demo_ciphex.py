"""A tour of Vorlan.ciphex: each class encrypts and decrypts, a CTR stream is
resumed at an offset, and the module reports its backend."""
import os

from Vorlan import ciphex
from Vorlan.ciphex import AesCbc256, AesCtr256, AesIge256


def show(label, data):
    print(f"  {label:<11}{data[:32].hex(' ')}{' ...' if len(data) > 32 else ''}")


def main():
    print(f"backend: {ciphex.backend()} (id {ciphex.backend_id()})")
    print("features:", ", ".join(f"{k}={v}" for k, v in ciphex.features().items()))

    key = os.urandom(32)
    message = b"sixteen byte blk" * 3  # block modes take whole 16-byte blocks

    print("\nAesIge256 (32-byte iv: previous ciphertext block, previous plaintext block)")
    ige, iv32 = AesIge256(key), os.urandom(32)
    ct = ige.encrypt(message, iv32)
    show("ciphertext", ct)
    assert ige.decrypt(ct, iv32) == message
    buf = bytearray(message)
    ige.encrypt_into(buf, iv32)       # in place, same bytes as encrypt
    ige.decrypt_into(buf, iv32)
    print("  decrypted:", bytes(buf))

    print("\nAesCbc256 (16-byte iv)")
    cbc, iv16 = AesCbc256(key), os.urandom(16)
    ct = cbc.encrypt(message, iv16)
    show("ciphertext", ct)
    print("  decrypted:", cbc.decrypt(ct, iv16))

    print("\nAesCtr256 (any length; the stream runs on across calls)")
    stream = b"a counter-mode stream of any length, processed in pieces"
    sender = AesCtr256(key, iv16)
    ct = sender.crypt(stream[:20]) + sender.crypt(stream[20:])
    show("ciphertext", ct)
    print(f"  sender at offset {sender.offset}, state {sender.state}")
    receiver = AesCtr256(key, iv16)
    print("  decrypted:", receiver.crypt(ct))

    # Resume mid-stream: a fresh object seeks to the absolute offset of the
    # piece it was handed and decrypts just that piece.
    offset = 23
    resumed = AesCtr256(key, iv16)
    resumed.seek(offset)
    piece = resumed.crypt(ct[offset:offset + 16])
    print(f"  resumed at offset {offset}: {piece!r}")
    assert piece == stream[offset:offset + 16]
    print(f"  now at offset {resumed.offset}, state {resumed.state}")


if __name__ == "__main__":
    main()
