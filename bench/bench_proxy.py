"""Proxy scoring against the NumPy pipeline a user would write for the same result, in one run.

100 000 mean vectors of dim 128, a query of 32 x 128, n_full = 4096: NumPy computes
(q @ means.T).max(0), argpartition and a sort of the winners; with a candidate list (25 000 ids
drawn at random), it first selects the candidates' rows with np.isin. NumPy runs in fresh processes
with OpenBLAS on one thread and on every processor; the engine on the caller's thread. Both must
return the same winners. Best of 5; each side's FMA rate as a share of this core's FMA limit measured
by bench/probe.cpp in the same run (the two-thread limit for NumPy on two threads); the dot rate
beside NumPy's single-threaded sgemm rate, and the mean vectors read per second beside the probe's
one-stream read rate (each mean is read once, so that or the FMA rate binds).
"""

import json
import os
import shutil
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from benchlib import WORKERS, best_time, percent, probe, run, run_child, sgemm_gflops, table  # noqa: E402

N_MEANS, DIM, N_Q, N_FULL, N_CAND = 100_000, 128, 32, 4096, 25_000


def build(root):
    rng = np.random.default_rng(5)
    np.save(os.path.join(root, "means.npy"), rng.standard_normal((N_MEANS, DIM)).astype(np.float32))
    np.save(os.path.join(root, "ids.npy"), rng.permutation(10 * N_MEANS)[:N_MEANS].astype(np.uint64))
    np.save(os.path.join(root, "query.npy"), rng.standard_normal((N_Q, DIM)).astype(np.float32))
    ids = np.load(os.path.join(root, "ids.npy"))
    np.save(os.path.join(root, "cands.npy"), rng.choice(ids, N_CAND, replace=False))


def load(root):
    return [np.load(os.path.join(root, f"{n}.npy")) for n in ("means", "ids", "query", "cands")]


def numpy_side(root):
    means, ids, q, cands = load(root)

    def best_of(m, i):
        scores = (q @ m.T).max(axis=0)
        top = np.argpartition(-scores, N_FULL)[:N_FULL] if len(scores) > N_FULL else np.arange(len(scores))
        order = np.lexsort((i[top], -scores[top]))
        return i[top[order]]

    def with_candidates():
        keep = np.isin(ids, cands)
        return best_of(means[keep], ids[keep])

    t_all, top_all = best_time(lambda: best_of(means, ids))
    t_cand, top_cand = best_time(with_candidates)
    print(json.dumps({"all": t_all, "cand": t_cand, "ids_all": top_all.tolist(), "ids_cand": top_cand.tolist()}))


def main():
    import varnelo_shard_engine as vse

    root = tempfile.mkdtemp(prefix="vse-bench-proxy-")
    try:
        limits = probe()
        build(root)
        means, ids, q, cands = load(root)
        ix = vse.ShardIndex(os.path.join(root, "index"), DIM)
        ix.set_doc_means(means, ids)
        t_all, (top_all, _) = best_time(lambda: ix.proxy_score(q, None, N_FULL))
        t_cand, (top_cand, _) = best_time(lambda: ix.proxy_score(q, cands, N_FULL))
        ix.close()
        np_1 = run_child(__file__, ["--numpy", root], 1)
        np_n = run_child(__file__, ["--numpy", root], WORKERS)
        # BLAS sums the dots in its own order, so near-equal scores may swap places; the sets of
        # winners must agree.
        same = all(set(mine.tolist()) == set(res[key]) for mine, key in ((top_all, "ids_all"), (top_cand, "ids_cand"))
                   for res in (np_1, np_n))
        swaps = sum(a != b for a, b in zip(top_all.tolist(), np_1["ids_all"]))
        peak = sgemm_gflops()
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"proxy_score: {N_MEANS} means x dim {DIM}, query {N_Q} x {DIM}, n_full={N_FULL}; "
          f"candidates: {N_CAND} ids; best of 5; {WORKERS} processors\n")
    rows = []
    for label, t_e, key, n in (("all means", t_all, "all", N_MEANS), (f"{N_CAND} candidates", t_cand, "cand", N_CAND)):
        fmas = n * N_Q * DIM / 1e9
        for threads, res in ((1, np_1), (WORKERS, np_n)):
            np_limit = limits.fma if threads == 1 else limits.on_two("fma")
            rows.append([f"{label} vs NumPy, OpenBLAS on {threads} thread{'s' if threads > 1 else ''}",
                         f"{t_e * 1e3:.2f}", f"{res[key] * 1e3:.2f}", f"{res[key] / t_e:.2f}x",
                         percent(fmas / t_e, limits.fma), percent(fmas / res[key], np_limit)])
    table(["workload", "engine ms", "NumPy ms", "ratio (NumPy / engine)", "engine % of FMA limit",
           "NumPy % of FMA limit"], rows)
    rate = 2.0 * N_MEANS * N_Q * DIM / t_all / 1e9
    print(f"\n- same {N_FULL} winners as NumPy: {same} ({swaps} places where float rounding orders near-equal "
          f"scores differently)")
    print(f"- dot rate over all means: {rate:.1f} GFLOP/s = {rate / peak:.0%} of NumPy's single-threaded sgemm "
          f"({peak:.1f} GFLOP/s, same run) = {percent(rate / 2, limits.fma)} of the probe's FMA limit "
          f"({limits.fma:.1f} G FMA/s)")
    read = N_MEANS * DIM * 4 / t_all / 1e9
    print(f"- mean vectors read over all means: {read:.1f} GB/s = {percent(read, limits.read)} of the probe's "
          f"one-stream read limit ({limits.read:.1f} GB/s)")
    print(limits.report())


if __name__ == "__main__":
    run(main, numpy=numpy_side)
