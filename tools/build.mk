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

# Sanitizer builds use clang from the toolchain; the Python suite runs against the
# instrumented module with the runtime preloaded and the interpreter's allocator off.
ASAN := $(BUILD)/asan
TSAN := $(BUILD)/tsan
CLANG := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo

check-asan:
	cmake -S . -B $(ASAN) $(CMAKE_GEN) $(CLANG) -DSPATIAL_TESTS=ON -DSPATIAL_SANITIZE=address,undefined \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(ASAN)
	cd $(ASAN) && ctest --output-on-failure
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-x86_64.so) PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    PYTHONPATH=$(ASAN) $(PYTHON) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

check-tsan:
	cmake -S . -B $(TSAN) $(CMAKE_GEN) $(CLANG) -DSPATIAL_TESTS=ON -DSPATIAL_PYTHON=OFF \
	    -DSPATIAL_SANITIZE=thread >/dev/null
	cmake --build $(TSAN) --target timeline_stress
	TSAN_OPTIONS=halt_on_error=1 STRESS_MILLISECONDS=$${STRESS_MILLISECONDS:-2000} $(TSAN)/tests/native/timeline_stress

# The number formatter against printf on a hundred million doubles.
check-numbers: native
	NUMBER_DRAWS=$${NUMBER_DRAWS:-100000000} $(NATIVE)/tests/native/spatial_tests --gtest_filter='Numbers.Differential*'

BENCH := $(BUILD)/bench

bench: module
	cmake -S . -B $(BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DSPATIAL_PYTHON=OFF -DSPATIAL_BENCH=ON >/dev/null
	cmake --build $(BENCH) --target native_bench
	$(VPY) bench/bench.py $(BENCH)/bench/native_bench

check: test check-asan check-tsan
