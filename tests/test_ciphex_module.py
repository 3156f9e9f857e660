"""Vorlan.ciphex as a module: import and registration, one interpreter per
process, the backend report and CIPHEX_BACKEND, and the class tests re-run
on the other backend."""
import importlib
import json
import os
import pathlib
import platform
import subprocess
import sys

import pytest

import Vorlan.ciphex as ciphex

from ciphex_support import EMULATED, run_python

FEATURE_KEYS = ["aes_ni", "pclmulqdq", "ssse3", "sse4_1", "avx2", "arm_crypto", "backend_id",
                "backend"]
CPUINFO_FLAGS = {"aes_ni": "aes", "pclmulqdq": "pclmulqdq", "ssse3": "ssse3",
                 "sse4_1": "sse4_1", "avx2": "avx2"}


BACKEND_IDS = {"soft": 0, "x86-aesni": 1, "arm-crypto": 2}
ON_ARM = platform.machine() in ("aarch64", "arm64")


def automatic_backend():
    feats = ciphex.features()
    if feats["aes_ni"]:
        return "x86-aesni"
    return "arm-crypto" if feats["arm_crypto"] else "soft"


# ---- the module ------------------------------------------------------------------

def test_contents_in_creation_order():
    names = [n for n in vars(ciphex) if not n.startswith("__")]
    assert names == ["AesIge256", "AesCbc256", "AesCtr256", "features", "backend", "backend_id"]
    assert ciphex.__doc__ is None


def test_spec_attributes_are_copied():
    spec = ciphex.__spec__
    assert ciphex.__name__ == "Vorlan.ciphex"
    assert ciphex.__file__ == spec.origin
    assert ciphex.__loader__ is spec.loader
    assert ciphex.__package__ == "Vorlan"
    assert not hasattr(ciphex, "__path__")


def test_importing_again_gives_the_same_module_and_classes():
    ige = ciphex.AesIge256
    assert importlib.import_module("Vorlan.ciphex") is ciphex
    del sys.modules["Vorlan.ciphex"]
    try:
        again = importlib.import_module("Vorlan.ciphex")
    finally:
        sys.modules["Vorlan.ciphex"] = ciphex
    assert again is ciphex
    assert importlib.reload(ciphex) is ciphex
    assert ciphex.AesIge256 is ige


def test_a_module_loaded_under_another_name_is_registered_as_vorlan_ciphex():
    out = run_python(
        "import importlib.util, sys\n"
        "import Vorlan\n"
        "from importlib.machinery import EXTENSION_SUFFIXES\n"
        "import pathlib\n"
        "base = pathlib.Path(Vorlan.__path__[0])\n"
        "path = next(p for s in EXTENSION_SUFFIXES if (p := base / ('ciphex' + s)).exists())\n"
        "spec = importlib.util.spec_from_file_location('elsewhere.ciphex', path)\n"
        "m = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(m)\n"
        "import Vorlan.ciphex as again\n"
        "print(m.__name__, sys.modules['Vorlan.ciphex'] is m, again is m, m.AesCtr256.__module__)\n")
    assert out.split() == ["elsewhere.ciphex", "True", "True", "Vorlan.ciphex"]


def test_a_second_interpreter_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("no legacy subinterpreters in this build")
    code = (
        "try:\n"
        "    import Vorlan.ciphex\n"
        "except ImportError as e:\n"
        "    assert str(e) == 'Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.', e\n"
        "else:\n"
        "    raise AssertionError('imported')\n"
    )
    assert _testcapi.run_in_subinterp(code) == 0
    assert sys.modules["Vorlan.ciphex"] is ciphex  # the first interpreter's module is unharmed
    assert ciphex.AesCbc256(bytes(32)).encrypt(bytes(16), bytes(16))


# ---- the backend report --------------------------------------------------------

def test_features_is_a_fresh_dict_of_eight_keys_in_order():
    first = ciphex.features()
    assert list(first) == FEATURE_KEYS
    assert all(type(first[k]) is int and first[k] in (0, 1) for k in FEATURE_KEYS[:6])
    # Each processor reports only its own kind of feature.
    if ON_ARM:
        assert [first[k] for k in FEATURE_KEYS[:5]] == [0] * 5
    else:
        assert first["arm_crypto"] == 0
    assert first["backend_id"] == ciphex.backend_id() and first["backend"] == ciphex.backend()
    first["aes_ni"] = 99
    first.clear()
    second = ciphex.features()
    assert second is not first and list(second) == FEATURE_KEYS and second["aes_ni"] in (0, 1)


