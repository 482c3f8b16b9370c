# make setup   prepare the machine, .venv and the installed module (idempotent)
# make test    the layout check, C++ unit tests, the Python test suite, the type stub and a short run
#              of each fuzz harness
# make check   the quick loop once set up: rebuild the module, layout check, C++ and Python tests, stub
# make demo    the quickstart, end to end
# make bench   benchmarks against their baselines, then the kernel and scoring ones again on the
#              lower instruction-set paths (make bench-capped)
# make test-asan  the Python suite against a module built with ASan and UBSan
# make test-tsan  interpreter exit with daemon threads inside calls, against a module built with TSan
# make test-aarch64  the core and its C++ tests cross-built for 64-bit Arm Linux, run under qemu
# make fuzz    each fuzz harness for FUZZ_SECONDS (default 600) under ASan and UBSan
PY := .venv/bin/python
# The venv's CMake and Ninja, for every build below.
VENV_PATH = PATH="$(CURDIR)/.venv/bin:$$PATH"
# $(call configure,DIR,OPTIONS): configures the build in DIR with OPTIONS, against the venv's Python.
configure = $(VENV_PATH) cmake -S . -B $(1) -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE="$(CURDIR)/$(PY)" $(2) >/dev/null
# $(call build,DIR,TARGETS)
build = $(VENV_PATH) cmake --build $(1) --target $(2)
# One sanitized Debug build (ASan and UBSan) holds the C++ tests and the sanitized module, so that
# the core is compiled once for both.
CPP_BUILD := build/cpp-tests
SANITIZED_CONFIGURE = $(call configure,$(CPP_BUILD),-DCMAKE_BUILD_TYPE=Debug -DVSE_SANITIZE=ON -DVSE_WERROR=ON \
    -DVSE_CPP_TESTS=ON -DVSE_PYTHON_MODULE=ON)

.PHONY: setup setup-cpp setup-fuzz setup-aarch64 module check test check-layout test-cpp test-py test-stubs test-asan \
    test-tsan test-aarch64 test-fuzz fuzz fuzz-build demo bench bench-probe bench-capped

# What the module needs; the C++ tests and the fuzz harnesses add their own packages.
setup:
	tools/setup.sh

setup-cpp:
	tools/setup.sh cpp

setup-fuzz:
	tools/setup.sh fuzz

setup-aarch64:
	tools/setup.sh aarch64

test: setup check-layout test-cpp test-py test-stubs test-fuzz

check: check-layout test-cpp test-py test-stubs

# The release module, rebuilt from the sources (incrementally, in build/) and installed into .venv.
module:
	$(PY) -m pip install -q --no-build-isolation --no-deps .

# Python.h (and NumPy) only in src/python/ and src/bindings/.
check-layout:
	tools/check_layout.sh

test-cpp: setup-cpp
	$(SANITIZED_CONFIGURE)
	$(call build,$(CPP_BUILD),vse_cpp_tests)
	cd $(CPP_BUILD) && $(VENV_PATH) ctest --output-on-failure

test-py: module
	$(PY) -m pytest -q

# The type stub as installed beside the module: checked against the module itself by stubtest
# (every name, parameter and default), then the quickstart and tests/stub_usage.py (every result
# type, and calls the stub must refuse) type-checked against it. The stub in src/ is not on
# mypy's path, so what passes is the installed copy.
test-stubs: module
	$(PY) -m mypy.stubtest --mypy-config-file pyproject.toml varnelo_shard_engine
	$(PY) -m mypy examples/quickstart.py tests/stub_usage.py

# The sanitized module comes first on an absolute PYTHONPATH, so that the interpreters the tests
# start (from other directories) load it too. Output is captured at the Python level only, so a
# sanitizer's report, written straight to the file descriptor before it ends the process, is seen.
test-asan: setup setup-cpp
	$(SANITIZED_CONFIGURE)
	$(call build,$(CPP_BUILD),varnelo_shard_engine)
	$(ASAN_RUN) $(PY) -c "$(call IMPORTED_FROM,$(CURDIR)/$(CPP_BUILD))"
	$(ASAN_RUN) $(PY) -m pytest -q -p no:cacheprovider --capture=sys

ASAN_RUN = LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$(CURDIR)/$(CPP_BUILD)"
# A check that the module imported is the one built in directory $(1), not the installed one.
IMPORTED_FROM = import os, sys, varnelo_shard_engine as m; \
    sys.exit(0 if os.path.dirname(m.__file__) == '$(1)' else 'imported ' + m.__file__ + ', not the module in $(1)')

# The shipped 64-bit Arm platform, from this x86-64 machine: the core (no Python module) and its C++
# tests cross-built with Debian's cross compiler against the arm64 libraries (-Werror, Release as
# shipped; cmake/aarch64-linux-gnu.cmake), then every test run by ctest under qemu's user-mode
# emulator, which the toolchain file names. Every suite runs, the thread pools' too, but on this
# processor's stronger memory ordering: what only Arm's weaker ordering would show, and speed, are
# left to native Arm machines.
AARCH64_BUILD := build/aarch64

test-aarch64: setup setup-aarch64
	$(call configure,$(AARCH64_BUILD),-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DVSE_WERROR=ON -DVSE_CPP_TESTS=ON -DVSE_PYTHON_MODULE=OFF)
	$(call build,$(AARCH64_BUILD),vse_cpp_tests)
	cd $(AARCH64_BUILD) && $(VENV_PATH) ctest --output-on-failure

# The exit test of tests/test_process.py against a module built with ThreadSanitizer: daemon
# threads are inside every kind of call while exit() runs, so what they read must still be there.
# Not part of make test: the build takes minutes. CPython is not instrumented, so the runtime is
# preloaded, and the interpreters the test starts inherit it; a report makes their exit status 66,
# which fails the test. setarch -R: this runtime refuses some randomized memory layouts.
TSAN_BUILD := build/tsan

test-tsan: setup
	$(call configure,$(TSAN_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVSE_TSAN=ON -DVSE_WERROR=ON)
	$(call build,$(TSAN_BUILD),varnelo_shard_engine)
	$(TSAN_RUN) $(PY) -c "$(call IMPORTED_FROM,$(CURDIR)/$(TSAN_BUILD))"
	$(TSAN_RUN) $(PY) -m pytest -q -p no:cacheprovider --capture=sys tests/test_process.py -k exit

TSAN_RUN = LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" TSAN_OPTIONS="report_signal_unsafe=0 history_size=7" \
    PYTHONPATH="$(CURDIR)/$(TSAN_BUILD)" setarch -R

# Coverage-guided fuzzing of the log replay, the shard-file parse and the merged files (load,
# exact and approximate scoring, fetch) with libFuzzer. Debian's
# clang 14 and 16 cannot compile the core's C++23 against GCC 12's libstdc++ (no std::expected
# below __cpp_concepts 202002), so the harnesses are built with clang 19.
FUZZ_BUILD := build/fuzz
FUZZ_CXX ?= clang++-19
FUZZ_HARNESSES := safetensors wal merged
FUZZ_SECONDS ?= 600
FUZZ_TEST_SECONDS ?= 30

fuzz-build: setup-fuzz
	$(call configure,$(FUZZ_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DVSE_FUZZ=ON \
	    -DVSE_WERROR=ON -DVSE_PYTHON_MODULE=OFF -DVSE_SANITIZE=ON)
	$(call build,$(FUZZ_BUILD),$(FUZZ_HARNESSES:%=%_fuzz))

# A short run of each harness, part of make test.
test-fuzz: setup fuzz-build
	for h in $(FUZZ_HARNESSES); do tools/fuzz.sh $$h $(FUZZ_TEST_SECONDS) $(FUZZ_BUILD) || exit 1; done

fuzz: setup fuzz-build
	for h in $(FUZZ_HARNESSES); do tools/fuzz.sh $$h $(FUZZ_SECONDS) $(FUZZ_BUILD) || exit 1; done

demo: setup
	$(PY) examples/quickstart.py

# The probe of the machine's limits that every benchmark sets its rates against (bench/benchlib.py
# finds it here, and runs this target when a benchmark runs alone before it was built).
BENCH_BUILD := build/bench

bench-probe:
	$(call configure,$(BENCH_BUILD),-DCMAKE_BUILD_TYPE=Release -DVSE_PYTHON_MODULE=OFF)
	$(call build,$(BENCH_BUILD),vse_probe)

bench: setup bench-probe
	$(PY) bench/bench_wal.py
	$(PY) bench/bench_metadata.py
	$(PY) bench/bench_kernels.py
	$(PY) bench/bench_search.py
	$(PY) bench/bench_proxy.py
	$(PY) bench/bench_exact.py
	$(PY) bench/bench_approx.py
	$(PY) bench/bench_fetch.py
	$(MAKE) --no-print-directory bench-capped

# The kernel and scoring benchmarks against modules whose dispatch is capped at a lower row (the
# build option VSE_MAX_ISA, set by these builds only), so that the AVX2 paths and the scalar
# references are measured on a processor that has better ones. Each module is built in
# build/bench-<row>/ and put first on the benchmarks' path; BENCH_CAP tells the benchmarks (not the
# module) which row runs, for their labels and limits.
BENCH_CAPS ?= avx2 scalar
BENCH_CAPPED_SCRIPTS := bench_kernels bench_search bench_proxy bench_exact bench_approx

bench-capped: setup bench-probe
	for isa in $(BENCH_CAPS); do \
	    $(call configure,build/bench-$$isa,-DCMAKE_BUILD_TYPE=Release -DVSE_MAX_ISA=$$isa) || exit 1; \
	    $(call build,build/bench-$$isa,varnelo_shard_engine) || exit 1; \
	    PYTHONPATH="$(CURDIR)/build/bench-$$isa" $(PY) -c "$(call IMPORTED_FROM,$(CURDIR)/build/bench-$$isa)" || exit 1; \
	    for b in $(BENCH_CAPPED_SCRIPTS); do \
	        echo; echo "## $$b, dispatch capped at $$isa (build/bench-$$isa)"; echo; \
	        BENCH_CAP=$$isa PYTHONPATH="$(CURDIR)/build/bench-$$isa" $(PY) bench/$$b.py || exit 1; \
	    done; \
	done
