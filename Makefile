# Everything runs inside the build root (tools/in-root) unless IN_ROOT is
# emptied on a host that has CPython 3.14 itself: make test IN_ROOT=
IN_ROOT ?= tools/in-root
PYTHON  ?= python3.14
VENV    := build/venv
VPY     := $(VENV)/bin/python
JOBS    ?= 2

.PHONY: demo test quick-test valgrind lsan fuzz fuzz-build fuzz-replay fuzz-merge fuzz-hypothesis \
	test-tsan coverage coverage-free-threaded bench install native-test test-arm test-arm-python \
	test-free-threaded test-free-threaded-run test-free-threaded-tsan test-free-threaded-tsan-run \
	python-ft pytest test-asan test-py315 test-debug test-packaging root clean \
	wheels test-wheel bench-wheel

demo: install
	$(IN_ROOT) $(VPY) examples/demo.py
	$(IN_ROOT) $(VPY) examples/demo_ciphex.py

# The whole suite: native tests (here and cross-built for aarch64 under the
# emulator), pytest (also on the free-threaded 3.14t, on CPython 3.15, on the
# debug interpreter and under the emulator), the packaging checks, the cp314
# x86_64 wheel built with the wheels' tool chain and tested as installed,
# pytest against the sanitizer build, a replay of the fuzz corpus, the thread
# tests under ThreadSanitizer and a memcheck run. `make quick-test` is the
# fast loop while developing.
test: install native-test test-arm test-arm-python pytest test-free-threaded test-py315 \
	test-debug test-packaging test-wheel test-asan lsan fuzz-replay test-tsan valgrind

quick-test: install pytest

# The venv sees the root's system packages (pytest, hypothesis, ...), so
# nothing has to come from PyPI.
$(VPY):
	$(IN_ROOT) $(PYTHON) -m venv --system-site-packages $(VENV)

# Each build has its own folder, so repeated builds are incremental and no
# option of one build leaks into another.
PIP_INSTALL := -m pip install --no-build-isolation --no-deps --no-index -q
install: $(VPY)
	$(IN_ROOT) $(VPY) $(PIP_INSTALL) -C build-dir=build/plain-{wheel_tag} .

native-test:
	$(IN_ROOT) sh -c 'cmake -S . -B build/native -G Ninja -DVORLAN_NATIVE_TESTS=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null && \
	    cmake --build build/native -j $(JOBS) && \
	    ctest --test-dir build/native --output-on-failure'

# The native suites cross-built for aarch64 and run under qemu-user, named
# as the emulator in the tool chain file (no binary format is registered
# with the kernel). The "max" processor model has the AES instructions and
# must get the arm-crypto backend; no model of the emulator lacks them, so
# the software path runs forced by CIPHEX_BACKEND=soft (and directly, in
# the suites' backend tables). One more run on a Cortex-A53 model checks
# that nothing past the ARMv8.0 baseline with its crypto extension is used.
ARM_BUILD := build/arm
test-arm:
	$(IN_ROOT) sh -c 'cmake -S . -B $(ARM_BUILD) -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
	    -DVORLAN_NATIVE_TESTS=ON -DVORLAN_GTEST_SOURCE_DIR=/usr/src/googletest \
	    -DVORLAN_EXPECT_BACKEND=arm-crypto -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null && \
	    cmake --build $(ARM_BUILD) -j $(JOBS) && \
	    QEMU_CPU=max ctest --test-dir $(ARM_BUILD) --output-on-failure && \
	    QEMU_CPU=cortex-a53 ctest --test-dir $(ARM_BUILD) --output-on-failure -R "^ciphex_core$$"'

# The modules of the same cross build, staged as a package beside its Python
# files, and the pytest suite run on the arm64 libpython under the emulator
# through a small embedding program (tools/embed_python.c, run by
# tools/arm-python). The cipher tests' OpenSSL oracle is the arm64
# libcrypto there (VORLAN_EMULATED marks what the emulator cannot do); the
# stub checks need mypy's compiled modules, the host's only; the
# long hypothesis suites of sorb and the leak checks stay on the host for
# time (under the emulator they take minutes, and pass).
ARM_SITE := $(ARM_BUILD)/site
ARM_PYCONFIG := aarch64-linux-gnu-$(PYTHON)-config
ARM_PYTESTS := $(filter-out tests/test_sorb_fuzz.py tests/test_sorb_properties.py tests/test_stubs.py \
	tests/test_leaks.py,$(wildcard tests/test_*.py))
