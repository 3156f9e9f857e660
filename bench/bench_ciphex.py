"""Python-level cost of Vorlan.ciphex against python3-cryptography (OpenSSL),
measured in the same run.

    python bench/bench_ciphex.py [--quick]

Three groups of figures:
  per-call    small messages (16, 64, 256 B): for cryptography a fresh
              Cipher(...).encryptor() plus update/finalize per message, which
              is what its users pay per message; for us one method call on
              an existing object, and, as a second row, with the object
              constructed per message too.
  throughput  64 KiB and 1 MiB buffers, one call each.
  threads     one shared block-mode object used by 1 and by 2 threads (for
              cryptography, each thread with its own context).

cryptography has no IGE: our IGE figures are set against its CBC in the same
direction, the closest mode it offers (one dependent block chain, like IGE).

Each figure is the median of several samples taken after a warm-up, ours
and the peer's alternating so that both see the same machine noise.
run() returns the figures as a list of dicts for other tools to collect.
"""
import os
import statistics
import sys
import time

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from Vorlan import ciphex
from Vorlan.ciphex import AesCbc256, AesCtr256, AesIge256

from bench_threads import time_together

KEY = bytes(range(32))
IV16 = bytes(range(16))
IV32 = bytes(range(32))

SMALL = (16, 64, 256)
LARGE = (64 << 10, 1 << 20)
THREAD_CHUNK = 256 << 10


# ---- what is measured: factories of zero-argument calls ------------------------

def peer_fresh(mode_of, encrypt):
    """cryptography with a new context per message."""
    def make(msg):
        def call():
            cipher = Cipher(algorithms.AES(KEY), mode_of())
            ctx = cipher.encryptor() if encrypt else cipher.decryptor()
            return ctx.update(msg) + ctx.finalize()
        return call
    return make


def ours_existing(obj, method, *extra):
    def make(msg):
        fn = getattr(obj, method)
        return lambda: fn(msg, *extra)
    return make


def ours_new(factory, method, *extra):
    def make(msg):
        return lambda: getattr(factory(), method)(msg, *extra)
    return make


def cases():
    """(mode, ours on an existing object, ours constructed per message,
    cryptography, peer label)"""
    ige, cbc, ctr = AesIge256(KEY), AesCbc256(KEY), AesCtr256(KEY, IV16)
    cbc_mode = lambda: modes.CBC(IV16)  # noqa: E731
    return [
        ("cbc-encrypt", ours_existing(cbc, "encrypt", IV16),
         ours_new(lambda: AesCbc256(KEY), "encrypt", IV16), peer_fresh(cbc_mode, True), "CBC"),
        ("cbc-decrypt", ours_existing(cbc, "decrypt", IV16),
         ours_new(lambda: AesCbc256(KEY), "decrypt", IV16), peer_fresh(cbc_mode, False), "CBC"),
        ("ige-encrypt", ours_existing(ige, "encrypt", IV32),
         ours_new(lambda: AesIge256(KEY), "encrypt", IV32), peer_fresh(cbc_mode, True), "CBC"),
        ("ige-decrypt", ours_existing(ige, "decrypt", IV32),
         ours_new(lambda: AesIge256(KEY), "decrypt", IV32), peer_fresh(cbc_mode, False), "CBC"),
        ("ctr", ours_existing(ctr, "crypt"), ours_new(lambda: AesCtr256(KEY, IV16), "crypt"),
         peer_fresh(lambda: modes.CTR(IV16), True), "CTR"),
    ]


# ---- timing ------------------------------------------------------------------

def calibrate(call, min_time):
    n = 1
    while True:
        t = time.perf_counter()
        for _ in range(n):
            call()
        if time.perf_counter() - t >= min_time:
            return n
        n *= 2


def sample(call, n):
    t = time.perf_counter()
    for _ in range(n):
        call()
    return (time.perf_counter() - t) / n


def compare(calls, min_time, repeats):
    """Median seconds per call of each call, samples interleaved."""
    counts = [calibrate(c, min_time) for c in calls]  # doubles as the warm-up
    samples = [[] for _ in calls]
    for _ in range(repeats):
        for c, n, out in zip(calls, counts, samples):
            out.append(sample(c, n))
    return [statistics.median(s) for s in samples]


def threaded_rate(make_call, nthreads, calls, repeats):
    """Median bytes per second of nthreads threads each making `calls`
    calls of make_call(i)() on THREAD_CHUNK bytes, started together."""
    rates = []
    for r in range(repeats + 1):  # the first round is the warm-up
        makers = [lambda call=make_call(i): call for i in range(nthreads)]
        elapsed = time_together(makers, calls)
        if r:
            rates.append(nthreads * calls * THREAD_CHUNK / elapsed)
    return statistics.median(rates)


# ---- the run -------------------------------------------------------------------

