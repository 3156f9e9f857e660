"""Shared pieces of the ciphex tests: OpenSSL oracles, bytes-like kinds,
buffer exporters that count their exports, and a subprocess runner."""
import array
import ctypes
import ctypes.util
import mmap
import os
import pickle
import subprocess
import sys
import tempfile
import threading


# Set by runs under a user-mode emulator of another processor (make
# test-arm-python), where some host facilities do not exist.
EMULATED = bool(os.environ.get("VORLAN_EMULATED"))

KEY = bytes(range(32))
IV16 = bytes(range(100, 116))
IV32 = bytes(range(200, 232))


# ---- oracles: OpenSSL's libcrypto through ctypes ----------------------------
# Through ctypes rather than a compiled binding, so the oracle loads on every
# interpreter the suite runs on (a free-threaded one, an emulated processor's).

def _load_libcrypto():
    for name in (ctypes.util.find_library("crypto"), "libcrypto.so.3"):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        lib.EVP_CIPHER_CTX_new.restype = ctypes.c_void_p
        lib.EVP_CIPHER_CTX_free.argtypes = [ctypes.c_void_p]
        for mode in ("ecb", "cbc", "ctr"):
            getattr(lib, f"EVP_aes_256_{mode}").restype = ctypes.c_void_p
        lib.EVP_CipherInit_ex.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                          ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
        lib.EVP_CIPHER_CTX_set_padding.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.EVP_CipherUpdate.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                         ctypes.POINTER(ctypes.c_int), ctypes.c_char_p, ctypes.c_int]
        return lib
    raise ImportError("OpenSSL's libcrypto (libssl3) is needed as the tests' oracle")


_libcrypto = _load_libcrypto()
# One oracle call at a time: libcrypto counts references with atomics that
# ThreadSanitizer cannot see in a library built without it, so concurrent
# calls from the thread tests would be reported as races of the test itself.
_libcrypto_lock = threading.Lock()


def _evp(mode, key, iv, data, encrypt=True):
    """One whole AES-256 operation, without padding."""
    with _libcrypto_lock:
        return _evp_locked(mode, key, iv, data, encrypt)


def _evp_locked(mode, key, iv, data, encrypt):
    ctx = _libcrypto.EVP_CIPHER_CTX_new()
    assert ctx, "EVP_CIPHER_CTX_new failed"
    try:
        cipher = getattr(_libcrypto, f"EVP_aes_256_{mode}")()
        ok = _libcrypto.EVP_CipherInit_ex(ctx, cipher, None, bytes(key), iv and bytes(iv),
                                          int(encrypt))
        ok = ok and _libcrypto.EVP_CIPHER_CTX_set_padding(ctx, 0)
        out = ctypes.create_string_buffer(len(data) + 16)
        n = ctypes.c_int(0)
        ok = ok and _libcrypto.EVP_CipherUpdate(ctx, out, ctypes.byref(n), bytes(data), len(data))
        assert ok and n.value == len(data), f"EVP aes-256-{mode} failed"
        return out.raw[:len(data)]
    finally:
        _libcrypto.EVP_CIPHER_CTX_free(ctx)


def cbc_encrypt(key, iv, data):
    return _evp("cbc", key, iv, data)


def cbc_decrypt(key, iv, data):
    return _evp("cbc", key, iv, data, encrypt=False)


def ecb_encrypt(key, data):
    return _evp("ecb", key, None, data)


def ecb_decrypt(key, data):
    return _evp("ecb", key, None, data, encrypt=False)


def _xor(a, b):
    return (int.from_bytes(a) ^ int.from_bytes(b)).to_bytes(len(a))


def ige_encrypt(key, iv, data):
    """IGE over OpenSSL's raw block cipher: c_i = E(p_i ^ c_{i-1}) ^ p_{i-1},
    with iv = c_0 || p_0."""
    prev_c, prev_p = iv[:16], iv[16:]
    out = []
    for i in range(0, len(data), 16):
        p = data[i:i + 16]
        prev_c = _xor(ecb_encrypt(key, _xor(p, prev_c)), prev_p)
        prev_p = p
        out.append(prev_c)
    return b"".join(out)


def ige_decrypt(key, iv, data):
    prev_c, prev_p = iv[:16], iv[16:]
    out = []
    for i in range(0, len(data), 16):
        c = data[i:i + 16]
        prev_p = _xor(ecb_decrypt(key, _xor(c, prev_p)), prev_c)
        prev_c = c
        out.append(prev_p)
    return b"".join(out)


