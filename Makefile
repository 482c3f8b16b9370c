# make setup   prepare the machine, .venv and the installed module (idempotent)
# make test    C++ unit tests and the Python test suite
# make demo    the quickstart, end to end
# make bench   benchmarks against their baselines
# make test-asan  the Python suite against a module built with ASan and UBSan
PY := .venv/bin/python
CPP_BUILD := build/cpp-tests

.PHONY: setup test test-cpp test-py test-asan demo bench

setup:
	tools/setup.sh

test: setup test-cpp test-py

test-cpp:
	PATH="$(CURDIR)/.venv/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DVSE_PYTHON_MODULE=OFF -DVSE_CPP_TESTS=ON -DVSE_SANITIZE=ON >/dev/null
	PATH="$(CURDIR)/.venv/bin:$$PATH" cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && PATH="$(CURDIR)/.venv/bin:$$PATH" ctest --output-on-failure

test-py:
	$(PY) -m pytest -q

ASAN_BUILD := build/asan
test-asan: setup
	PATH="$(CURDIR)/.venv/bin:$$PATH" cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DVSE_SANITIZE=ON -DPython_EXECUTABLE="$(CURDIR)/$(PY)" >/dev/null
	PATH="$(CURDIR)/.venv/bin:$$PATH" cmake --build $(ASAN_BUILD)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=$(ASAN_BUILD) $(PY) -m pytest -q -p no:cacheprovider

demo: setup
	$(PY) examples/quickstart.py

bench: setup
	$(PY) bench/bench_wal.py
	$(PY) bench/bench_metadata.py
	$(PY) bench/bench_kernels.py
	$(PY) bench/bench_exact.py