def run(quick=False):
    min_time, repeats = (0.005, 3) if quick else (0.02, 7)
    rows = []
    base = {"backend": ciphex.backend()}
    for mode, existing, new, peer, peer_label in cases():
        for size in SMALL:
            msg = os.urandom(size)
            ours_t, ours_new_t, peer_t = compare([existing(msg), new(msg), peer(msg)],
                                                 min_time, repeats)
            for variant, t in (("existing object", ours_t), ("object per message", ours_new_t)):
                rows.append({**base, "group": "per-call", "mode": mode, "size": size,
                             "impl": "Vorlan", "variant": variant, "seconds": t})
            rows.append({**base, "group": "per-call", "mode": mode, "size": size,
                         "impl": "cryptography", "variant": f"fresh {peer_label} context",
                         "seconds": peer_t})
        for size in LARGE:
            msg = os.urandom(size)
            ours_t, peer_t = compare([existing(msg), peer(msg)], min_time * 2, repeats)
            for impl, t, variant in (("Vorlan", ours_t, "existing object"),
                                     ("cryptography", peer_t, f"fresh {peer_label} context")):
                rows.append({**base, "group": "throughput", "mode": mode, "size": size,
                             "impl": impl, "variant": variant, "seconds": t,
                             "mb_per_s": size / t / 1e6})

    chunk = os.urandom(THREAD_CHUNK)
    calls = 8 if quick else 32
    shared = {"ige-encrypt": (AesIge256(KEY), IV32), "cbc-encrypt": (AesCbc256(KEY), IV16)}
    for mode, (obj, iv) in shared.items():
        def ours(i, obj=obj, iv=iv):
            return lambda: obj.encrypt(chunk, iv)

        def peer(i):
            ctx = Cipher(algorithms.AES(KEY), modes.CBC(IV16)).encryptor()  # own context
            return lambda: ctx.update(chunk)

        for impl, make_call, variant in (("Vorlan", ours, "one shared object"),
                                         ("cryptography", peer, "one CBC context per thread")):
            for nthreads in (1, 2):
                rate = threaded_rate(make_call, nthreads, calls, repeats=3 if quick else 5)
                rows.append({**base, "group": "threads", "mode": mode, "size": THREAD_CHUNK,
                             "impl": impl, "variant": variant, "threads": nthreads,
                             "mb_per_s": rate / 1e6})
    return rows


# ---- the table ---------------------------------------------------------------

def _size(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB" if n >= 1 << 10 else f"{n} B"


def table(rows):
    lines = [f"backend: {rows[0]['backend']}    (ratio > 1: Vorlan is faster)", ""]
    lines.append("per-call cost, ns per message")
    lines.append(f"  {'mode':<12}{'size':>7}{'Vorlan':>10}{'+new obj':>10}{'crypto':>10}"
                 f"{'ratio':>8}{'ratio+new':>10}")
    per = {}
    for r in rows:
        if r["group"] == "per-call":
            per.setdefault((r["mode"], r["size"]), {})[r["variant"]] = r["seconds"]
    for (mode, size), v in per.items():
        ours, new = v["existing object"], v["object per message"]
        peer = next(t for k, t in v.items() if k.startswith("fresh"))
        lines.append(f"  {mode:<12}{_size(size):>7}{ours * 1e9:>10.0f}{new * 1e9:>10.0f}"
                     f"{peer * 1e9:>10.0f}{peer / ours:>7.1f}x{peer / new:>9.1f}x")
    lines += ["", "throughput, MB/s (IGE against cryptography's CBC: it has no IGE)"]
    lines.append(f"  {'mode':<12}{'size':>7}{'Vorlan':>10}{'crypto':>10}{'ratio':>8}")
    thr = {}
    for r in rows:
        if r["group"] == "throughput":
            thr.setdefault((r["mode"], r["size"]), {})[r["impl"]] = r["mb_per_s"]
    for (mode, size), v in thr.items():
        lines.append(f"  {mode:<12}{_size(size):>7}{v['Vorlan']:>10.0f}{v['cryptography']:>10.0f}"
                     f"{v['Vorlan'] / v['cryptography']:>7.2f}x")
    lines += ["", f"threads, MB/s over {_size(THREAD_CHUNK)} calls "
              "(Vorlan: one shared object; cryptography: a CBC context per thread)"]
    lines.append(f"  {'mode':<12}{'impl':<14}{'1 thread':>10}{'2 threads':>11}{'scaling':>9}")
    th = {}
    for r in rows:
        if r["group"] == "threads":
            th.setdefault((r["mode"], r["impl"]), {})[r["threads"]] = r["mb_per_s"]
    for (mode, impl), v in th.items():
        lines.append(f"  {mode:<12}{impl:<14}{v[1]:>10.0f}{v[2]:>11.0f}{v[2] / v[1]:>8.2f}x")
    return "\n".join(lines)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    print(table(run(quick="--quick" in argv)))


if __name__ == "__main__":
    main()