def ctr_keystream(key, iv, pos, length):
    """length bytes of the CTR keystream from absolute byte position pos, the
    counter being the whole 16-byte big-endian block (mod 2**128)."""
    counter = (int.from_bytes(iv) + pos // 16) % (1 << 128)
    skip = pos % 16
    return _evp("ctr", key, counter.to_bytes(16), bytes(skip + length))[skip:]


def ctr_crypt(key, iv, pos, data):
    return _xor(data, ctr_keystream(key, iv, pos, len(data))) if data else b""


# ---- exporters ----------------------------------------------------------------

class Exporter:
    """A Python-level buffer exporter that counts exports and releases, and
    can run a hook while the caller holds its buffer."""

    def __init__(self, target, on_export=None):
        self.target = target
        self.on_export = on_export
        self.exports = 0
        self.releases = 0

    def __buffer__(self, flags):
        view = memoryview(self.target)
        if flags & 1 and view.readonly:  # PyBUF_WRITABLE on read-only memory
            raise BufferError("read-only exporter")
        self.exports += 1
        if self.on_export is not None:
            self.on_export()
        return view

    def __release_buffer__(self, view):
        self.releases += 1
        view.release()

    @property
    def balanced(self):
        return self.exports == self.releases


class BytesSub(bytes):
    pass


class BytearraySub(bytearray):
    pass


_keep = []  # mmaps must outlive the objects that view them


def _mmap_rw(data):
    m = mmap.mmap(-1, len(data))
    m.write(data)
    _keep.append(m)
    return m


def _mmap_ro(data):
    # The map holds its own descriptor, so the file can close at once (left
    # open, the debug interpreter reports each one at exit).
    with tempfile.TemporaryFile() as f:
        f.write(data)
        f.flush()
        m = mmap.mmap(f.fileno(), len(data), access=mmap.ACCESS_READ)
    _keep.append(m)
    return m


def _array(code):
    def make(data):
        a = array.array(code)
        a.frombytes(data)
        return a
    return make


def _offset_view(data):
    # A view that does not start at the exporter's first byte.
    return memoryview(bytearray(b"\xaa" * 7) + bytearray(data) + bytearray(b"\xbb" * 5))[7:-5]


# Readable kinds, each a function bytes -> object with those bytes. The array
# kinds with wide items need lengths that are multiples of their item size.
READ_KINDS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "bytes-sub": BytesSub,
    "bytearray-sub": BytearraySub,
    "memoryview-bytes": memoryview,
    "memoryview-readonly": lambda d: memoryview(bytearray(d)).toreadonly(),
    "memoryview-offset": _offset_view,
    "array-B": _array("B"),
    "array-Q": _array("Q"),
    "mmap": _mmap_rw,
    "mmap-readonly": _mmap_ro,
    "ctypes": lambda d: (ctypes.c_char * len(d)).from_buffer_copy(d),
    "picklebuffer": lambda d: pickle.PickleBuffer(d),
    "exporter": lambda d: Exporter(bytes(d)),
}

# Writable kinds for the *_into methods; bytes(obj) reads the result back.
WRITE_KINDS = {
    "bytearray": bytearray,
    "bytearray-sub": BytearraySub,
    "memoryview-bytearray": lambda d: memoryview(bytearray(d)),
    "memoryview-offset": _offset_view,
    "array-B": _array("B"),
    "array-Q": _array("Q"),
    "mmap": _mmap_rw,
    "ctypes": lambda d: (ctypes.c_char * len(d)).from_buffer_copy(d),
    "exporter": lambda d: Exporter(bytearray(d)),
}

# Read-only exporters, refused by the *_into methods with BufferError.
READONLY_KINDS = {
    "bytes": bytes,
    "bytes-sub": BytesSub,
    "memoryview-bytes": memoryview,
    "memoryview-readonly": lambda d: memoryview(bytearray(d)).toreadonly(),
    "mmap-readonly": _mmap_ro,
    "picklebuffer-bytes": lambda d: pickle.PickleBuffer(d),
    "exporter": lambda d: Exporter(bytes(d)),
}

# Objects that are not bytes-like at all.
NOT_BYTES_LIKE = {
    "str": lambda d: d.decode("latin-1"),
    "int": lambda d: len(d),
    "none": lambda d: None,
    "list": list,
}


# ---- subprocesses -----------------------------------------------------------

N_THREADS = 4


def run_threads(work, count=N_THREADS):
    """Runs work(i) in `count` threads started together; returns their
    results in order, or fails with the exceptions any of them raised."""
    barrier = threading.Barrier(count)
    errors, results = [], [None] * count

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


def run_python(code, env_update=None, unset=(), timeout=60):
    """Runs code in a fresh interpreter of this venv; returns stdout, or fails
    with the child's stderr."""
    env = dict(os.environ)
    for name in unset:
        env.pop(name, None)
    env.update(env_update or {})
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout
