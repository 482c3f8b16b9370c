"""The two quantized batch kernels against a vectorised NumPy implementation of the same formula.

A realistic batch: 8 queries of 32 tokens against 2000 documents of 64 tokens, dim 128, 1024
centroids (rroq158: 4 query bits, 4 groups; rroq4_riem: groups of 32). The engine runs on one
worker (n_threads=1) and on all workers; NumPy runs with BLAS limited to one thread (its
element-wise work is single-threaded anyway). Prints a Markdown table of best-of-N times and ratios,
the parallel efficiency, and pairs per second per core.

The rroq158 baseline follows the kernel's float operations in the same order, so its scores are
checked to be bit-identical; the rroq4_riem baseline computes the group dots with BLAS (no fixed
FMA order), so its scores are compared with a tolerance.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("MKL_NUM_THREADS", "1")

import sys  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from benchlib import best_time  # noqa: E402

import varnelo_shard_engine as vse  # noqa: E402

A, S, B, T, DIM, K = 8, 32, 2000, 64, 128, 1024
QUERY_BITS, N_GROUPS_158 = 4, 4
GROUP_SIZE = 32
N_WORDS = DIM // 32
DOC_CHUNK = 250  # documents per NumPy step, to keep its temporaries near 30 MB
REPEATS = 5
WORKERS = len(os.sched_getaffinity(0))

rng = np.random.default_rng(7)


def words(n):
    return rng.integers(-(2**31), 2**31, n, dtype=np.int64).astype(np.int32)


def f32(*shape, scale=1.0):
    return (rng.standard_normal(shape) * scale).astype(np.float32).ravel()


# ---------------------------------------------------------------------------------------------
# rroq158


def rroq158_inputs():
    return dict(
        q_planes=words(A * S * QUERY_BITS * N_WORDS),
        q_meta=f32(A * S * 2, scale=0.1),
        qc_table=f32(A * S * K),
        docs_sign=words(B * T * N_WORDS),
        docs_nz=words(B * T * N_WORDS),
        docs_scl=np.abs(f32(B * T * N_GROUPS_158, scale=0.05)),
        docs_cid=rng.integers(0, K, B * T).astype(np.int32),
        docs_cos=f32(B * T),
        docs_sin=f32(B * T),
        big_a=A, big_b=B, big_s=S, big_t=T, n_words=N_WORDS, n_groups=N_GROUPS_158,
        query_bits=QUERY_BITS, big_k=K,
    )


def rroq158_numpy(x):
    """Same formula and float order as the kernel, vectorised over query tokens and documents."""
    G, wpg = N_GROUPS_158, N_WORDS // N_GROUPS_158
    sign = x["docs_sign"].view(np.uint32).reshape(B * T, N_WORDS)
    nz = x["docs_nz"].view(np.uint32).reshape(B * T, N_WORDS)
    P, N = nz & sign, nz & ~sign
    sums = (np.bitwise_count(P).astype(np.int32) - np.bitwise_count(N).astype(np.int32))
    sums_f = sums.reshape(B * T, G, wpg).sum(-1).astype(np.float32)
    scl = x["docs_scl"].reshape(B * T, G)
    cid, cos, sin = x["docs_cid"], x["docs_cos"], x["docs_sin"]
    planes = x["q_planes"].view(np.uint32).reshape(A, S, QUERY_BITS, N_WORDS)
    meta = x["q_meta"].reshape(A, S, 2)
    qc = x["qc_table"].reshape(A, S, K)
    out = np.zeros((A, B), np.float32)
    for a in range(A):
        scale, offset = meta[a, :, 0, None], meta[a, :, 1, None]
        for c0 in range(0, B, DOC_CHUNK):
            r = slice(c0 * T, (c0 + DOC_CHUNK) * T)
            p, n = P[None, r], N[None, r]
            dot = np.zeros((S, p.shape[1], G), np.int32)
            for k in range(QUERY_BITS):
                pl = planes[a, :, k, None, :]
                d = np.bitwise_count(p & pl).astype(np.int32) - np.bitwise_count(n & pl).astype(np.int32)
                dot += d.reshape(S, -1, G, wpg).sum(-1, dtype=np.int32) << k
            acc = np.zeros((S, p.shape[1]), np.float32)
            for g in range(G):
                t1 = offset * sums_f[None, r, g]
                t2 = scale * dot[:, :, g].astype(np.float32)
                acc = acc + scl[None, r, g] * (t1 + t2)
            score = sin[None, r] * acc + cos[None, r] * qc[a][:, cid[r]]
            best = score.reshape(S, -1, T).max(-1)
            total = np.zeros(best.shape[1], np.float32)
            for s in range(S):
                total = total + best[s]
            out[a, c0:c0 + DOC_CHUNK] = total
    return out.ravel()


# ---------------------------------------------------------------------------------------------
# rroq4_riem


def rroq4_inputs():
    G = DIM // GROUP_SIZE
    q = f32(A * S * DIM, scale=0.1)
    return dict(
        q_rot=q,
        q_gsums=q.reshape(A * S, G, GROUP_SIZE).sum(-1).astype(np.float32).ravel(),
        qc_table=f32(A * S * K),
        docs_codes=rng.integers(0, 256, B * T * DIM // 2).astype(np.uint8),
        docs_mins=f32(B * T * G, scale=0.1),
        docs_dlts=np.abs(f32(B * T * G, scale=0.02)),
        docs_cid=rng.integers(0, K, B * T).astype(np.int32),
        docs_cos=f32(B * T),
        docs_sin=f32(B * T),
        big_a=A, big_b=B, big_s=S, big_t=T, dim=DIM, n_groups=G, group_size=GROUP_SIZE, big_k=K,
    )


def rroq4_numpy(x):
    """The same formula with the group dots done by BLAS, vectorised over tokens and documents."""
    G = DIM // GROUP_SIZE
    codes = x["docs_codes"].reshape(B * T, DIM // 2)
    xs = np.empty((B * T, DIM), np.float32)
    xs[:, 0::2], xs[:, 1::2] = codes & 0x0F, codes >> 4
    xg = np.ascontiguousarray(xs.reshape(B * T, G, GROUP_SIZE).transpose(1, 2, 0))  # [G][gs][BT]
    mins, dlts = x["docs_mins"].reshape(B * T, G), x["docs_dlts"].reshape(B * T, G)
    cid, cos, sin = x["docs_cid"], x["docs_cos"], x["docs_sin"]
    q = x["q_rot"].reshape(A, S, G, GROUP_SIZE)
    gsums = x["q_gsums"].reshape(A, S, G)
    qc = x["qc_table"].reshape(A, S, K)
    out = np.zeros((A, B), np.float32)
    for a in range(A):
        acc = np.zeros((S, B * T), np.float32)
        for g in range(G):
            dot = q[a, :, g, :] @ xg[g]  # (S, BT)
            acc += dlts[None, :, g] * dot + mins[None, :, g] * gsums[a, :, g, None]
        score = cos[None, :] * qc[a][:, cid] + sin[None, :] * acc
        out[a] = score.reshape(S, B, T).max(-1).sum(0)
    return out.ravel()


# ---------------------------------------------------------------------------------------------


def main():
    pairs = A * B
    token_pairs = pairs * S * T
    rows = []
    notes = []
    for name, make, fn, baseline, exact in (
        ("rroq158", rroq158_inputs, vse.rroq158_score_batch, rroq158_numpy, True),
        ("rroq4_riem", rroq4_inputs, vse.rroq4_riem_score_batch, rroq4_numpy, False),
    ):
        x = make()
        fn(**x, n_threads=1)  # build the dedicated pools outside the timings
        fn(**x, n_threads=WORKERS)
        t_np, ref = best_time(lambda: baseline(x), repeats=1 if name == "rroq158" else REPEATS)
        t_1, out_1 = best_time(lambda: fn(**x, n_threads=1))
        t_n, out_n = best_time(lambda: fn(**x, n_threads=WORKERS))
        t_g, out_g = best_time(lambda: fn(**x))
        assert out_1.tobytes() == out_n.tobytes() == out_g.tobytes(), "results differ between pools"
        if exact:
            same = np.array_equal(out_1.view(np.uint32), ref.view(np.uint32))
            notes.append(f"{name}: engine and NumPy scores bit-identical: {same}")
        else:
            rel = np.max(np.abs(out_1 - ref) / np.maximum(np.abs(ref), 1e-3))
            notes.append(f"{name}: largest relative difference to NumPy (no FMA order): {rel:.1e}")
        eff = t_1 / (t_n * WORKERS)
        rows.append((f"{name}, 1 worker", t_1, t_np, t_np / t_1, pairs / t_1, token_pairs / t_1))
        rows.append((f"{name}, {WORKERS} workers (n_threads={WORKERS})", t_n, t_np, t_np / t_n,
                     pairs / t_n / WORKERS, token_pairs / t_n / WORKERS))
        rows.append((f"{name}, process-wide pool (n_threads=None)", t_g, t_np, t_np / t_g,
                     pairs / t_g / WORKERS, token_pairs / t_g / WORKERS))
        notes.append(f"{name}: parallel efficiency on {WORKERS} workers: {eff:.0%} "
                     f"(speed-up {t_1 / t_n:.2f}x)")

    print(f"Batch: A={A} queries x S={S} tokens, B={B} documents x T={T} tokens, dim={DIM}, K={K}; "
          f"best of {REPEATS}; {WORKERS} processors\n")
    print("| workload | engine ms | NumPy ms | ratio (NumPy / engine) | pairs/s/core | token pairs/s/core |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, t_e, t_b, ratio, pps, tps in rows:
        print(f"| {label} | {t_e * 1e3:.1f} | {t_b * 1e3:.1f} | {ratio:.1f}x | {pps:,.0f} | {tps:.3g} |")
    print()
    for n in notes:
        print(f"- {n}")


if __name__ == "__main__":
    main()
