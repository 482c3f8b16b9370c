"""What the benchmarks share: best-of-N timing, a NumPy side run in a fresh process with a given
BLAS thread count (OpenBLAS fixes its threads when it loads), the practical FMA peak of this core
measured in the same run, and a Markdown table.
"""

import json
import os
import subprocess
import sys
import time

BLAS_THREAD_VARS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
WORKERS = len(os.sched_getaffinity(0))


def best_time(fn, repeats=5):
    best, out = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def run_child(script, args, threads, extra_env=None):
    """Runs `script args` with BLAS limited to `threads` and returns the JSON it prints last."""
    env = dict(os.environ)
    for var in BLAS_THREAD_VARS:
        env[var] = str(threads)
    env.update(extra_env or {})
    out = subprocess.run([sys.executable, script, *args], env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def sgemm_gflops(n=2048, repeats=5):
    """NumPy's float32 matmul rate on a large square product: the practical FMA peak of BLAS."""
    import numpy as np

    rng = np.random.default_rng(0)
    a = rng.standard_normal((n, n)).astype(np.float32)
    b = rng.standard_normal((n, n)).astype(np.float32)
    a @ b
    t, _ = best_time(lambda: a @ b, repeats)
    return 2.0 * n**3 / t / 1e9


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
