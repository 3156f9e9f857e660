"""Threads: the interpreter lock is let go during cipher work, arguments stay
pinned meanwhile, block-mode objects can be shared freely, and a shared
AesCtr256 hands out disjoint keystream."""
import os
import subprocess
import sys
import threading

import pytest

from Vorlan.ciphex import AesCbc256, AesCtr256, AesIge256

from ciphex_support import IV16, IV32, KEY, N_THREADS, ctr_keystream, ecb_decrypt, run_python, run_threads

BIG = 1 << 20
MAX_CALLS = 500

ige, cbc = AesIge256(KEY), AesCbc256(KEY)

# Makers of calls to run on a bytearray of BIG bytes. Objects are made
# beforehand, since their construction lets go of the interpreter lock too.
LONG_CALLS = {
    "ige-encrypt": lambda: lambda buf: ige.encrypt(buf, IV32),
    "ige-decrypt": lambda: lambda buf: ige.decrypt(buf, IV32),
    "cbc-encrypt": lambda: lambda buf: cbc.encrypt(buf, IV16),
    "cbc-decrypt": lambda: lambda buf: cbc.decrypt(buf, IV16),
    "cbc-encrypt_into": lambda: lambda buf: cbc.encrypt_into(buf, IV16),
    "ige-decrypt_into": lambda: lambda buf: ige.decrypt_into(memoryview(buf), IV32),
    "ctr-crypt": lambda: AesCtr256(KEY, IV16).crypt,
    "ctr-crypt_into": lambda: AesCtr256(KEY, IV16).crypt_into,
}


def gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


@pytest.mark.parametrize("make", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_other_threads_run_during_a_long_call_and_cannot_resize_its_buffer(make, request):
    if not gil_enabled():
        # Without the lock there is nothing to observe; the same test with
        # the lock forced on still shows that the calls let go of it.
        proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                               request.node.nodeid], cwd=request.config.rootpath,
                              env={**os.environ, "PYTHON_GIL": "1"}, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return
    # With forced switching off, the other thread can take the lock only
    # while this one has let go of it, that is inside a cipher call, where
    # the buffer is held. This thread repeats the call until the other one
    # has run.
    data = os.urandom(BIG)
    buf = bytearray(data)
    call = make()
    found, outputs = [], []
    go = threading.Lock()
    go.acquire()

    def other():
        go.acquire()
        found.append("running")
        try:
            buf.extend(b"x" * 100)
        except BufferError:
            found.append("refused")

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        thread = threading.Thread(target=other)
        thread.start()
        go.release()
        while not found and len(outputs) < MAX_CALLS:
            outputs.append(call(buf))
        ran_during_calls = bool(found)
        thread.join()
    finally:
        sys.setswitchinterval(old)
    assert ran_during_calls, f"no other thread ran during {len(outputs)} calls"
    assert found == ["running", "refused"]
    # The calls were not disturbed: the same calls on an undisturbed copy.
    ref_buf, ref_call = bytearray(data), make()
    ref_outputs = [ref_call(ref_buf) for _ in outputs]
    assert outputs == ref_outputs and buf == ref_buf


def require_lock_off():
    """Skips where the interpreter lock is on, except in the lock-off run of
    make test-free-threaded (VORLAN_FREE_THREADED), where that is a failure."""
    if gil_enabled():
        if os.environ.get("VORLAN_FREE_THREADED"):
            pytest.fail("the interpreter lock is on in the run that needs it off")
        pytest.skip("needs the interpreter lock off (a free-threaded CPython, ciphex alone)")


# Out-of-place calls, so that what each call saw shows in its output: IGE and
# CBC outputs of a longer input start with those of the shorter one.
RESIZE_CALLS = {
    "ige-encrypt": lambda buf: ige.encrypt(buf, IV32),
    "cbc-decrypt": lambda buf: cbc.decrypt(buf, IV16),
    "ctr-crypt": lambda buf: AesCtr256(KEY, IV16).crypt(buf),
}


@pytest.mark.parametrize("call", RESIZE_CALLS.values(), ids=RESIZE_CALLS.keys())
def test_a_buffer_resized_by_another_thread_during_a_call_is_refused(call):
    # Without the lock, a resize really runs while the call works on the
    # buffer's memory: it must fail with BufferError, not move the memory.
    require_lock_off()
    data = os.urandom(BIG)
    buf = bytearray(data)
    longest = call(data + bytes(16))
    stop, refused, outputs = threading.Event(), [], []

    def resizer():
        while not stop.is_set():
            try:
                if len(buf) > BIG:
                    del buf[BIG:]
                else:
                    buf.extend(bytes(16))
            except BufferError:
                refused.append(1)

    thread = threading.Thread(target=resizer)
    thread.start()
    try:
        for _ in range(MAX_CALLS):
            outputs.append(call(buf))
            if len(refused) >= 20:
                break
    finally:
        stop.set()
        thread.join()
    assert refused, f"no resize met any of {len(outputs)} calls"
    for out in outputs:
        assert len(out) in (BIG, BIG + 16) and out == longest[:len(out)]


# ---- shared objects ------------------------------------------------------------