def test_backend_name_and_id_agree():
    allowed = {("arm-crypto", 2), ("soft", 0)} if ON_ARM else {("x86-aesni", 1), ("soft", 0)}
    assert (ciphex.backend(), ciphex.backend_id()) in allowed
    if not (ciphex.features()["aes_ni"] or ciphex.features()["arm_crypto"]):
        assert ciphex.backend() == "soft"
    for fn in (ciphex.features, ciphex.backend, ciphex.backend_id):
        with pytest.raises(TypeError, match="takes no arguments"):
            fn(1)


def test_features_match_the_kernel_cpu_flags():
    cpuinfo = pathlib.Path("/proc/cpuinfo")
    if not cpuinfo.exists():
        pytest.skip("no /proc/cpuinfo")
    if EMULATED:
        pytest.skip("a user-mode emulator shows the host's /proc/cpuinfo, not its model's")
    # x86 lists "flags", ARM "Features".
    key = "Features" if ON_ARM else "flags"
    line = next((ln for ln in cpuinfo.read_text().splitlines() if ln.startswith(key)), None)
    if line is None:
        pytest.skip(f"no {key} line for this processor")
    flags = set(line.split(":", 1)[1].split())
    feats = ciphex.features()
    if ON_ARM:
        assert feats["arm_crypto"] == int("aes" in flags)
    else:
        assert {k: feats[k] for k in CPUINFO_FLAGS} == {k: int(f in flags) for k, f in CPUINFO_FLAGS.items()}


def test_changing_the_variable_after_import_changes_nothing(monkeypatch):
    before = ciphex.features()
    for value in ("soft", "aesni", ""):
        monkeypatch.setenv("CIPHEX_BACKEND", value)
        assert ciphex.features() == before
    monkeypatch.delenv("CIPHEX_BACKEND")
    assert ciphex.backend() == before["backend"]


REPORT = (
    "import json, Vorlan.ciphex as c\n"
    "k = bytes(range(32))\n"
    "ct = c.AesCbc256(k).encrypt(bytes.fromhex('00112233445566778899aabbccddeeff'), bytes(16))\n"
    "print(json.dumps([c.backend(), c.backend_id(), c.features(), ct.hex()]))\n"
)


@pytest.mark.parametrize("value", ["soft", "aesni", "SOFT", "soft ", " soft", "", "x86-aesni",
                                   "arm-crypto", "0", None],
                         ids=lambda v: "unset" if v is None else repr(v))
def test_ciphex_backend_variable(value):
    if value is None:
        out = run_python(REPORT, unset=["CIPHEX_BACKEND"])
    else:
        out = run_python(REPORT, env_update={"CIPHEX_BACKEND": value})
    name, ident, feats, ct = json.loads(out)
    expected = "soft" if value == "soft" else automatic_backend()
    assert (name, ident) == (expected, BACKEND_IDS[expected])
    assert (feats["backend"], feats["backend_id"]) == (name, ident)
    # The processor report does not depend on the choice.
    here = ciphex.features()
    assert {k: feats[k] for k in FEATURE_KEYS[:6]} == {k: here[k] for k in FEATURE_KEYS[:6]}
    assert ct == "8ea2b7ca516745bfeafc49904b496089"


# ---- every class test on the other backend --------------------------------------

CLASS_TESTS = ["test_ciphex_classes.py", "test_ciphex_block.py", "test_ciphex_ctr.py",
               "test_ciphex_threads.py"]
RERUN_MARK = "VORLAN_CIPHEX_RERUN"


def test_class_tests_pass_on_the_other_backend():
    # This file is not among those re-run, and the mark stops a re-run from
    # starting another even if someone adds it.
    if os.environ.get(RERUN_MARK):
        pytest.skip("inside the re-run")
    env = {k: v for k, v in os.environ.items() if k not in ("CIPHEX_BACKEND", "PYTEST_ADDOPTS")}
    env[RERUN_MARK] = "1"
    if ciphex.backend() != "soft":
        env["CIPHEX_BACKEND"], other = "soft", "soft"
    elif automatic_backend() != "soft":
        other = automatic_backend()
    else:
        pytest.skip("only the software backend exists on this processor")
    here = pathlib.Path(__file__).parent
    probe = subprocess.run([sys.executable, "-c", "import Vorlan.ciphex as c; print(c.backend())"],
                           env=env, capture_output=True, text=True)
    assert probe.stdout.strip() == other, probe.stderr
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           *(str(here / name) for name in CLASS_TESTS)],
                          env=env, cwd=here.parent, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-2000:]


def test_importing_on_the_interpreter_it_was_built_for_gives_no_warning():
    out = run_python("import warnings\nwarnings.simplefilter('error')\n"
                     "import Vorlan.ciphex\nprint('ok')")
    assert out.split() == ["ok"]
