"""What the three cipher classes share: type shape, argument matching and its
messages, pickling refusal, subclassing, and how bytes-like arguments are
held (every kind accepted, every held buffer released, none resizable)."""
import copy
import gc
import os
import pickle
import weakref

import pytest

from Vorlan.ciphex import AesCbc256, AesCtr256, AesIge256

from ciphex_support import (EMULATED, IV16, IV32, KEY, NOT_BYTES_LIKE, READ_KINDS, READONLY_KINDS,
                            WRITE_KINDS, Exporter, run_python)

CLASSES = [AesIge256, AesCbc256, AesCtr256]
IV = {AesIge256: IV32, AesCbc256: IV16}
NO_REDUCE = "^no default __reduce__ due to non-trivial __cinit__$"


def make(cls):
    return cls(KEY, IV16) if cls is AesCtr256 else cls(KEY)


def exact(message):
    return "^" + message.replace("(", r"\(").replace(")", r"\)") + "$"


# ---- type shape ----------------------------------------------------------------

@pytest.mark.parametrize("cls", CLASSES)
def test_type_names_and_no_docstrings(cls):
    name = cls.__name__
    assert repr(cls) == f"<class 'Vorlan.ciphex.{name}'>"
    assert (cls.__module__, cls.__qualname__) == ("Vorlan.ciphex", name)
    assert cls.__doc__ is None
    methods = (["crypt", "crypt_into", "seek"] if cls is AesCtr256
               else ["encrypt", "decrypt", "encrypt_into", "decrypt_into"])
    assert [n for n in vars(cls) if not n.startswith("__")][:len(methods)] == methods
    for method in methods:
        assert getattr(cls, method).__qualname__ == f"{name}.{method}"
        assert getattr(cls, method).__doc__ is None
    if cls is AesCtr256:
        assert cls.offset.__doc__ is None and cls.state.__doc__ is None


@pytest.mark.parametrize("cls", CLASSES)
def test_instances_have_no_dict_no_weakref_and_are_not_tracked(cls):
    obj = make(cls)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    with pytest.raises(TypeError, match="immutable type"):
        cls.extra = 1


@pytest.mark.parametrize("cls", CLASSES)
def test_no_instance_exists_without_a_key(cls):
    with pytest.raises(TypeError, match="is not safe"):
        object.__new__(cls)
    with pytest.raises(TypeError, match="__cinit__"):
        cls.__new__(cls)


# ---- pickling and copying ------------------------------------------------------

