# Recipes run inside the toolchain; see the Makefile.
PYTHON ?= python3.14
BUILD := build
VENV := $(BUILD)/venv
VPY := $(VENV)/bin/python
NATIVE := $(BUILD)/native
# The project's own builds treat warnings as errors; a user's `pip install .` does not.
CMAKE_GEN := -G Ninja -DSPATIAL_WERROR=ON
PYTEST_ARGS ?=
# On the host's own toolchain, say first what is missing rather than fail midway.
CHECK_TOOLS := $(if $(filter host,$(SPATIAL_MODE)),tools/check-tools,true)

.PHONY: $(TARGETS) $(SPEECH_TARGETS) $(OPENXR_TARGETS) $(WEBXR_TARGETS) $(AGENT_TARGETS) docs check-docs venv native module dist dist-aarch64-build dist-aarch64-run \
    dist-aarch64-test

$(VPY):
	$(PYTHON) -m venv --system-site-packages $(VENV)

venv: $(VPY)

native:
	@$(CHECK_TOOLS) test
	cmake -S . -B $(NATIVE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DSPATIAL_TESTS=ON -DSPATIAL_PYTHON=OFF >/dev/null
	cmake --build $(NATIVE)

# Installs _spatial into the build's virtual environment with scikit-build-core;
# nothing is downloaded (no build isolation, no dependencies).
module: $(VPY)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --no-index -C cmake.define.SPATIAL_WERROR=ON .

build: native module

test: build
	cd $(NATIVE) && ctest --output-on-failure
	$(VPY) -m pytest -q $(PYTEST_ARGS)

# Regenerates the committed stubs from the installed module.
stubs: module
	$(VPY) -m pybind11_stubgen _spatial -o $(BUILD)/stubs
	cp $(BUILD)/stubs/_spatial.pyi src/python/_spatial.pyi

demo: module
	$(VPY) examples/host_loop.py

# A host on a headless OpenXR runtime with a scripted user (needs the OpenXR root).
demo-openxr: module
	$(VPY) examples/openxr/demo.py

check-openxr: module
	$(VPY) -m pytest -q -p no:cacheprovider tests/openxr $(PYTEST_ARGS)

# The WebXR host in a headless browser beside the OpenXR host, the same script through
# both (needs the OpenXR and the browser roots, and the page's packages in build/webxr).
demo-webxr: module
	$(VPY) examples/webxr/demo.py

check-webxr: module
	$(VPY) -m pytest -q -p no:cacheprovider tests/webxr $(PYTEST_ARGS)

# The session's records served over the Model Context Protocol to the official clients
# and the inspector's CLI, every era, stdio and HTTP (needs node and build/agent).
check-agent: module
	$(VPY) -m pytest -q -p no:cacheprovider tests/agent $(PYTEST_ARGS)

# From a frame line that changes the target to the update at an official client, and a
# tool call's round trip; the server's memory over a long session.
bench-agent: module
	$(VPY) bench/agent.py $(BENCH_AGENT_ARGS)

# A spoken session on the OpenXR runtime, and an agent on the official client asking
# what each deictic word referred to.
demo-agent: module
	$(VPY) examples/agent/demo.py

# The documentation site in build/docs, warnings (a broken internal link among them) as
# errors; the reference and the command's texts come from the installed module and package.
DOCS := $(BUILD)/docs

docs: module
	@$(CHECK_TOOLS) docs
	rm -rf $(DOCS)
	$(VPY) -m sphinx -W --keep-going -q -b html -d $(BUILD)/docs-doctrees docs $(DOCS)
	@echo "docs: $(DOCS)/index.html"

# The built site rendered in headless Chromium: screenshots in build/docs-shots.
check-docs: docs
	$(VPY) -m pytest -q -p no:cacheprovider tests/docs $(PYTEST_ARGS)

clean:
	rm -rf $(BUILD)

# Sanitizer builds use clang from the toolchain; the Python suite runs against the
# instrumented module with the runtime preloaded and the interpreter's allocator off,
# leak detection on and only the interpreter's own leaks suppressed (tools/lsan.supp).
ASAN := $(BUILD)/asan
TSAN := $(BUILD)/tsan
CLANG := -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo

check-asan:
	@$(CHECK_TOOLS) check
	cmake -S . -B $(ASAN) $(CMAKE_GEN) $(CLANG) -DSPATIAL_TESTS=ON -DSPATIAL_SANITIZE=address,undefined \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(ASAN)
	cd $(ASAN) && ctest --output-on-failure
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-x86_64.so) PYTHONMALLOC=malloc \
	    ASAN_SYMBOLIZER_PATH=$$(command -v llvm-symbolizer) ASAN_OPTIONS=detect_leaks=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    PYTHONPATH=$(ASAN):$(CURDIR)/src $(PYTHON) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

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
	cmake -S . -B $(BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DSPATIAL_PYTHON=OFF -DSPATIAL_BENCH=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(BENCH) --target native_bench _spatial_floor
	PYTHONPATH=$(BENCH)/bench $(VPY) bench/bench.py $(BENCH)/bench/native_bench

# Speech as people speak it: a seeded corpus of commands (some paused), commands outside
# the grammar and talk, three synthesisers' voices, rates and noise levels, recognised,
# judged and grounded (minutes; BENCH_SPEECH_ARGS to change it).
bench-speech: module
	$(VPY) bench/speech.py $(BENCH_SPEECH_ARGS)

# Each libFuzzer target runs FUZZ_SECONDS over a scratch corpus seeded from the
# committed one (tests/fuzz/corpus/<name without fuzz_>); the executions of every run
# are summed at the end.
FUZZ := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_records fuzz_numbers fuzz_read

fuzz:
	cmake -S . -B $(FUZZ) $(CMAKE_GEN) $(CLANG) -DSPATIAL_PYTHON=OFF -DSPATIAL_FUZZ=ON \
	    -DSPATIAL_SANITIZE=address,undefined >/dev/null
	cmake --build $(FUZZ) --target $(FUZZ_TARGETS)
	@total=0; for t in $(FUZZ_TARGETS); do \
	    corpus=$${t#fuzz_}; mkdir -p $(FUZZ)/corpus-$$corpus; \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(FUZZ)/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) \
	        -print_final_stats=1 -artifact_prefix=$(FUZZ)/ $(FUZZ)/corpus-$$corpus tests/fuzz/corpus/$$corpus \
	        > $(FUZZ)/$$t.log 2>&1 || { tail -40 $(FUZZ)/$$t.log; exit 1; }; \
	    runs=$$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ)/$$t.log); \
	    echo "$$t: $$runs executions in $(FUZZ_SECONDS) s, no failure"; total=$$((total + runs)); \
	done; echo "fuzz: $$total executions in all"

# Reference leaks under the debug interpreter, then memcheck on the native unit tests
# (the threaded stress test runs under ASan and TSan: memcheck serialises its threads).
DEBUG_PY := $(BUILD)/debug-python
VALGRIND := valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite --quiet

check-leaks: native
	cmake -S . -B $(DEBUG_PY) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$$(command -v python3.14d) >/dev/null
	cmake --build $(DEBUG_PY)
	PYTHONPATH=$(DEBUG_PY) python3.14d tests/leaks/refcount_loops.py
	NUMBER_DRAWS=20000 $(VALGRIND) $(NATIVE)/tests/native/spatial_tests --gtest_brief=1

# Line and branch coverage of the C++ sources from the native and the Python tests.
COVERAGE := $(BUILD)/coverage

coverage:
	cmake -S . -B $(COVERAGE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPATIAL_TESTS=ON -DSPATIAL_COVERAGE=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(COVERAGE)
	find $(COVERAGE) -name '*.gcda' -delete
	cd $(COVERAGE) && NUMBER_DRAWS=100000 STRESS_MILLISECONDS=300 ctest --output-on-failure
	PYTHONPATH=$(COVERAGE):$(CURDIR)/src $(PYTHON) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)
	gcovr --root . --object-directory $(COVERAGE) --filter 'src/' --filter 'include/' \
	    --exclude-unreachable-branches --exclude-throw-branches --txt-metric branch --print-summary \
	    --fail-under-line 95 $(COVERAGE)

# The sdist and a manylinux wheel in dist/, checked: contents and metadata, the sdist
# complete, the Python suite against the wheel installed outside the clone, and the C++
# core installed as a CMake package with the example host built against it, its records
# read back by the installed module byte for byte.
DIST := dist
DIST_WORK := $(BUILD)/dist

