# make setup   prepare the machine, .venv and the installed module (idempotent)
# make test    C++ unit tests and the Python test suite
# make demo    the quickstart, end to end
# make bench   benchmarks against their baselines
# make test-asan  the Python suite against a module built with ASan and UBSan
PY := .venv/bin/python
# One sanitized Debug build (ASan and UBSan) holds the C++ tests and the sanitized module, so that
# the core is compiled once for both.
CPP_BUILD := build/cpp-tests
SANITIZED_CONFIGURE = PATH="$(CURDIR)/.venv/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja \
    -DCMAKE_BUILD_TYPE=Debug -DVSE_SANITIZE=ON -DVSE_CPP_TESTS=ON -DVSE_PYTHON_MODULE=ON \
    -DPython_EXECUTABLE="$(CURDIR)/$(PY)" >/dev/null

.PHONY: setup test test-cpp test-py test-asan demo bench

setup:
	tools/setup.sh

test: setup test-cpp test-py

test-cpp:
	$(SANITIZED_CONFIGURE)
	PATH="$(CURDIR)/.venv/bin:$$PATH" cmake --build $(CPP_BUILD) --target vse_cpp_tests
	cd $(CPP_BUILD) && PATH="$(CURDIR)/.venv/bin:$$PATH" ctest --output-on-failure

test-py:
	$(PY) -m pytest -q

# The sanitized module comes first on an absolute PYTHONPATH, so that the interpreters the tests
# start (from other directories) load it too. Output is captured at the Python level only, so a
# sanitizer's report, written straight to the file descriptor before it ends the process, is seen.
test-asan: setup
	$(SANITIZED_CONFIGURE)
	PATH="$(CURDIR)/.venv/bin:$$PATH" cmake --build $(CPP_BUILD) --target varnelo_shard_engine
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$(CURDIR)/$(CPP_BUILD)" \
	    $(PY) -m pytest -q -p no:cacheprovider --capture=sys

demo: setup
	$(PY) examples/quickstart.py

bench: setup
	$(PY) bench/bench_wal.py
	$(PY) bench/bench_metadata.py
	$(PY) bench/bench_kernels.py
	$(PY) bench/bench_search.py
	$(PY) bench/bench_proxy.py
