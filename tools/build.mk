# Recipes run inside the toolchain; see the Makefile.
PYTHON ?= python3.14
BUILD := build
VENV := $(BUILD)/venv
VPY := $(VENV)/bin/python
NATIVE := $(BUILD)/native
CMAKE_GEN := -G Ninja
PYTEST_ARGS ?=

.PHONY: $(TARGETS) venv native module

$(VPY):
	$(PYTHON) -m venv --system-site-packages $(VENV)

venv: $(VPY)

native:
	cmake -S . -B $(NATIVE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DSPATIAL_TESTS=ON -DSPATIAL_PYTHON=OFF >/dev/null
	cmake --build $(NATIVE)

# Installs _spatial into the build's virtual environment with scikit-build-core;
# nothing is downloaded (no build isolation, no dependencies).
module: $(VPY)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --no-index .

build: native module

test: build
	cd $(NATIVE) && ctest --output-on-failure
	$(VPY) -m pytest -q $(PYTEST_ARGS)

demo: module
	$(VPY) examples/host_loop.py

clean:
	rm -rf $(BUILD)
