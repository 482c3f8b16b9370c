"""What the benchmarks share: best-of-N timing, a NumPy side run in a fresh process with a given
BLAS thread count (OpenBLAS fixes its threads when it loads), this machine's limits measured in
the same run, and a Markdown table.

The limits come from bench/probe.cpp (the `vse_probe` target, built by `make bench`, or here on
first use): the fp32 FMA rate, the 32-bit popcount rate (counted as the kernels' AVX-512 lane paths
count bits, by nibble lookup, else by the scalar instruction), the VNNI byte dot-product rate (VPDPBUSD,
in byte multiply-accumulates), memcpy bandwidth, the one-stream read bandwidth and, when asked for,
the rate of durable file writes, each on one thread and on two. A benchmark calls `probe()` once, sets
its own rates against the one-thread figures with `percent()`, and prints `limits.report()`,
which also says how well the probe scaled to two threads: the two processors of these machines are
sometimes two hardware threads of one physical core, and a two-worker figure then says nothing
about two cores.

    limits = probe()                       # or probe(file_dir=tmp) to include file writes
    print(f"{percent(fmas_per_s / 1e9, limits.fma)} of the FMA peak")
    print(limits.report())
"""

import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field

BLAS_THREAD_VARS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
WORKERS = len(os.sched_getaffinity(0))
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROBE_BUILD = os.path.join(ROOT, "build", "bench")


def run(main, **sides):
    """A benchmark script's entry: `script --side args...` runs that side (the sides run in fresh
    processes, see run_child), anything else runs main()."""
    if len(sys.argv) >= 2 and sys.argv[1].startswith("--") and sys.argv[1][2:] in sides:
        sides[sys.argv[1][2:]](*sys.argv[2:])
    else:
        main()


def best_time(fn, repeats=5):
    best, out = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def alternate(sides, repeats=5):
    """Runs each callable of `sides` (a dict) once per round, in turn, for `repeats` rounds, so that
    a change of machine load touches every side alike. Returns {name: (best seconds, last result)}."""
    best = {name: float("inf") for name in sides}
    out = {}
    for _ in range(repeats):
        for name, fn in sides.items():
            t0 = time.perf_counter()
            out[name] = fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return {name: (best[name], out[name]) for name in sides}


