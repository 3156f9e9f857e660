"""The free-threaded host: what importing each module does to the interpreter
lock, and sorb kept sound when a user forces the lock off (PYTHON_GIL=0).
Everything runs in fresh interpreters, so the lock state of this one (which
importing sorb anywhere in the suite turns on) does not matter."""
import os
import sysconfig

import pytest

from ciphex_support import run_python

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="needs a free-threaded CPython")

TESTS = os.path.dirname(os.path.abspath(__file__))

IMPORT_AND_REPORT = """
import sys, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    {imports}
print(sys._is_gil_enabled(), [str(w.message) for w in caught if w.category is RuntimeWarning])
"""


@pytest.mark.parametrize("imports, forced, lock_on", [
    ("import Vorlan.ciphex", None, False),
    ("import Vorlan.ciphex, Vorlan.sorb", None, True),
    ("import Vorlan.sorb", "0", False),
])
def test_importing_sorb_turns_the_lock_on_unless_forced_off(imports, forced, lock_on):
    out = run_python(IMPORT_AND_REPORT.format(imports=imports), unset=("PYTHON_GIL",),
                     env_update={"PYTHON_GIL": forced} if forced else None)
    enabled, warnings = out.rsplit("\n", 2)[-2].split(" ", 1)
    assert enabled == str(lock_on)
    if lock_on:
        # The interpreter's own warning, which names the module and the way out.
        assert "'Vorlan.sorb'" in warnings and "PYTHON_GIL=0" in warnings
    else:
        assert warnings == "[]"


LOCK_OFF_PRELUDE = """
import sys, threading
from Vorlan.sorb import SorbParser
from ciphex_support import run_threads
from sorb_examples import EXAMPLE_BYTES, EXAMPLE_DICT, EXAMPLE_SCHEMA, KINDS_SCHEMA
assert not sys._is_gil_enabled()
THREADS, ROUNDS = 4, 3000

def run(body):
    run_threads(body, THREADS)
"""

LOCK_OFF_CASES = {
    "separate-parsers": """
def body(i):
    parser = SorbParser(EXAMPLE_SCHEMA)
    for _ in range(ROUNDS):
        assert parser.pack(EXAMPLE_DICT) == EXAMPLE_BYTES
        assert parser.unpack(EXAMPLE_BYTES) == EXAMPLE_DICT
run(body)
""",
    # Calls that meet on one parser are refused whole; every call that runs
    # gives the right answer, and the parser works afterwards.
    "shared-parser": """
parser = SorbParser(EXAMPLE_SCHEMA)
refused = []
def body(i):
    for _ in range(ROUNDS):
        try:
            if i % 2:
                assert parser.pack(EXAMPLE_DICT) == EXAMPLE_BYTES
            else:
                assert parser.unpack(EXAMPLE_BYTES) == EXAMPLE_DICT
        except RuntimeError as exc:
            assert "already in use" in str(exc), exc
            refused.append(i)
run(body)
inside, go = threading.Event(), threading.Event()
class Slow:
    def __index__(self):
        inside.set()
        go.wait()
        return 5
    __int__ = __index__
worker = threading.Thread(target=lambda: parser.pack({**EXAMPLE_DICT, "count": Slow()}))
worker.start()
inside.wait()
try:
    parser.unpack(EXAMPLE_BYTES)
except RuntimeError as exc:
    assert "already in use" in str(exc), exc
else:
    raise AssertionError("a call met a running one and was not refused")
go.set()
worker.join()
assert parser.pack(EXAMPLE_DICT) == EXAMPLE_BYTES
""",
    # Another thread changes the dict and the list while they are packed: no
    # crash, and each pack either raises or writes a value that was there.
    "containers-changed-meanwhile": """
values = {"_": "ints", "v": [1, 2, 3]}
def body(i):
    parser = SorbParser(KINDS_SCHEMA)
    for j in range(ROUNDS):
        if i == 0:
            values["v"] = [j] * (j % 50)
            values["v"].extend(range(j % 7))
            values.pop("v", None)
            values["w"] = j
            del values["w"]
            values["v"] = list(range(j % 40))
        elif i == 1:
            v = values.get("v")
            if v:
                v.append(10**6)
                v.pop(0) if v else None
                v.clear()
        else:
            try:
                out = parser.pack(values)
            except (RuntimeError, IndexError, ValueError, TypeError, OverflowError):
                continue
            back = parser.unpack(out)
            assert back["_"] == "ints" and isinstance(back["v"], list)
run(body)
""",
}


@pytest.mark.parametrize("case", LOCK_OFF_CASES.values(), ids=LOCK_OFF_CASES.keys())
def test_sorb_with_the_lock_forced_off_never_corrupts_or_crashes(case):
    run_python(LOCK_OFF_PRELUDE + case, timeout=300,
               env_update={"PYTHON_GIL": "0", "PYTHONPATH": TESTS})