REFUSALS = {
    **{f"pickle-{p}": (lambda p: lambda o: pickle.dumps(o, protocol=p))(p)
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "reduce": lambda o: o.__reduce__(),
    "reduce_ex": lambda o: o.__reduce_ex__(2),
    "setstate": lambda o: o.__setstate__(None),
    "setstate-keyword": lambda o: o.__setstate__(state=b""),
}


@pytest.mark.parametrize("how", REFUSALS.values(), ids=REFUSALS.keys())
@pytest.mark.parametrize("cls", CLASSES)
def test_pickling_and_copying_are_refused(cls, how):
    with pytest.raises(TypeError, match=NO_REDUCE):
        how(make(cls))
    sub = type("Sub", (cls,), {})
    with pytest.raises(TypeError, match=NO_REDUCE):
        how(sub(KEY, IV16) if cls is AesCtr256 else sub(KEY))


@pytest.mark.parametrize("call, message", [
    (lambda o: o.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda o: o.__reduce__(protocol=2), "__reduce__() got an unexpected keyword argument 'protocol'"),
    (lambda o: o.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda o: o.__setstate__(1, 2), "__setstate__() takes exactly 1 positional argument (2 given)"),
    (lambda o: o.__setstate__(1, state=2),
     "__setstate__() got multiple values for keyword argument 'state'"),
])
@pytest.mark.parametrize("cls", CLASSES)
def test_pickling_methods_check_their_arguments_first(cls, call, message):
    with pytest.raises(TypeError, match=exact(message)):
        call(make(cls))


# ---- argument matching ---------------------------------------------------------

def _count(name, qualifier, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes {qualifier} {expected} positional argument{plural} ({given} given)"


ige, cbc = AesIge256(KEY), AesCbc256(KEY)
ctr = AesCtr256(KEY, IV16)
M = bytes(16)

ARG_ERRORS = [
    # constructors
    (lambda: AesIge256(), _count("__cinit__", "exactly", 1, 0)),
    (lambda: AesCbc256(KEY, KEY), _count("__cinit__", "exactly", 1, 2)),
    (lambda: AesIge256(KEY, key=KEY), "__cinit__() got multiple values for keyword argument 'key'"),
    (lambda: AesCbc256(k=KEY), "__cinit__() got an unexpected keyword argument 'k'"),
    (lambda: AesIge256(KEY, bogus=1), "__cinit__() got an unexpected keyword argument 'bogus'"),
    (lambda: AesCtr256(), _count("__cinit__", "at least", 2, 0)),
    (lambda: AesCtr256(KEY), _count("__cinit__", "at least", 2, 1)),
    (lambda: AesCtr256(KEY, state=1), _count("__cinit__", "at least", 2, 1)),
    (lambda: AesCtr256(iv=IV16, state=0), _count("__cinit__", "at least", 2, 0)),
    (lambda: AesCtr256(KEY, IV16, 0, 0), _count("__cinit__", "at most", 3, 4)),
    (lambda: AesCtr256(KEY, IV16, 0, 0, bogus=1), _count("__cinit__", "at most", 3, 4)),
    (lambda: AesCtr256(KEY, IV16, 0, state=1),
     "__cinit__() got multiple values for keyword argument 'state'"),
    (lambda: AesCtr256(KEY, IV16, nonce=IV16), "__cinit__() got an unexpected keyword argument 'nonce'"),
    # block-mode methods
    (lambda: ige.encrypt(), _count("encrypt", "exactly", 2, 0)),
    (lambda: ige.encrypt(M), _count("encrypt", "exactly", 2, 1)),
    (lambda: cbc.decrypt(M, IV16, M), _count("decrypt", "exactly", 2, 3)),
    (lambda: ige.encrypt_into(iv=IV32), _count("encrypt_into", "exactly", 2, 0)),
    (lambda: cbc.decrypt_into(data=bytearray(M)), _count("decrypt_into", "exactly", 2, 1)),
    (lambda: ige.encrypt(M, IV32, data=M), "encrypt() got multiple values for keyword argument 'data'"),
    (lambda: cbc.encrypt(M, IV16, iv=IV16), "encrypt() got multiple values for keyword argument 'iv'"),
    (lambda: ige.decrypt(M, iv=IV32, key=KEY), "decrypt() got an unexpected keyword argument 'key'"),
    (lambda: cbc.encrypt(M, IV16, M, bogus=1), _count("encrypt", "exactly", 2, 3)),
    (lambda: ige.encrypt(M, **{"\udc80": 1}), "encrypt() got an unexpected keyword argument '\udc80'"),
    # counter-mode methods
    (lambda: ctr.crypt(), _count("crypt", "exactly", 1, 0)),
    (lambda: ctr.crypt(M, M), _count("crypt", "exactly", 1, 2)),
    (lambda: ctr.crypt_into(buf=bytearray(M)), "crypt_into() got an unexpected keyword argument 'buf'"),
    (lambda: ctr.crypt(M, data=M), "crypt() got multiple values for keyword argument 'data'"),
    (lambda: ctr.seek(), _count("seek", "exactly", 1, 0)),
    (lambda: ctr.seek(1, 2), _count("seek", "exactly", 1, 2)),
    (lambda: ctr.seek(position=1), "seek() got an unexpected keyword argument 'position'"),
]


@pytest.mark.parametrize("call, message", ARG_ERRORS)
def test_argument_errors_use_the_host_wording(call, message):
    with pytest.raises(TypeError, match=exact(message)):
        call()


def test_every_argument_can_be_given_by_keyword():
    data = bytes(range(48))
    assert AesIge256(key=KEY).encrypt(data=data, iv=IV32) == ige.encrypt(data, IV32)
    assert cbc.decrypt(iv=IV16, data=data) == cbc.decrypt(data, IV16)
    buf = bytearray(data)
    cbc.encrypt_into(iv=IV16, data=buf)
    assert buf == cbc.encrypt(data, IV16)
    one = AesCtr256(iv=IV16, state=3, key=KEY)
    two = AesCtr256(KEY, IV16)
    two.seek(pos=3)
    assert one.crypt(data=data) == two.crypt(data)
    buf = bytearray(data)
    one.crypt_into(data=buf)
    assert buf == two.crypt(data)


# ---- subclassing ---------------------------------------------------------------

@pytest.mark.parametrize("cls", CLASSES)
def test_python_subclass_constructs_and_behaves_like_its_base(cls):
    finalised = []

    class Sub(cls):
        def __init__(self, *args, **kwargs):
            self.label = "sub"

        def __del__(self):
            finalised.append(True)

    args = (KEY, IV16) if cls is AesCtr256 else (KEY,)
    obj, base = Sub(*args), cls(*args)
    assert isinstance(obj, cls) and obj.label == "sub"
    data = bytes(range(64))
    if cls is AesCtr256:
        assert obj.crypt(data) == base.crypt(data) and obj.offset == 64
    else:
        iv = IV[cls]
        assert obj.encrypt(data, iv) == base.encrypt(data, iv)
        assert obj.decrypt(data, iv) == base.decrypt(data, iv)
    del obj
    gc.collect()
    assert finalised == [True]
    # The base construction sees the subclass's arguments and checks them.
    with pytest.raises(ValueError, match="key must be 32 bytes"):
        Sub(KEY[:16], IV16) if cls is AesCtr256 else Sub(KEY[:16])
    with pytest.raises(TypeError, match="__cinit__"):
        Sub(*args, "extra", "more")


@pytest.mark.parametrize("cls", CLASSES)
def test_subclass_with_empty_slots_stays_without_dict(cls):
    Sub = type("Sub", (cls,), {"__slots__": ()})
    obj = Sub(KEY, IV16) if cls is AesCtr256 else Sub(KEY)
    assert not hasattr(obj, "__dict__")


# ---- bytes-like arguments ------------------------------------------------------

def call_read(cls, data, make_arg=lambda d: d):
    """Runs the reading operation of cls on data (wrapped by make_arg)."""
    if cls is AesCtr256:
        return AesCtr256(make_arg(KEY), make_arg(IV16)).crypt(make_arg(data))
    return cls(make_arg(KEY)).encrypt(make_arg(data), make_arg(IV[cls]))


def call_into(cls, target):
    if cls is AesCtr256:
        return AesCtr256(KEY, IV16).crypt_into(target)
    return cls(KEY).encrypt_into(target, IV[cls])


DATA = bytes(range(256)) * 2 + bytes(range(64))  # 576 bytes, a multiple of 16 and of 8


@pytest.mark.parametrize("kind", READ_KINDS.values(), ids=READ_KINDS.keys())
@pytest.mark.parametrize("cls", CLASSES)
def test_every_readable_kind_is_accepted_for_every_argument(cls, kind):
    expected = call_read(cls, DATA)
    assert type(expected) is bytes and len(expected) == len(DATA)
    assert call_read(cls, DATA, kind) == expected


@pytest.mark.parametrize("kind", WRITE_KINDS.values(), ids=WRITE_KINDS.keys())
@pytest.mark.parametrize("cls", CLASSES)
def test_every_writable_kind_is_transformed_in_place(cls, kind):
    target = kind(DATA)
    assert call_into(cls, target) is None
    assert bytes(target) == call_read(cls, DATA)


def test_in_place_on_a_slice_leaves_the_neighbours_alone():
    buf = bytearray(b"\x11" * 16 + DATA + b"\x22" * 16)
    cbc.encrypt_into(memoryview(buf)[16:-16], IV16)
    assert buf == b"\x11" * 16 + cbc.encrypt(DATA, IV16) + b"\x22" * 16
    buf = bytearray(b"\x33" * 5 + DATA[:37] + b"\x44" * 3)
    AesCtr256(KEY, IV16).crypt_into(memoryview(buf)[5:-3])
    assert buf == b"\x33" * 5 + AesCtr256(KEY, IV16).crypt(DATA[:37]) + b"\x44" * 3


@pytest.mark.parametrize("kind", READONLY_KINDS.values(), ids=READONLY_KINDS.keys())
@pytest.mark.parametrize("cls", CLASSES)
def test_in_place_refuses_read_only_exporters(cls, kind):
    target = kind(DATA)
    with pytest.raises(BufferError):
        call_into(cls, target)
    assert bytes(target) == DATA


@pytest.mark.parametrize("kind", NOT_BYTES_LIKE.values(), ids=NOT_BYTES_LIKE.keys())
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("position", ["key", "iv", "data", "data_into"])
def test_objects_without_the_buffer_protocol_raise_the_host_type_error(cls, kind, position):
    bad = kind(b"x" * 32)
    message = f"^a bytes-like object is required, not '{type(bad).__name__}'$"
    iv = IV16 if cls is AesCtr256 else IV[cls]
    with pytest.raises(TypeError, match=message):
        if position == "key":
            cls(bad, IV16) if cls is AesCtr256 else cls(bad)
        elif position == "iv":
            AesCtr256(KEY, bad) if cls is AesCtr256 else cls(KEY).decrypt(DATA, bad)
        elif cls is AesCtr256:
            getattr(AesCtr256(KEY, iv), "crypt_into" if position == "data_into" else "crypt")(bad)
        else:
            getattr(cls(KEY), "decrypt_into" if position == "data_into" else "decrypt")(bad, iv)


@pytest.mark.parametrize("cls", CLASSES)
def test_non_contiguous_and_released_views_raise_the_host_errors(cls):
    strided = memoryview(bytearray(DATA * 2))[::2]
    with pytest.raises(BufferError, match="not C-contiguous"):
        call_read(cls, strided)
    with pytest.raises(BufferError, match="not C-contiguous"):
        call_into(cls, strided)
    released = memoryview(bytearray(DATA))
    released.release()
    with pytest.raises(ValueError, match="released memoryview"):
        call_read(cls, released)


# Calls that fail at every check after the buffers are held, and calls that
# succeed; in all of them every export must be released exactly once.
def _block_cases(cls):
    iv = IV[cls]
    return [
        ("ok", DATA, iv, None),
        ("empty", b"", iv, None),
        ("bad-iv-length", DATA, iv[:-1], ValueError),
        ("empty-bad-iv", b"", iv + b"x", ValueError),
        ("bad-data-length", DATA[:-1], iv, ValueError),
        ("iv-not-bytes-like", DATA, "iv", TypeError),
    ]


@pytest.mark.parametrize("method", ["encrypt", "decrypt", "encrypt_into", "decrypt_into"])
@pytest.mark.parametrize("cls", [AesIge256, AesCbc256])
def test_block_methods_release_every_buffer_on_every_path(cls, method):
    obj = cls(KEY)
    for label, data, iv, error in _block_cases(cls):
        data_ex = Exporter(bytearray(data))
        iv_ex = Exporter(iv) if isinstance(iv, bytes) else iv
        if error is None:
            getattr(obj, method)(data_ex, iv_ex)
        else:
            with pytest.raises(error):
                getattr(obj, method)(data_ex, iv_ex)
        assert data_ex.exports == 1 and data_ex.balanced, label
        if isinstance(iv_ex, Exporter):
            assert iv_ex.exports == 1 and iv_ex.balanced, label
        if error is not None:
            assert data_ex.target == data, label  # nothing written on failure


@pytest.mark.parametrize("key, iv, state, error", [
    (KEY, IV16, 0, None),
    (KEY[:31], IV16, 0, ValueError),
    (KEY, IV16[:15], 0, ValueError),
    (KEY, IV16, 16, ValueError),
    (KEY, IV16, 1.5, TypeError),
    (KEY, IV16, 2**64, OverflowError),
])
def test_ctr_constructor_releases_both_buffers_on_every_path(key, iv, state, error):
    key_ex, iv_ex = Exporter(key), Exporter(iv)
    if error is None:
        AesCtr256(key_ex, iv_ex, state)
    else:
        with pytest.raises(error):
            AesCtr256(key_ex, iv_ex, state)
    assert (key_ex.exports, iv_ex.exports) == (1, 1)
    assert key_ex.balanced and iv_ex.balanced


@pytest.mark.parametrize("cls", CLASSES)
def test_constructors_and_ctr_methods_release_their_buffers(cls):
    for key in (KEY, KEY[:30]):
        ex = Exporter(key)
        try:
            cls(ex, IV16) if cls is AesCtr256 else cls(ex)
        except ValueError:
            pass
        assert ex.exports == 1 and ex.balanced
    if cls is AesCtr256:
        obj = AesCtr256(KEY, IV16)
        for method, buf in [("crypt", b"abc"), ("crypt_into", bytearray(b"abc")),
                            ("crypt", b""), ("crypt_into", bytearray())]:
            ex = Exporter(buf)
            getattr(obj, method)(ex)
            assert ex.exports == 1 and ex.balanced
        ex = Exporter(b"read-only")
        with pytest.raises(BufferError):
            obj.crypt_into(ex)
        assert ex.balanced


class ExportFails:
    """An exporter whose export raises something no caller would expect."""

    def __buffer__(self, flags):
        raise ZeroDivisionError("export refused")


# An export that raises passes its exception through untouched, and the
# buffers already held for the call are released.
@pytest.mark.parametrize("position", ["key", "iv", "data"])
@pytest.mark.parametrize("cls", CLASSES)
def test_failing_exporters_propagate_and_release_what_is_held(cls, position):
    key = ExportFails() if position == "key" else Exporter(KEY)
    iv = ExportFails() if position == "iv" else Exporter(IV16 if cls is AesCtr256 else IV[cls])
    data = ExportFails() if position == "data" else Exporter(bytearray(DATA))
    with pytest.raises(ZeroDivisionError, match="export refused"):
        if cls is AesCtr256:
            AesCtr256(key, iv).crypt_into(data)
        elif position == "key":
            cls(key)
        else:
            cls(KEY).encrypt_into(data, iv)
    for held in (key, iv, data):
        if isinstance(held, Exporter):
            assert held.balanced


# A later argument's conversion runs Python code while the earlier buffers
# are held; it must not be able to resize or release them under the call.
def test_iv_export_cannot_resize_the_data_being_encrypted():
    data = bytearray(DATA)
    view_data = memoryview(bytearray(DATA))
    refused = []

    def attack(actions):
        for action in actions:
            try:
                action()
            except BufferError:
                refused.append(True)

    mapped = READ_KINDS["mmap"](DATA)
    arr = WRITE_KINDS["array-Q"](DATA)
    cbc.encrypt_into(data, Exporter(IV16, lambda: attack([data.clear, lambda: data.extend(b"x")])))
    cbc.encrypt_into(view_data, Exporter(IV16, lambda: attack([view_data.release])))
    cbc.encrypt_into(mapped, Exporter(IV16, lambda: attack([mapped.close, lambda: mapped.resize(16)])))
    cbc.encrypt_into(arr, Exporter(IV16, lambda: attack([arr.pop, lambda: arr.extend([1] * 999)])))
    assert refused == [True] * 7
    for target in (data, view_data, mapped, arr):
        assert bytes(target) == cbc.encrypt(DATA, IV16)


def test_ctr_state_conversion_cannot_resize_key_or_iv():
    key, iv = bytearray(KEY), bytearray(IV16)
    refused = []

    class State:
        def __index__(self):
            for buf in (key, iv):
                try:
                    buf.clear()
                except BufferError:
                    refused.append(True)
            return 5

    obj = AesCtr256(key, iv, State())
    assert refused == [True, True]
    assert obj.offset == 5
    assert obj.crypt(DATA) == AesCtr256(KEY, IV16, 5).crypt(DATA)


def clear_the_calls_keyword_dict(arg):
    """From inside a constructor call made with **kwargs: empties the call's
    own keyword dict (the one dict holding arg), so that only the
    constructor still holds the other arguments, and reuses their memory."""
    for holder in gc.get_referrers(arg):
        if isinstance(holder, dict) and "key" in holder:
            holder.clear()
    return [bytes(range(256))[i % 7:] for i in range(2000)]


class ClearingIndex:
    def __index__(self):
        self.junk = clear_the_calls_keyword_dict(self)
        return 3


class ClearingExporter(Exporter):
    def __init__(self, target):
        super().__init__(target, lambda: setattr(self, "junk", clear_the_calls_keyword_dict(self)))


@pytest.mark.parametrize("cls, kwargs", [
    (AesCtr256, lambda: {"key": bytes(range(32)), "iv": bytes(range(16)), "state": ClearingIndex()}),
    (AesCtr256, lambda: {"key": ClearingExporter(bytes(range(32))), "iv": bytes(range(16))}),
    (AesIge256, lambda: {"key": ClearingExporter(bytes(range(32)))}),
    (AesCbc256, lambda: {"key": ClearingExporter(bytes(range(32)))}),
], ids=["ctr-state-index", "ctr-key-export", "ige-key-export", "cbc-key-export"])
def test_arguments_outlive_a_keyword_dict_cleared_during_construction(cls, kwargs):
    obj = cls(**kwargs())
    key, iv16 = bytes(range(32)), bytes(range(16))
    if cls is AesCtr256:
        state = obj.offset
        assert obj.crypt(DATA) == AesCtr256(key, iv16, state).crypt(DATA)
    else:
        assert obj.encrypt(DATA, IV[cls]) == cls(key).encrypt(DATA, IV[cls])


@pytest.mark.parametrize("cls, args", [
    (AesIge256, (b"short",)), (AesCbc256, (b"short",)),
    (AesCtr256, (KEY, IV16, 99)), (AesCtr256, (b"short", IV16)),
])
def test_an_object_whose_construction_failed_refuses_every_use(cls, args):
    kept = []

    class Keeper(cls):
        def __del__(self):
            kept.append(self)

    with pytest.raises(ValueError):
        Keeper(*args)
    gc.collect()
    obj = kept.pop()
    uses = ([lambda: obj.crypt(b"SECRET-PLAINTEXT" * 2), lambda: obj.crypt_into(bytearray(16)),
             lambda: obj.seek(0), lambda: obj.offset, lambda: obj.state] if cls is AesCtr256 else
            [lambda m=m: getattr(obj, m)(bytes(32), IV[cls]) for m in ("encrypt", "decrypt")] +
            [lambda m=m: getattr(obj, m)(bytearray(32), IV[cls])
             for m in ("encrypt_into", "decrypt_into")])
    for use in uses:
        with pytest.raises(RuntimeError, match="construction failed"):
            use()
    Keeper.__del__ = lambda self: None


def test_ctr_callbacks_may_use_the_same_object_without_deadlock():
    # Arguments are converted, and buffers released, outside the stream lock.
    obj = AesCtr256(KEY, IV16)
    seen = []

    class Pos:
        def __index__(self):
            seen.append(obj.offset)
            obj.crypt(b"x" * 3)
            return 40

    obj.seek(Pos())
    assert (seen, obj.offset) == ([0], 40)

    class Releasing(Exporter):
        def __release_buffer__(self, view):
            seen.append(obj.state)
            obj.seek(0)
            super().__release_buffer__(view)

    obj.crypt(Releasing(b"12345"))
    assert seen == [0, 13] and obj.offset == 0


ALLOCATION_FAILURE = """
import mmap, resource
from Vorlan.ciphex import AesCbc256, AesCtr256, AesIge256
big = 1 << 30
src = mmap.mmap(-1, big)  # address space only: its pages are never touched
ctr = AesCtr256(bytes(32), bytes(16), 5)
calls = [lambda: AesCbc256(bytes(32)).encrypt(src, bytes(16)),
         lambda: AesIge256(bytes(32)).decrypt(src, bytes(32)),
         lambda: ctr.crypt(src)]
size = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize'))
limit = size * 1024 + (256 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
for call in calls:
    try:
        call()
        print('no error')
    except MemoryError:
        print('MemoryError')
print(ctr.offset, ctr.state, ctr.crypt(b'abc') == AesCtr256(bytes(32), bytes(16), 5).crypt(b'abc'))
"""


def test_a_result_that_cannot_be_allocated_raises_memory_error_and_changes_nothing():
    if "asan" in os.environ.get("LD_PRELOAD", "") or not os.path.exists("/proc/self/status"):
        pytest.skip("needs an address-space limit, which the sanitizer runtime cannot live with")
    if EMULATED:
        pytest.skip("a user-mode emulator does not apply the address-space limit")
    out = run_python(ALLOCATION_FAILURE)
    assert out.split() == ["MemoryError"] * 3 + ["5", "5", "True"]