test-arm-python: test-arm
	$(IN_ROOT) sh -c 'aarch64-linux-gnu-gcc -O2 -Wall -Wextra -Werror $$($(ARM_PYCONFIG) --includes) \
	        tools/embed_python.c -o $(ARM_BUILD)/python-embed $$($(ARM_PYCONFIG) --ldflags --embed) && \
	    rm -rf $(ARM_SITE) && mkdir -p $(ARM_SITE)/Vorlan && \
	    cp src/Vorlan/*.py src/Vorlan/*.pyi src/Vorlan/py.typed $(ARM_SITE)/Vorlan/ && \
	    cp $(ARM_BUILD)/src/Vorlan/modules/*/*$$($(ARM_PYCONFIG) --extension-suffix) $(ARM_SITE)/Vorlan/ && \
	    QEMU_CPU=max PYTHONPATH=$(ARM_SITE) VORLAN_EMULATED=1 \
	        tools/arm-python -m pytest -q -p no:cacheprovider $(ARM_PYTESTS)'

# The free-threaded host: python3.14t, built in the root from the CPython
# source release beside the repository (tools/build-python-ft; about 15
# minutes the first time, then cached). The package is installed into a venv
# of it with pip, as a user would, and the whole suite runs there: importing
# sorb turns the interpreter lock on for that run. The thread tests then run
# again in a process that imports only ciphex, so the lock really stays off
# (VORLAN_FREE_THREADED makes their lock-off tests fail rather than skip).
# The stub checks need mypy's compiled modules, built for python3.14 only.
# Without the sources and without a python3.14t these targets say so and
# skip, except under CI=true.
FT_VENV := build/venv-3.14t
FT_TESTS := tests/test_ciphex_threads.py tests/test_free_threading.py
# $(call FT_GATE,build option,interpreter): exits 0 from the recipe where
# the interpreter cannot be had and that is allowed.
FT_GATE = rc=0; if [ -n "$(IN_ROOT)" ]; then tools/build-python-ft $(1) || rc=$$?; \
	elif ! command -v $(2) >/dev/null; then echo "skipped: no $(2) on PATH"; rc=3; \
	    [ "$${CI:-}" != true ] || rc=1; fi; \
	[ $$rc != 3 ] || exit 0; [ $$rc = 0 ] || exit $$rc
test-free-threaded:
	@$(call FT_GATE,,python3.14t); $(MAKE) --no-print-directory test-free-threaded-run

test-free-threaded-run:
	$(IN_ROOT) sh -c '[ -x $(FT_VENV)/bin/python ] || \
	    python3.14t -m venv --system-site-packages --without-pip $(FT_VENV)'
	$(IN_ROOT) $(FT_VENV)/bin/python $(PIP_INSTALL) -C build-dir=build/plain-{wheel_tag} .
	$(IN_ROOT) $(FT_VENV)/bin/python -m pytest -q -p no:cacheprovider --ignore=tests/test_stubs.py
	$(IN_ROOT) sh -c 'VORLAN_FREE_THREADED=1 $(FT_VENV)/bin/python -m pytest -q \
	    -p no:cacheprovider $(FT_TESTS)'

# The lock-off tests again, on a second free-threaded interpreter built
# with ThreadSanitizer (clang, as CPython's own free-threading CI does it),
# with both modules built with it too. Any report fails the run; only races
# inside the interpreter may be suppressed (tools/tsan-ft.supp says why for
# each). Not in `make test` for time: see docs/robustness.md.
FT_TSAN_VENV := build/venv-3.14t-tsan
FT_TSAN_LOG  := build/tsan-ft-report
FT_TSAN_ENV  := VORLAN_FREE_THREADED=1 \
	TSAN_OPTIONS="halt_on_error=1:exitcode=66:external_symbolizer_path=/usr/bin/addr2line:log_path=$(CURDIR)/$(FT_TSAN_LOG):suppressions=$(CURDIR)/tools/tsan-ft.supp"
test-free-threaded-tsan:
	@$(call FT_GATE,--tsan,python3.14t-tsan); $(MAKE) --no-print-directory test-free-threaded-tsan-run

test-free-threaded-tsan-run:
	$(IN_ROOT) sh -c '[ -x $(FT_TSAN_VENV)/bin/python ] || \
	    python3.14t-tsan -m venv --system-site-packages --without-pip $(FT_TSAN_VENV)'
	$(IN_ROOT) $(FT_TSAN_VENV)/bin/python $(PIP_INSTALL) \
	    -C build-dir=build/tsan-ft -C cmake.build-type=RelWithDebInfo -C cmake.define.VORLAN_TSAN=ON \
	    -C cmake.define.CMAKE_C_COMPILER=clang -C cmake.define.CMAKE_CXX_COMPILER=clang++ .
	$(IN_ROOT) sh -c 'rm -f $(FT_TSAN_LOG).*; $(FT_TSAN_ENV) $(FT_TSAN_VENV)/bin/python -m pytest -q \
	    -p no:cacheprovider $(FT_TESTS) || { cat $(FT_TSAN_LOG).* 2>/dev/null; exit 1; }; \
	    ! cat $(FT_TSAN_LOG).* 2>/dev/null | grep .'

