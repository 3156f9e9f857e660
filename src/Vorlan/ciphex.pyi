"""AES-256 in IGE, CBC and seekable CTR mode, on the processor's AES
instructions where it has them (AES-NI on x86-64, the ARMv8 Cryptography
Extensions on aarch64) and on portable table-driven code otherwise. Every call lets go of
the interpreter lock around its cipher work.

Confidentiality only: none of these modes detects tampering, so
authenticate every message separately, and never reuse a CTR key and IV for
two streams. See the README's security notes."""
from collections.abc import Buffer
from typing import TypedDict

from typing_extensions import Self, disjoint_base

class _Features(TypedDict):
    aes_ni: int
    pclmulqdq: int
    ssse3: int
    sse4_1: int
    avx2: int
    arm_crypto: int
    backend_id: int
    backend: str

@disjoint_base
class AesIge256:
    """AES-256 in IGE mode under one 32-byte key. Keeps no chaining state:
    every call starts from the 32-byte iv it is given (previous ciphertext
    block, then previous plaintext block). Data lengths are multiples of 16."""
    def __new__(cls, key: Buffer) -> Self: ...
    def encrypt(self, data: Buffer, iv: Buffer) -> bytes:
        """The ciphertext of data, as a new bytes object."""
    def decrypt(self, data: Buffer, iv: Buffer) -> bytes:
        """The plaintext of data, as a new bytes object."""
    def encrypt_into(self, data: Buffer, iv: Buffer) -> None:
        """Encrypts a writable buffer in place."""
    def decrypt_into(self, data: Buffer, iv: Buffer) -> None:
        """Decrypts a writable buffer in place."""

@disjoint_base
class AesCbc256:
    """AES-256 in CBC mode under one 32-byte key. Keeps no chaining state:
    every call starts from the 16-byte iv it is given. Data lengths are
    multiples of 16; there is no padding."""
    def __new__(cls, key: Buffer) -> Self: ...
    def encrypt(self, data: Buffer, iv: Buffer) -> bytes:
        """The ciphertext of data, as a new bytes object."""
    def decrypt(self, data: Buffer, iv: Buffer) -> bytes:
        """The plaintext of data, as a new bytes object."""
    def encrypt_into(self, data: Buffer, iv: Buffer) -> None:
        """Encrypts a writable buffer in place."""
    def decrypt_into(self, data: Buffer, iv: Buffer) -> None:
        """Decrypts a writable buffer in place."""

@disjoint_base
class AesCtr256:
    """AES-256 in CTR mode: the keystream E(iv), E(iv + 1), ... with a
    128-bit big-endian counter, starting state (0..15) bytes in. Consecutive
    calls continue one stream; threads sharing an object get disjoint parts
    of it."""
    def __new__(cls, key: Buffer, iv: Buffer, state: int = 0) -> Self: ...
    def crypt(self, data: Buffer) -> bytes:
        """data XOR the keystream from the current offset, as a new bytes
        object; encryption and decryption alike. Advances by len(data)."""
    def crypt_into(self, data: Buffer) -> None:
        """As crypt, in place on a writable buffer."""
    def seek(self, pos: int) -> None:
        """Moves to absolute keystream position pos (0 or more)."""
    @property
    def offset(self) -> int:
        """The absolute keystream position of the next byte."""
    @property
    def state(self) -> int:
        """1..15: bytes of the buffered keystream block used; 16: none buffered."""

def features() -> _Features:
    """The probed CPU features and the chosen backend, as a new dict."""
def backend() -> str:
    """The name of the backend in use: "x86-aesni", "arm-crypto" or "soft"."""
def backend_id() -> int:
    """The id of the backend in use: 1 for x86-aesni, 2 for arm-crypto, 0 for soft."""