def run_child(script, args, threads, extra_env=None):
    """Runs `script args` with BLAS limited to `threads` and returns the JSON it prints last."""
    env = dict(os.environ)
    for var in BLAS_THREAD_VARS:
        env[var] = str(threads)
    env.update(extra_env or {})
    out = subprocess.run([sys.executable, script, *args], env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


SGEMM = """
import json, time
import numpy as np
rng = np.random.default_rng(0)
a = rng.standard_normal(({n}, {n})).astype(np.float32)
b = rng.standard_normal(({n}, {n})).astype(np.float32)
a @ b
best = float("inf")
for _ in range({repeats}):
    t0 = time.perf_counter()
    a @ b
    best = min(best, time.perf_counter() - t0)
print(json.dumps(2.0 * {n}**3 / best / 1e9))
"""


def sgemm_gflops(n=2048, repeats=5, threads=1):
    """NumPy's float32 matmul rate on a large square product, with BLAS on `threads` threads (in a
    fresh process): the practical FMA peak of BLAS, in GFLOP/s (two per FMA)."""
    env = dict(os.environ, **{var: str(threads) for var in BLAS_THREAD_VARS})
    out = subprocess.run([sys.executable, "-c", SGEMM.format(n=n, repeats=repeats)], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


# ---------------------------------------------------------------------------------------------
# The machine's limits


@dataclass
class Limits:
    """Rates on one thread (G operations or GB per second) and each rate's two-thread scaling."""

    fma: float  # G fp32 FMAs/s, the better of the AVX-512 and AVX2 figures
    fma_avx512: float | None
    fma_avx2: float | None
    popcount: float  # G 32-bit popcounts/s
    popcount_path: str  # how they were counted: "avx512-nibble-lookup" or "scalar" (the popcnt instruction)
    vnni: float | None  # G byte multiply-accumulates/s of VPDPBUSD on 512-bit registers (64 per instruction)
    memcpy: float  # GB/s
    read: float  # GB/s read by one stream (a sum over a buffer far past the caches)
    file_write: float | None  # GB/s, write + fsync (only when probed with a directory)
    two_threads: dict = field(default_factory=dict)  # name -> rate on 2 threads (sum over both)
    load: tuple = ()  # the 1, 5 and 15 minute load averages when the probe ran
    cap: str | None = None  # the row the module's dispatch is capped at (BENCH_CAP), or None

    def scaling(self, name):
        one = getattr(self, name)
        return self.two_threads[name] / one if one else float("nan")

    def on_two(self, name):
        """The two-thread rate of `name`: the limit of a two-worker figure."""
        return self.two_threads[name]

    def two_cores(self):
        """Whether the probe's compute rates doubled on two threads (two physical cores now)."""
        return all(self.scaling(n) >= 1.6 for n in ("fma", "popcount"))

    def report(self):
        """Markdown lines: the limits, their two-thread scaling, the load, and a warning when the
        two processors did not behave as two cores."""
        fma_paths = ", ".join(f"{name} {rate:.1f}" for name, rate in (("AVX-512", self.fma_avx512),
                                                                   ("AVX2", self.fma_avx2)) if rate)
        parts = [f"FMA {self.fma:.1f} G/s ({fma_paths})", f"32-bit popcount {self.popcount:.1f} G/s "
                 f"({self.popcount_path})"]
        if self.vnni:
            parts.append(f"VNNI byte dot products {self.vnni:.0f} G MAC/s (VPDPBUSD, 64 per instruction)")
        parts += [f"memcpy {self.memcpy:.1f} GB/s", f"read {self.read:.1f} GB/s"]
        if self.file_write:
            parts.append(f"file write + fsync {self.file_write:.2f} GB/s")
        names = (["fma", "popcount"] + (["vnni"] if self.vnni else []) + ["memcpy", "read"]
                 + (["file_write"] if self.file_write else []))
        scale = ", ".join(f"{n} {self.scaling(n):.2f}x" for n in names)
        lines = [f"- machine limits per core (bench/probe.cpp, this run): {'; '.join(parts)}"]
        if self.cap:
            lines.append(f"- the module's dispatch is capped at {self.cap} (a benchmark build, make bench-capped)"
                         + ("; FMA shares are of the AVX2 rate" if self.cap == "avx2" else ""))
        lines += [f"- two-thread scaling of the probe: {scale}",
                  f"- load average when probed: {' / '.join(f'{v:.2f}' for v in self.load)} (1 / 5 / 15 min)"]
        if not self.two_cores():
            lines.append("- WARNING: the probe did not scale to two threads: the two processors share one "
                         "physical core (or another process holds one), so two-worker figures say nothing "
                         "about two cores")
        return "\n".join(lines)


def percent(rate, limit):
    """`rate` as a share of `limit`, for a "% of limit" column."""
    if not limit:
        return "n/a"
    return f"{100.0 * rate / limit:.0f}%"


def probe_path():
    """The probe binary: $VSE_PROBE, else build/bench/vse_probe, built there by `make bench-probe`
    when missing."""
    path = os.environ.get("VSE_PROBE") or os.path.join(PROBE_BUILD, "vse_probe")
    if not os.path.exists(path):
        subprocess.run(["make", "-C", ROOT, "bench-probe"], check=True, capture_output=True)
    return path


def probe(file_dir=None):
    """Measures this machine's limits now (a few seconds); see Limits."""
    args = [probe_path()] + (["--dir", file_dir] if file_dir else [])
    load = os.getloadavg()
    raw = json.loads(subprocess.run(args, check=True, capture_output=True, text=True).stdout)
    fma_avx512, fma_avx2 = raw["fma_avx512"], raw["fma_avx2"]
    # A module capped at avx2 (make bench-capped tells through BENCH_CAP) runs the 8-lane FMAs.
    cap = os.environ.get("BENCH_CAP") or None
    fma = max((m for m in (fma_avx512, fma_avx2) if m), key=lambda m: m["1"])
    if cap == "avx2" and fma_avx2:
        fma = fma_avx2
    file_write = raw["file_write"]
    vnni = raw["vnni_dpbusd"]
    two = {"fma": fma["2"], "popcount": raw["popcnt32"]["2"], "memcpy": raw["memcpy"]["2"], "read": raw["read"]["2"]}
    if vnni:
        two["vnni"] = vnni["2"]
    if file_write:
        two["file_write"] = file_write["2"]
    return Limits(
        fma=fma["1"],
        fma_avx512=fma_avx512["1"] if fma_avx512 else None,
        fma_avx2=fma_avx2["1"] if fma_avx2 else None,
        popcount=raw["popcnt32"]["1"],
        popcount_path=raw["popcnt32_path"],
        vnni=vnni["1"] if vnni else None,
        memcpy=raw["memcpy"]["1"],
        read=raw["read"]["1"],
        file_write=file_write["1"] if file_write else None,
        two_threads=two,
        load=load,
        cap=cap,
    )