pytest:
	$(IN_ROOT) $(VPY) -m pytest -q

# The pytest suite on Debian's debug interpreter (python3.14d), which checks
# the C API's use at run time and keeps the reference totals that the leak
# pass of tests/test_leaks.py reads. Built without NDEBUG, so that the
# assertions in the interpreter's inline functions run in the modules too.
DEBUG_VENV := build/venv-debug
test-debug:
	$(IN_ROOT) sh -c '[ -x $(DEBUG_VENV)/bin/python ] || python3.14d -m venv --system-site-packages $(DEBUG_VENV)'
	$(IN_ROOT) $(DEBUG_VENV)/bin/python $(PIP_INSTALL) -C build-dir=build/debug -C cmake.build-type=Debug .
	$(IN_ROOT) $(DEBUG_VENV)/bin/python -m pytest -q -p no:cacheprovider

# The package built and its pytest suite run on the next CPython as well, so
# that users who upgrade are covered.
PY315_VENV := build/venv-3.15
test-py315:
	$(IN_ROOT) sh -c '[ -x $(PY315_VENV)/bin/python ] || python3.15 -m venv --system-site-packages $(PY315_VENV)'
	$(IN_ROOT) $(PY315_VENV)/bin/python $(PIP_INSTALL) -C build-dir=build/plain-{wheel_tag} .
	$(IN_ROOT) $(PY315_VENV)/bin/python -m pytest -q -p no:cacheprovider

# sdist contents, a build from a read-only tree, and no option leaking from
# one build into the next: three builds with the standard tools.
test-packaging: $(VPY)
	$(IN_ROOT) sh -c 'VORLAN_PACKAGING_TESTS=1 $(VPY) -m pytest -q -p no:cacheprovider tests/packaging'

# The extensions built with AddressSanitizer and UndefinedBehaviorSanitizer,
# in a venv of their own, and the whole pytest suite run against them. The
# interpreter itself is not instrumented, so the ASan runtime is preloaded;
# leak checking is off here because the suite's other extensions leak at
# exit; `lsan` runs a focused workload with it on.
ASAN_VENV := build/venv-asan
CXX_IN_ROOT := g++
ASAN_RUNTIME := $$($(CXX_IN_ROOT) -print-file-name=libasan.so)
ASAN_ENV  := VORLAN_SANITIZED=1 LD_PRELOAD="$(ASAN_RUNTIME)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
test-asan:
	$(IN_ROOT) sh -c '[ -x $(ASAN_VENV)/bin/python ] || $(PYTHON) -m venv --system-site-packages $(ASAN_VENV)'
	$(IN_ROOT) $(ASAN_VENV)/bin/python $(PIP_INSTALL) \
	    -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	    -C cmake.define.VORLAN_SANITIZE=ON .
	$(IN_ROOT) sh -c '$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider'

# libFuzzer targets (fuzz/): the modules built by clang with the fuzzer's
# coverage hooks, ASan and UBSan, driven by small programs that embed the
# root's interpreter. `fuzz-replay` runs the committed corpus once (part of
# `make test`); `make fuzz` fuzzes every target for its share of
# FUZZ_SECONDS; `make fuzz-merge` folds what a run found into fuzz/corpus.
FUZZ_SECONDS ?= 1800
fuzz-build:
	$(IN_ROOT) sh -c 'cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLAN_FUZZ=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null && \
	    cmake --build build/fuzz -j $(JOBS)'

fuzz-replay: fuzz-build
	$(IN_ROOT) tools/fuzz-run replay

fuzz: fuzz-build
	$(IN_ROOT) tools/fuzz-run run $(FUZZ_SECONDS)

fuzz-merge: fuzz-build
	$(IN_ROOT) tools/fuzz-run merge

# The hypothesis suites of sorb with many more examples, against the
# sanitizer build. FUZZ_SCALE=10 runs ten times longer again.
FUZZ_SCALE ?= 5
FUZZ_TESTS := $(wildcard tests/test_sorb_fuzz.py tests/test_sorb_properties.py)
fuzz-hypothesis: test-asan
	$(IN_ROOT) sh -c '$(ASAN_ENV) HYPOTHESIS_PROFILE=long VORLAN_FUZZ_SCALE=$(FUZZ_SCALE) \
	    $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(FUZZ_TESTS)'

