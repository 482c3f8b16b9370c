"""Exact search against the NumPy pipeline a user would write for the same result, in one run.

20 000 documents of 32 token rows x dim 128 in four shard files written by the safetensors
package; a query of 32 x 128; k = 10. The engine scores straight from its mapped shard files on the
caller's thread. The NumPy pipeline maps the same files (np.memmap at the data offset), does one
matmul per shard, a segment maximum with np.maximum.reduceat, a sum, then argpartition; it runs in
fresh processes with OpenBLAS on one thread and on every processor. Both must give the same top ids.
Printed: best-of-5 times, ratios, each side's FMA rate as a share of this core's FMA limit measured
by bench/probe.cpp in the same run (the two-thread limit for NumPy on two threads), and the MaxSim
rate beside NumPy's single-threaded sgemm rate on a large square matmul and the embedding bytes
read per second beside the probe's one-stream read rate (search reads each row once, so that or the
FMA rate binds). Last, the same search through a gpu_score_fn that only returns zeros: the cost of
handing every row to the host, beside the CPU search, and the anonymous memory the process has
grown by inside the callback as a multiple of the rows handed over (one copy of them is 1.0x).
"""

import json
import os
import shutil
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from benchlib import WORKERS, best_time, percent, probe, run, run_child, sgemm_gflops, table  # noqa: E402

N_DOCS, TOKENS, DIM, N_Q, K, N_SHARDS = 20_000, 32, 128, 32, 10, 4
PER_SHARD = N_DOCS // N_SHARDS


def build(root):
    from safetensors.numpy import save_file

    rng = np.random.default_rng(3)
    for s in range(N_SHARDS):
        rows = rng.standard_normal((PER_SHARD * TOKENS, DIM)).astype(np.float32)
        save_file({"embeddings": rows}, os.path.join(root, f"shard_{s}.safetensors"))
    np.save(os.path.join(root, "query.npy"), rng.standard_normal((N_Q, DIM)).astype(np.float32))


def numpy_side(root):
    """Runs in a child process: the NumPy pipeline, best of 5, and its top ids."""
    q = np.load(os.path.join(root, "query.npy"))
    shards = []
    for s in range(N_SHARDS):
        path = os.path.join(root, f"shard_{s}.safetensors")
        with open(path, "rb") as f:
            header_len = int.from_bytes(f.read(8), "little")
            header = json.loads(f.read(header_len))
        begin, _ = header["embeddings"]["data_offsets"]
        shards.append(np.memmap(path, np.float32, "r", 8 + header_len + begin, (PER_SHARD * TOKENS, DIM)))
    starts = np.arange(0, PER_SHARD * TOKENS, TOKENS)

    # Documents of any length need a segment maximum; reduceat is fastest along the contiguous axis
    # of the product, so both orientations are timed and the faster one counts. All documents here
    # have 32 rows, which also allows a reshape in place of reduceat: timed apart, as a bound.
    def pipeline(segment_max):
        scores = np.empty(N_DOCS, np.float32)
        for s, emb in enumerate(shards):
            scores[s * PER_SHARD:(s + 1) * PER_SHARD] = segment_max(emb)
        top = np.argpartition(-scores, K)[:K]
        return top[np.argsort(-scores[top], kind="stable")]

    forms = {
        "rows": lambda emb: np.maximum.reduceat(emb @ q.T, starts, axis=0).sum(axis=1),
        "cols": lambda emb: np.maximum.reduceat(q @ emb.T, starts, axis=1).sum(axis=0),
        "reshape": lambda emb: (emb @ q.T).reshape(PER_SHARD, TOKENS, N_Q).max(axis=1).sum(axis=1),
    }
    out = {}
    for name, form in forms.items():
        t, top = best_time(lambda: pipeline(form))
        out[name] = {"time": t, "ids": top.tolist()}
    general = min(("rows", "cols"), key=lambda n: out[n]["time"])
    print(json.dumps({"time": out[general]["time"], "ids": out[general]["ids"], "form": general,
                      "reshape": out["reshape"]["time"], "reshape_ids": out["reshape"]["ids"]}))


def rss_anon():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("RssAnon:"))


