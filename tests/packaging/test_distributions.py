"""What users and packagers get from the standard tools: an sdist holding
only what a build and its tests need, a build from a read-only tree, and a
plain wheel after an option build. Slow (three builds), so `make
test-packaging` runs it."""
import os
import pathlib
import stat
import subprocess
import sys
import tarfile
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(not os.environ.get("VORLAN_PACKAGING_TESTS"),
                                reason="builds the package three times: make test-packaging")


def build(kind, source, out, *options):
    proc = subprocess.run([sys.executable, "-m", "build", f"--{kind}", "--no-isolation", "--outdir",
                           str(out), *(f"-C{option}" for option in options), str(source)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    return next(out.glob("*.tar.gz" if kind == "sdist" else "*.whl"))


def needed_libraries(wheel, into):
    with zipfile.ZipFile(wheel) as archive:
        modules = [n for n in archive.namelist() if n.endswith(".so")]
        archive.extractall(into, modules)
    assert len(modules) == 2
    needed = set()
    for module in modules:
        dump = subprocess.run(["objdump", "-p", str(into / module)], check=True,
                              capture_output=True, text=True).stdout
        needed |= {line.split()[1] for line in dump.splitlines() if line.strip().startswith("NEEDED")}
    return needed


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    return build("sdist", ROOT, tmp_path_factory.mktemp("sdist"))


def test_the_sdist_holds_tracked_sources_and_tests_only(sdist):
    with tarfile.open(sdist) as archive:
        names = {m.name.split("/", 1)[1] for m in archive.getmembers() if m.isfile()}
    tracked = set(subprocess.run(["git", "-C", str(ROOT), "ls-files"], check=True,
                                 capture_output=True, text=True).stdout.split())
    assert names - {"PKG-INFO"} <= tracked, "untracked files shipped"
    assert not {n for n in names if n.split("/")[0] in {".ci", "tools", "bench", "docs", "fuzz"}}
    assert {"pyproject.toml", "CMakeLists.txt", "src/Vorlan/modules/sorb/sorb.cpp",
            "tests/test_sorb_reader.py", "tests/native/CMakeLists.txt"} <= names


def test_a_read_only_tree_from_the_sdist_builds_a_wheel(sdist, tmp_path):
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path, filter="data")
    tree = next(p for p in tmp_path.iterdir() if p.is_dir())
    for path in [tree, *tree.rglob("*")]:
        path.chmod(path.stat().st_mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))
    try:
        wheel = build("wheel", tree, tmp_path / "dist")
    finally:
        for path in [tree, *tree.rglob("*")]:
            path.chmod(path.stat().st_mode | stat.S_IWUSR)
    assert not any("san" in lib for lib in needed_libraries(wheel, tmp_path / "so"))


def test_a_plain_build_after_a_sanitizer_build_in_one_folder_is_plain(tmp_path):
    shared = f"build-dir={tmp_path / 'build'}"
    sanitized = build("wheel", ROOT, tmp_path / "asan", shared, "cmake.define.VORLAN_SANITIZE=ON")
    assert any("asan" in lib for lib in needed_libraries(sanitized, tmp_path / "asan-so"))
    plain = build("wheel", ROOT, tmp_path / "plain", shared)
    assert not any("san" in lib for lib in needed_libraries(plain, tmp_path / "plain-so"))
