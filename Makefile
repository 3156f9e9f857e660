# Everything runs inside the build root (tools/in-root) unless IN_ROOT is
# emptied on a host that has CPython 3.14 itself: make test IN_ROOT=
IN_ROOT ?= tools/in-root
PYTHON  ?= python3.14
VENV    := build/venv
VPY     := $(VENV)/bin/python
JOBS    ?= 2

.PHONY: demo test install native-test pytest root clean

demo: install
	$(IN_ROOT) $(VPY) examples/demo.py

test: install native-test pytest

# The venv sees the root's system packages (pytest, hypothesis, ...), so
# nothing has to come from PyPI.
$(VPY):
	$(IN_ROOT) $(PYTHON) -m venv --system-site-packages $(VENV)

install: $(VPY)
	$(IN_ROOT) $(VPY) -m pip install --no-build-isolation --no-deps --no-index -q .

native-test:
	$(IN_ROOT) sh -c 'cmake -S . -B build/native -G Ninja -DVORLAN_NATIVE_TESTS=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null && \
	    cmake --build build/native -j $(JOBS) && \
	    ctest --test-dir build/native --output-on-failure'

pytest:
	$(IN_ROOT) $(VPY) -m pytest -q

root:
	tools/build-root

clean:
	rm -rf build