def callback_side(index_dir, ids, q):
    """Search through a callback that scores nothing: best-of-5 time, and the largest growth of
    anonymous memory seen inside the callback, as a multiple of docs.nbytes."""
    import varnelo_shard_engine as vse

    grown, before = [], [0]

    def handover(query, docs, doc_ids, offsets):
        grown.append((rss_anon() - before[0]) / docs.nbytes)
        return np.zeros(len(doc_ids), np.float32)

    def search():
        before[0] = rss_anon()
        return ix.search(q, K)

    ix = vse.ShardIndex(index_dir, DIM, handover)
    ix.register_shard_docs(ids, ids // PER_SHARD, (ids % PER_SHARD) * TOKENS, (ids % PER_SHARD + 1) * TOKENS)
    t, _ = best_time(search)
    ix.close()
    return t, max(grown)


def main():
    import varnelo_shard_engine as vse

    root = tempfile.mkdtemp(prefix="vse-bench-search-")
    try:
        limits = probe()
        build(root)
        ix = vse.ShardIndex(os.path.join(root, "index"), DIM)
        for s in range(N_SHARDS):
            os.link(os.path.join(root, f"shard_{s}.safetensors"), os.path.join(root, "index", f"shard_{s}.safetensors"))
        ix.close()
        ix = vse.ShardIndex(os.path.join(root, "index"), DIM)
        ids = np.arange(N_DOCS)
        ix.register_shard_docs(ids, ids // PER_SHARD, (ids % PER_SHARD) * TOKENS, (ids % PER_SHARD + 1) * TOKENS)
        q = np.load(os.path.join(root, "query.npy"))
        ix.search(q, K)  # page the mappings in once, as a serving index has them
        t_engine, (top, _) = best_time(lambda: ix.search(q, K))
        ix.close()
        t_callback, grown = callback_side(os.path.join(root, "index"), ids, q)

        np_1 = run_child(__file__, ["--numpy", root], 1)
        np_n = run_child(__file__, ["--numpy", root], WORKERS)
        same = top.tolist() == np_1["ids"] == np_n["ids"] == np_1["reshape_ids"]
        peak = sgemm_gflops()
        flops = 2.0 * N_DOCS * TOKENS * N_Q * DIM
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"search: {N_DOCS} documents x {TOKENS} rows x dim {DIM} in {N_SHARDS} shard files, "
          f"query {N_Q} x {DIM}, k={K}; best of 5; {WORKERS} processors\n")
    fmas = flops / 2 / 1e9
    rows = []
    for label, t_np, threads in (("search vs NumPy, OpenBLAS on 1 thread", np_1["time"], 1),
                                 (f"search vs NumPy, OpenBLAS on {WORKERS} threads", np_n["time"], WORKERS),
                                 ("search vs NumPy's equal-length reshape in place of reduceat, 1 thread",
                                  np_1["reshape"], 1),
                                 (f"search vs NumPy's equal-length reshape, {WORKERS} threads", np_n["reshape"], WORKERS)):
        np_limit = limits.fma if threads == 1 else limits.on_two("fma")
        rows.append([label, f"{t_engine * 1e3:.1f}", f"{t_np * 1e3:.1f}", f"{t_np / t_engine:.2f}x",
                     percent(fmas / t_engine, limits.fma), percent(fmas / t_np, np_limit)])
    table(["workload", "engine ms", "NumPy ms", "ratio (NumPy / engine)", "engine % of FMA limit",
           "NumPy % of FMA limit"], rows)
    rate = flops / t_engine / 1e9
    print(f"\n- same top {K} ids as NumPy: {same}; NumPy's faster general form: segment maximum along "
          f"{np_1['form']} (1 thread), {np_n['form']} ({WORKERS} threads)")
    print(f"- MaxSim rate inside search: {rate:.1f} GFLOP/s = {rate / peak:.0%} of NumPy's single-threaded "
          f"sgemm ({peak:.1f} GFLOP/s, 2048 x 2048, same run) = {percent(rate / 2, limits.fma)} of the probe's "
          f"FMA limit ({limits.fma:.1f} G FMA/s)")
    read = N_DOCS * TOKENS * DIM * 4 / t_engine / 1e9
    print(f"- embedding rows read by search: {read:.1f} GB/s = {percent(read, limits.read)} of the probe's "
          f"one-stream read limit ({limits.read:.1f} GB/s)")
    print(f"- search through a gpu_score_fn that returns zeros: {t_callback * 1e3:.1f} ms = "
          f"{t_callback / t_engine:.2f}x the CPU search; anonymous memory grown inside the callback: "
          f"{grown:.2f}x the rows handed over ({N_DOCS * TOKENS * DIM * 4 / 1e6:.0f} MB)")
    print(limits.report())


if __name__ == "__main__":
    run(main, numpy=numpy_side)