@pytest.mark.parametrize("cls, iv_size", [(AesIge256, 32), (AesCbc256, 16)])
def test_threads_sharing_one_block_object_get_correct_results(cls, iv_size):
    shared, private = cls(KEY), cls(KEY)
    jobs = [[(os.urandom(16 * (1 + (i * 37 + j * 11) % 700)), os.urandom(iv_size))
             for j in range(25)] for i in range(N_THREADS)]
    expected = [[private.encrypt(m, iv) for m, iv in job] for job in jobs]

    def work(i):
        out = []
        for m, iv in jobs[i]:
            ct = shared.encrypt(m, iv)
            buf = bytearray(ct)
            shared.decrypt_into(buf, iv)
            out.append((ct, bytes(buf) == m))
        return out

    for i, got in enumerate(run_threads(work)):
        assert [ct for ct, _ in got] == expected[i]
        assert all(ok for _, ok in got)


def block_index(key, block):
    """The counter value whose keystream block this is."""
    return int.from_bytes(ecb_decrypt(key, block))


def locate(key, iv, piece):
    # Where a piece of keystream sits: one of its first sixteen 16-byte
    # windows is a whole keystream block, and only that one decrypts to a
    # counter near the iv.
    for k in range(16):
        n = (block_index(key, piece[k:k + 16]) - int.from_bytes(iv)) % (1 << 128)
        if n < 1 << 40:
            return 16 * n - k
    raise AssertionError("output that is not keystream")


def test_threads_sharing_one_ctr_object_consume_disjoint_keystream():
    # Pieces long enough that, without the object's lock, threads would
    # overlap inside the native call and reuse or skip keystream. Each piece
    # is checked and reduced to its span as soon as it is made.
    obj = AesCtr256(KEY, IV16, 3)
    sizes = [31, 100, 4096 + 5, 65536 + 17, (1 << 20) + 9, 47]
    calls = 48
    positions = []

    def work(i):
        spans = []
        for j in range(calls):
            n = sizes[(i + j) % len(sizes)]
            if (i + j) % 2:
                piece = obj.crypt(bytes(n))
            else:
                piece = bytearray(n)
                obj.crypt_into(piece)
            positions.append((obj.offset, obj.state))
            at = locate(KEY, IV16, piece)
            assert piece == ctr_keystream(KEY, IV16, at, n)
            spans.append((at, n))
        return spans

    per_thread = run_threads(work)
    total = sum(n for spans in per_thread for _, n in spans)
    assert obj.offset == 3 + total
    # Sorted by where they sit, the pieces tile the keystream from the start
    # with no gap and no reuse, and each thread's pieces lie in the order it
    # made its calls.
    for spans in per_thread:
        assert spans == sorted(spans), "a thread's calls went backwards"
    end = 3
    for start, length in sorted(s for spans in per_thread for s in spans):
        assert start == end, "gap or overlap in the keystream"
        end = start + length
    assert end == 3 + total
    assert all(1 <= s <= 16 and 3 <= o <= 3 + total for o, s in positions)


def test_seeks_racing_crypt_calls_never_give_a_torn_stream():
    # With one thread seeking while others crypt, every crypt still sees one
    # position: its output is one unbroken stretch of the keystream.
    obj = AesCtr256(KEY, IV16)
    sizes = [31, 4096 + 3, 65536 + 1, 200_000]

    def work(i):
        if i == 0:
            for j in range(200):
                obj.seek((j * 7919 * 16 + j) % (1 << 22))
            return []
        spans = []
        for j in range(30):
            n = sizes[(i + j) % len(sizes)]
            piece = obj.crypt(bytes(n))
            at = locate(KEY, IV16, piece)
            assert piece == ctr_keystream(KEY, IV16, at, n)
            spans.append(at)
        return spans

    run_threads(work)
    at = obj.offset
    assert obj.state == (at % 16 or 16)
    assert obj.crypt(bytes(40)) == ctr_keystream(KEY, IV16, at, 40)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_during_a_crypt_call_can_use_the_object():
    # The child has no copy of the thread that held the stream's lock.
    code = """
import os, sys, threading, time, warnings
from Vorlan.ciphex import AesCtr256
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
ctr = AesCtr256(bytes(32), bytes(16))
data = bytearray(16 << 20)
stop = False
def churn():
    while not stop:
        ctr.crypt_into(data)
worker = threading.Thread(target=churn)
worker.start()
time.sleep(0.05)
pid = os.fork()
if pid == 0:
    ctr.seek(0)
    ok = ctr.crypt(bytes(16)) == AesCtr256(bytes(32), bytes(16)).crypt(bytes(16))
    os._exit(0 if ok else 3)
stop = True
worker.join()
for _ in range(200):
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        sys.exit(os.waitstatus_to_exitcode(status))
    time.sleep(0.05)
os.kill(pid, 9)
os.waitpid(pid, 0)
sys.exit("the child hung on the stream lock")
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr


FIRST_IMPORT_RACE = """
import threading
barrier = threading.Barrier(8)
seen = []

def body():
    barrier.wait()
    from Vorlan.ciphex import AesCtr256, backend_id
    seen.append((backend_id(), AesCtr256(bytes(32), bytes(16)).crypt(bytes(40))))

threads = [threading.Thread(target=body) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert len(seen) == 8 and len(set(seen)) == 1, seen
print(seen[0][0])
"""


@pytest.mark.parametrize("forced", [None, "soft"])
def test_threads_importing_the_module_at_once_see_one_backend(forced):
    # The first import of a process, raced: the backend is chosen once and
    # every thread's first cipher call already sees it.
    env = {"CIPHEX_BACKEND": forced} if forced else None
    out = run_python(FIRST_IMPORT_RACE, env_update=env, unset=() if forced else ("CIPHEX_BACKEND",))
    if forced:
        assert out.strip() == "0"