# Every benchmark in one run; writes docs/benchmarks.md and its charts. The
# thread-scaling section needs the free-threaded venv (make test-free-threaded).
bench: install
	$(IN_ROOT) sh -c 'cmake -S . -B build/bench -G Ninja -DVORLAN_BENCH=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null && \
	    cmake --build build/bench -j $(JOBS) --target ciphex_bench'
	$(IN_ROOT) sh -c '$(VPY) bench/report.py --native build/bench/bench/native/ciphex_bench \
	    $$([ -x $(FT_VENV)/bin/python ] && echo --free-threaded $(FT_VENV)/bin/python) $(BENCH_ARGS)'

# ThreadSanitizer over the thread tests: ciphex (the module that lets go of
# the interpreter lock) built with -fsanitize=thread in a venv of its own,
# its thread tests run with the runtime preloaded into the root's
# interpreter, and the native race of the first backend choice built with
# it too. tools/tsan.supp lists what is suppressed, in the interpreter only.
TSAN_VENV := build/venv-tsan
TSAN_LOG  := build/tsan-report
TSAN_ENV  := LD_PRELOAD="$$($(CXX_IN_ROOT) -print-file-name=libtsan.so)" PYTHONMALLOC=malloc \
	TSAN_OPTIONS="halt_on_error=1:exitcode=66:log_path=$(CURDIR)/$(TSAN_LOG):suppressions=$(CURDIR)/tools/tsan.supp"
test-tsan:
	$(IN_ROOT) sh -c '[ -x $(TSAN_VENV)/bin/python ] || $(PYTHON) -m venv --system-site-packages $(TSAN_VENV)'
	$(IN_ROOT) $(TSAN_VENV)/bin/python $(PIP_INSTALL) \
	    -C build-dir=build/tsan -C cmake.build-type=RelWithDebInfo \
	    -C cmake.define.VORLAN_TSAN=ON -C cmake.define.VORLAN_WITH_SORB=OFF .
	$(IN_ROOT) sh -c 'cmake -S . -B build/native-tsan -G Ninja -DVORLAN_NATIVE_TESTS=ON \
	    -DVORLAN_TSAN=ON -DVORLAN_WITH_SORB=OFF -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null && \
	    cmake --build build/native-tsan -j $(JOBS) --target ciphex_backend_race_test && \
	    TSAN_OPTIONS=halt_on_error=1:exitcode=66 build/native-tsan/tests/native/ciphex_backend_race_test'
	$(IN_ROOT) sh -c 'rm -f $(TSAN_LOG).*; $(TSAN_ENV) $(TSAN_VENV)/bin/python -m pytest -q \
	    -p no:cacheprovider tests/test_ciphex_threads.py || { cat $(TSAN_LOG).* 2>/dev/null; exit 1; }; \
	    ! cat $(TSAN_LOG).* 2>/dev/null | grep .'


# Line and branch coverage of src/ by the pytest and native suites: both
# built with gcov instrumentation (-O0, counters updated atomically since
# the thread tests race through the same code), the suites run, gcovr's
# text summaries to build/coverage/*.txt and its HTML pages to
# build/coverage/index.html. Branches the compiler adds for exceptions and
# for branches it proves unreachable are left out. `make coverage
# PYTHON=python3.14t` (or `make coverage-free-threaded`) measures on the
# free-threaded interpreter instead, in folders of its own
# (build/coverage-3.14t).
COV_SUFFIX := $(if $(filter python3.14,$(PYTHON)),,-$(patsubst python%,%,$(PYTHON)))
COV_VENV   := build/venv-cov$(COV_SUFFIX)
COV_BUILD  := build/cov$(COV_SUFFIX)
COV_NATIVE := build/native-cov$(COV_SUFFIX)
COV_OUT    := build/coverage$(COV_SUFFIX)
# mypy's compiled modules do not load on a free-threaded interpreter; there
# the thread tests run once more in a process where the lock stays off.
COV_PYTEST := $(if $(filter %t,$(PYTHON)),--ignore=tests/test_stubs.py)
COV_LOCK_OFF := $(if $(filter %t,$(PYTHON)),$(IN_ROOT) sh -c 'VORLAN_FREE_THREADED=1 \
	$(COV_VENV)/bin/python -m pytest -q -p no:cacheprovider $(FT_TESTS)')