dist:
	@$(CHECK_TOOLS) dist
	rm -rf $(DIST) $(DIST_WORK)
	mkdir -p $(DIST) $(DIST_WORK)/sdist
	$(PYTHON) -m build --no-isolation --sdist --wheel --outdir $(DIST_WORK)/raw . >$(DIST_WORK)/build.log 2>&1 || \
	    { tail -30 $(DIST_WORK)/build.log; exit 1; }
	auditwheel repair --wheel-dir $(DIST) $(DIST_WORK)/raw/*.whl >$(DIST_WORK)/repair.log 2>&1 || \
	    { cat $(DIST_WORK)/repair.log; exit 1; }
	auditwheel show $(DIST)/*.whl | tr '\n' ' ' | sed 's/  */ /g'; echo
	cp $(DIST_WORK)/raw/*.tar.gz $(DIST)/
	tar -xzf $(DIST)/*.tar.gz -C $(DIST_WORK)/sdist
	$(PYTHON) -m build --no-isolation --wheel --outdir $(DIST_WORK)/from-sdist $(DIST_WORK)/sdist/* \
	    >$(DIST_WORK)/build-sdist.log 2>&1 || { tail -30 $(DIST_WORK)/build-sdist.log; exit 1; }
	$(PYTHON) tools/check-dist $(DIST) $(DIST_WORK)/raw/*.whl $(DIST_WORK)/from-sdist/*.whl
	@set -e; env=$$(mktemp -d); \
	$(PYTHON) -m venv --system-site-packages $$env; \
	$$env/bin/python -m pip install --quiet --no-index --no-deps $(DIST)/*.whl; \
	$$env/bin/python -c 'import _spatial, sys; where = _spatial.__file__; \
	    sys.exit(0 if where.startswith(sys.prefix) and not where.startswith("$(CURDIR)") else "not installed: " + where)'; \
	echo "the Python suite against the wheel installed in $$env:"; \
	$$env/bin/python -m pytest -q -rs -p no:cacheprovider tests/python $(PYTEST_ARGS); \
	cmake -S . -B $(DIST_WORK)/core $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DSPATIAL_PYTHON=OFF >/dev/null; \
	cmake --build $(DIST_WORK)/core >/dev/null; \
	cmake --install $(DIST_WORK)/core --prefix $$env/cpp >/dev/null; \
	cmake -S examples/cpp -B $(DIST_WORK)/example -G Ninja -DCMAKE_PREFIX_PATH=$$env/cpp >/dev/null; \
	cmake --build $(DIST_WORK)/example >/dev/null; \
	$(DIST_WORK)/example/spatial_host >$(DIST_WORK)/example.jsonl; \
	$$env/bin/python tools/check-records $(DIST_WORK)/example.jsonl 180 3; \
	echo "the installed command: $$($$env/bin/spatial --version)"; \
	$$env/bin/spatial check $(DIST_WORK)/example.jsonl | \
	    grep -qx "$(DIST_WORK)/example.jsonl: 183 records (180 frames, 3 events), 0 refused" || \
	    { echo "make dist: the installed spatial command did not check the example's records" >&2; exit 1; }; \
	rm -rf $$env

# 64-bit ARM Linux. In the cross root: the wheel, cross-built and repaired like the x86-64
# one, checked to hold the same files; the native tests and the C++ package with the
# example host, cross-built. Where aarch64 programs run (tools/binfmt): the native tests,
# the number formatter against the aarch64 printf, and the example host, whose records
# must be the x86-64 host's byte for byte. In the aarch64 root: the wheel installed into a
# fresh environment of its own interpreter, the Python suite and the installed command.
AARCH64 := $(BUILD)/aarch64
AARCH64_CMAKE := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake
# The aarch64 libraries of the cross compiler, for running what it built here.
AARCH64_RUN := LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib
AARCH64_NUMBER_DRAWS ?= 2000000
# The wheel's tag and the module's name come from the build's interpreter unless told.
AARCH64_SUFFIX := .cpython-314-aarch64-linux-gnu.so

dist-aarch64-build:
	rm -rf $(AARCH64) $(DIST)/*_aarch64.whl
	mkdir -p $(AARCH64)
	_PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=$(AARCH64_SUFFIX) \
	    $(PYTHON) -m build --no-isolation --wheel --outdir $(AARCH64)/raw -C build-dir=build/wheel-aarch64 \
	    -C cmake.args="$(AARCH64_CMAKE);-DPYTHON_MODULE_EXTENSION=$(AARCH64_SUFFIX)" -C cmake.define.SPATIAL_WERROR=ON . \
	    >$(AARCH64)/build.log 2>&1 || \
	    { tail -30 $(AARCH64)/build.log; exit 1; }
	auditwheel repair --wheel-dir $(DIST) $(AARCH64)/raw/*.whl >$(AARCH64)/repair.log 2>&1 || \
	    { cat $(AARCH64)/repair.log; exit 1; }
	auditwheel show $(DIST)/*_aarch64.whl | tr '\n' ' ' | sed 's/  */ /g'; echo
	$(PYTHON) tools/check-dist --arch aarch64 $(DIST) $(DIST)/*_aarch64.whl $(DIST)/*_x86_64.whl
	$(PYTHON) tools/glibc-floor $(DIST)/*.whl
	cmake -S . -B $(AARCH64)/native $(CMAKE_GEN) $(AARCH64_CMAKE) -DCMAKE_BUILD_TYPE=Release -DSPATIAL_TESTS=ON \
	    -DSPATIAL_PYTHON=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Python=ON >/dev/null
	cmake --build $(AARCH64)/native
	cmake -S . -B $(AARCH64)/core $(CMAKE_GEN) $(AARCH64_CMAKE) -DCMAKE_BUILD_TYPE=Release -DSPATIAL_PYTHON=OFF >/dev/null
	cmake --build $(AARCH64)/core >/dev/null
	cmake --install $(AARCH64)/core --prefix $(CURDIR)/$(AARCH64)/cpp >/dev/null
	cmake -S examples/cpp -B $(AARCH64)/example -G Ninja $(AARCH64_CMAKE) -DCMAKE_PREFIX_PATH=$(CURDIR)/$(AARCH64)/cpp >/dev/null
	cmake --build $(AARCH64)/example >/dev/null

dist-aarch64-run:
	cd $(AARCH64)/native && $(AARCH64_RUN) ctest --output-on-failure
	$(AARCH64_RUN) NUMBER_DRAWS=$(AARCH64_NUMBER_DRAWS) $(AARCH64)/native/tests/native/spatial_tests \
	    --gtest_brief=1 --gtest_filter='Numbers.Differential*'
	$(AARCH64_RUN) $(AARCH64)/example/spatial_host >$(AARCH64)/example.jsonl
	cmp $(AARCH64)/example.jsonl $(DIST_WORK)/example.jsonl
	@echo "the aarch64 example host wrote the x86-64 host's records byte for byte"

dist-aarch64-test:
	@set -e; env=$$(mktemp -d); \
	python3 -m venv --system-site-packages $$env; \
	$$env/bin/python -m pip install --quiet --no-index --no-deps $(DIST)/*_aarch64.whl; \
	$$env/bin/python -c 'import _spatial, platform, sys; where = _spatial.__file__; \
	    sys.exit(0 if where.startswith(sys.prefix) and platform.machine() == "aarch64" else "not installed: " + where)'; \
	echo "the Python suite against the aarch64 wheel in $$env (emulated):"; \
	$$env/bin/python -m pytest -q -rs -p no:cacheprovider tests/python $(PYTEST_ARGS); \
	$$env/bin/python tools/check-records $(AARCH64)/example.jsonl 180 3; \
	$$env/bin/spatial check $(AARCH64)/example.jsonl | \
	    grep -qx "$(AARCH64)/example.jsonl: 183 records (180 frames, 3 events), 0 refused" || \
	    { echo "make dist: the installed spatial command did not check the aarch64 host's records" >&2; exit 1; }; \
	echo "the installed command on aarch64: $$($$env/bin/spatial --version)"; \
	rm -rf $$env

# The committed power-of-ten table is what its generator writes.
check-tables:
	$(PYTHON) tools/gen_pow10.py $(BUILD)/pow10_table.hpp
	cmp $(BUILD)/pow10_table.hpp src/encoding/pow10_table.hpp || \
	    { echo "src/encoding/pow10_table.hpp differs from what tools/gen_pow10.py writes"; exit 1; }

# Every gate, with short fuzz runs.
check: test check-tables check-asan check-tsan check-leaks coverage
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$${CHECK_FUZZ_SECONDS:-15}