GCOVR    := gcovr -r . --filter src/ --exclude-throw-branches --exclude-unreachable-branches \
	$(COV_BUILD) $(COV_NATIVE)
coverage:
	$(IN_ROOT) sh -c 'command -v $(PYTHON) >/dev/null || { echo "coverage: no $(PYTHON) in the build root"; exit 1; }'
	$(IN_ROOT) sh -c '[ -x $(COV_VENV)/bin/python ] || \
	    $(PYTHON) -m venv --system-site-packages --without-pip $(COV_VENV)'
	$(IN_ROOT) sh -c 'find $(COV_BUILD) $(COV_NATIVE) -name "*.gcda" -delete 2>/dev/null; true'
	$(IN_ROOT) $(COV_VENV)/bin/python $(PIP_INSTALL) \
	    -C build-dir=$(COV_BUILD) -C cmake.build-type=Debug -C cmake.define.VORLAN_COVERAGE=ON .
	$(IN_ROOT) sh -c 'cmake -S . -B $(COV_NATIVE) -G Ninja -DVORLAN_NATIVE_TESTS=ON \
	    -DCMAKE_BUILD_TYPE=Debug -DVORLAN_COVERAGE=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	    >/dev/null && cmake --build $(COV_NATIVE) -j $(JOBS) && \
	    ctest --test-dir $(COV_NATIVE) --output-on-failure'
	$(IN_ROOT) $(COV_VENV)/bin/python -m pytest -q -p no:cacheprovider $(COV_PYTEST)
	$(COV_LOCK_OFF)
	$(IN_ROOT) sh -c 'mkdir -p $(COV_OUT) && \
	    $(GCOVR) --txt $(COV_OUT)/lines.txt --txt-metric line \
	        --html-details $(COV_OUT)/index.html && \
	    $(GCOVR) --txt $(COV_OUT)/branches.txt --txt-metric branch && \
	    echo "Coverage on $$($(COV_VENV)/bin/python -c "import sys; print(sys.version)")" && \
	    cat $(COV_OUT)/lines.txt $(COV_OUT)/branches.txt'

coverage-free-threaded:
	@$(call FT_GATE,,python3.14t); $(MAKE) --no-print-directory coverage PYTHON=python3.14t

# LeakSanitizer over a short workload of both modules, on the sanitizer build.
lsan: test-asan
	$(IN_ROOT) sh -c 'ASAN_RUNTIME="$(ASAN_RUNTIME)" tools/lsan-check $(ASAN_VENV)/bin/python'

valgrind: install
	$(IN_ROOT) tools/valgrind-check $(VPY)

root:
	tools/build-root

# The sdist and the cp314 and cp314t wheels for x86_64 and aarch64 into
# dist/, each wheel built from the sdist in the wheels' root (Debian 11,
# GCC 10, glibc 2.31), tagged by auditwheel and tested as installed
# (tools/wheels says how). WHEELS=cp314-x86_64 builds only that one.
wheels:
	tools/wheels $(WHEELS)

# The cp314 x86_64 wheel as `make wheels` makes it (from the sdist, in the
# Debian 11 root with its GCC 10 and glibc 2.31, audited), its suite run as
# installed there and its cipher tests on an emulated Core 2: every change
# keeps building with the wheels' tool chain. Into build/wheel-check, not
# dist/. Without the CPython sources it says so and skips (CI=true: fails).
test-wheel:
	@if [ -z "$(IN_ROOT)" ]; then echo "skipped: the wheel check needs the build roots"; exit 0; fi; \
	rc=0; tools/wheels --quick --out build/wheel-check cp314-x86_64 || rc=$$?; \
	[ $$rc != 3 ] || exit 0; exit $$rc

# The cp314 x86_64 wheel of dist/ against the development build, both on
# the root's python3.14, in one run; writes its section of docs/benchmarks.md.
WHEEL_VENV := build/venv-wheel
bench-wheel: install
	$(IN_ROOT) sh -c 'rm -rf $(WHEEL_VENV) && $(PYTHON) -m venv --system-site-packages $(WHEEL_VENV) && \
	    $(WHEEL_VENV)/bin/python $(PIP_INSTALL) dist/vorlan-*-cp314-cp314-manylinux*_x86_64.whl'
	$(IN_ROOT) $(VPY) bench/bench_wheel.py --wheel $(WHEEL_VENV)/bin/python --dev $(VPY) \
	    --write docs/benchmarks.md $(BENCH_ARGS)

# The free-threaded interpreter alone (make test-free-threaded builds it too).
python-ft:
	tools/build-python-ft

clean:
	rm -rf build
