"""The two quantized batch kernels against the NumPy implementations a user would write.

A realistic batch: 8 queries of 32 tokens against 2000 documents of 64 tokens, dim 128, 1024
centroids (rroq158: 4 query bits, 4 groups; rroq4_riem: groups of 32). Baselines:

- rroq158, exact: the ternary planes unpacked to small integers, the per-group integer dots of
  every query token with every document token by one batched float32 BLAS matmul (exact: every
  product and partial sum is an integer far below 2^24), then the kernel's float steps in its
  order. Its scores are checked to be bit-identical to the engine's.
- rroq158, one matmul: query codes dequantized (scale * code + offset), ternary values scaled by
  their group's scale, one matmul per query; compared with a tolerance (BLAS sums in its own order).
- rroq4_riem, one matmul: the codes dequantized (min + code * delta), one matmul per query;
  compared with a tolerance.

The engine (on 1 worker, on every processor with n_threads equal to their count, and on the
process-wide pool) and the baselines with BLAS on 1 thread run in one fresh process, alternating,
best of 5 each. The baselines with BLAS on every processor, to set the two-worker rows against, run
in a process of their own (OpenBLAS fixes its threads when it loads, and its idle threads spin for
a while after each call, which would take a core from the engine's workers). Beside the ratios: pairs per second per core and the share of this core's limit
measured by bench/probe.cpp in the same run: the 32-bit popcount rate for rroq158 (counting the
two population counts per query bit plane and word that the formula implies; the VNNI path counts
no bits, so its share of that limit can pass 100%) and, where the module
runs its VNNI path, also the probe's VPDPBUSD rate (counting the byte multiply-accumulates that path
performs: every document token against every query token padded to a lane vector, one byte per
coordinate), the FMA rate for rroq4_riem (counting the dot FMAs; the group and score steps add 7 %
to them). Two-worker rows use the probe's two-thread rate.
"""

import json
import os
import sys
import zlib

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from benchlib import WORKERS, alternate, percent, probe, run_child  # noqa: E402

A, S, B, T, DIM, K = 8, 32, 2000, 64, 128, 1024
QUERY_BITS, N_GROUPS_158 = 4, 4
GROUP_SIZE = 32
N_WORDS = DIM // 32
DOC_CHUNK = 25  # documents per NumPy step (1600 tokens by 256 query tokens), so that the temporaries stay in cache
REPEATS = 5

PAIRS = A * B
TOKEN_PAIRS = PAIRS * S * T
POPCOUNTS_158 = TOKEN_PAIRS * N_WORDS * QUERY_BITS * 2
DOT_FMAS_4 = TOKEN_PAIRS * DIM

# The rroq158 VNNI path (src/kernels/kernels_avx512_vnni.cpp) puts 16 query tokens in the 32-bit
# lanes of a register and scores document tokens in blocks of 4, a short block padded with a
# repeated token; one VPDPBUSD adds the products of 4 coordinates into each lane, 64 byte
# multiply-accumulates in all.
VNNI_LANES, VNNI_BLOCK_TOKENS, VNNI_MACS = 16, 4, 64
VNNI_DPBUSD_PER_PAIR = (-(-T // VNNI_BLOCK_TOKENS) * VNNI_BLOCK_TOKENS) * (-(-S // VNNI_LANES)) * (DIM // 4)
VNNI_BYTE_MACS_158 = PAIRS * VNNI_DPBUSD_PER_PAIR * VNNI_MACS


def words(rng, n):
    return rng.integers(-(2**31), 2**31, n, dtype=np.int64).astype(np.int32)


def f32(rng, n, scale=1.0):
    return (rng.standard_normal(n) * scale).astype(np.float32)


# ---------------------------------------------------------------------------------------------
# rroq158


def rroq158_inputs():
    rng = np.random.default_rng(7)
    return dict(
        q_planes=words(rng, A * S * QUERY_BITS * N_WORDS),
        q_meta=f32(rng, A * S * 2, scale=0.1),
        qc_table=f32(rng, A * S * K),
        docs_sign=words(rng, B * T * N_WORDS),
        docs_nz=words(rng, B * T * N_WORDS),
        docs_scl=np.abs(f32(rng, B * T * N_GROUPS_158, scale=0.05)),
        docs_cid=rng.integers(0, K, B * T).astype(np.int32),
        docs_cos=f32(rng, B * T),
        docs_sin=f32(rng, B * T),
        big_a=A, big_b=B, big_s=S, big_t=T, n_words=N_WORDS, n_groups=N_GROUPS_158,
        query_bits=QUERY_BITS, big_k=K,
    )


def unpack_bits(w):
    """Bit i of word j of each row of uint32 words `w` as element 32*j + i (0 or 1, uint8)."""
    return np.unpackbits(w.view(np.uint8), axis=-1, bitorder="little")


def rroq158_planes(x):
    sign = x["docs_sign"].view(np.uint32).reshape(B * T, N_WORDS)
    nz = x["docs_nz"].view(np.uint32).reshape(B * T, N_WORDS)
    return nz & sign, nz & ~sign  # the coordinates of value +1 and of value -1


def rroq158_ternary(x):
    """The documents' ternary values (-1, 0, +1) per coordinate, int8, shape (B*T, DIM)."""
    p, n = rroq158_planes(x)
    return unpack_bits(p).astype(np.int8) - unpack_bits(n).astype(np.int8)


def rroq158_codes(x):
    """The query tokens' codes per coordinate (0 .. 2^query_bits - 1), shape (A*S, DIM)."""
    bits = unpack_bits(x["q_planes"].view(np.uint32).reshape(A * S, QUERY_BITS, N_WORDS))
    return (bits.astype(np.int32) << np.arange(QUERY_BITS, dtype=np.int32)[:, None]).sum(1, dtype=np.int32)


# The baselines work token-major: a chunk of document tokens by all A*S query tokens, so that the
# per-token factors are columns and the centroid terms are rows gathered from qc_table transposed.


def chunks():
    for c0 in range(0, B, DOC_CHUNK):
        yield slice(c0, c0 + DOC_CHUNK), slice(c0 * T, (c0 + DOC_CHUNK) * T)


def maxsim(score):
    """MaxSim from (chunk*T, A*S) token scores: each query token's best over the document's
    tokens, summed in query-token order; (A, chunk). np.max would let a NaN win, which the kernels
    never do; these batches have none."""
    best = score.reshape(-1, T, A, S).max(1)
    total = np.zeros(best.shape[:2], np.float32)
    for s in range(S):
        total = total + best[:, :, s]
    return total.T


def centroid_rows(x):
    return np.ascontiguousarray(x["qc_table"].reshape(A * S, K).T)  # (K, A*S)


def rroq158_numpy_exact(x):
    """Integer group dots by one batched BLAS matmul, then the kernel's float steps in order."""
    G, gdim = N_GROUPS_158, DIM // N_GROUPS_158
    p, n = rroq158_planes(x)
    sums = (np.bitwise_count(p).astype(np.int32) - np.bitwise_count(n)).reshape(B * T, G, -1).sum(-1)
    sums = sums.astype(np.float32)  # (BT, G)
    tau = np.ascontiguousarray(rroq158_ternary(x).reshape(B * T, G, gdim).transpose(1, 0, 2), np.float32)
    codes = np.ascontiguousarray(rroq158_codes(x).reshape(A * S, G, gdim).transpose(1, 2, 0), np.float32)
    meta = x["q_meta"].reshape(A * S, 2)
    scale, offset = meta[:, 0], meta[:, 1]
    scl = x["docs_scl"].reshape(B * T, G)
    cid, cos, sin = x["docs_cid"], x["docs_cos"][:, None], x["docs_sin"][:, None]
    qc = centroid_rows(x)
    out = np.empty((A, B), np.float32)
    for docs, r in chunks():
        dots = np.matmul(tau[:, r], codes)  # (G, chunk*T, A*S): exact integers
        acc = np.zeros(dots.shape[1:], np.float32)
        t1, t2 = np.empty_like(acc), np.empty_like(acc)
        for g in range(G):
            np.multiply(offset, sums[r, g, None], out=t1)
            np.multiply(scale, dots[g], out=t2)
            np.add(t1, t2, out=t1)
            np.multiply(scl[r, g, None], t1, out=t1)
            np.add(acc, t1, out=acc)
        out[:, docs] = maxsim(sin[r] * acc + cos[r] * qc[cid[r]])
    return out.ravel()


def rroq158_numpy_matmul(x):
    """Queries and documents dequantized to floats, one matmul for all queries."""
    G, gdim = N_GROUPS_158, DIM // N_GROUPS_158
    meta = x["q_meta"].reshape(A * S, 1, 2)
    q = rroq158_codes(x).astype(np.float32) * meta[..., 0] + meta[..., 1]  # (A*S, DIM)
    docs_r = rroq158_ternary(x).reshape(B * T, G, gdim) * x["docs_scl"].reshape(B * T, G, 1)
    docs_r = docs_r.astype(np.float32).reshape(B * T, DIM)
    cid, cos, sin = x["docs_cid"], x["docs_cos"][:, None], x["docs_sin"][:, None]
    qc = centroid_rows(x)
    qt = np.ascontiguousarray(q.T)
    out = np.empty((A, B), np.float32)
    for docs, r in chunks():
        out[:, docs] = (sin[r] * (docs_r[r] @ qt) + cos[r] * qc[cid[r]]).reshape(-1, T, A, S).max(1).sum(-1).T
    return out.ravel()


# ---------------------------------------------------------------------------------------------
# rroq4_riem


def rroq4_inputs():
    rng = np.random.default_rng(8)
    G = DIM // GROUP_SIZE
    q = f32(rng, A * S * DIM, scale=0.1)
    return dict(
        q_rot=q,
        q_gsums=q.reshape(A * S, G, GROUP_SIZE).sum(-1).astype(np.float32).ravel(),
        qc_table=f32(rng, A * S * K),
        docs_codes=rng.integers(0, 256, B * T * DIM // 2).astype(np.uint8),
        docs_mins=f32(rng, B * T * G, scale=0.1),
        docs_dlts=np.abs(f32(rng, B * T * G, scale=0.02)),
        docs_cid=rng.integers(0, K, B * T).astype(np.int32),
        docs_cos=f32(rng, B * T),
        docs_sin=f32(rng, B * T),
        big_a=A, big_b=B, big_s=S, big_t=T, dim=DIM, n_groups=G, group_size=GROUP_SIZE, big_k=K,
    )


def rroq4_numpy_matmul(x):
    """The codes dequantized (min + code * delta), one matmul for all queries."""
    G = DIM // GROUP_SIZE
    codes = x["docs_codes"].reshape(B * T, DIM // 2)
    xs = np.empty((B * T, DIM), np.float32)
    xs[:, 0::2], xs[:, 1::2] = codes & 0x0F, codes >> 4
    deq = (xs.reshape(B * T, G, GROUP_SIZE) * x["docs_dlts"].reshape(B * T, G, 1)
           + x["docs_mins"].reshape(B * T, G, 1)).reshape(B * T, DIM)
    cid, cos, sin = x["docs_cid"], x["docs_cos"][:, None], x["docs_sin"][:, None]
    qt = np.ascontiguousarray(x["q_rot"].reshape(A * S, DIM).T)
    qc = centroid_rows(x)
    out = np.empty((A, B), np.float32)
    for docs, r in chunks():
        out[:, docs] = (cos[r] * qc[cid[r]] + sin[r] * (deq[r] @ qt)).reshape(-1, T, A, S).max(1).sum(-1).T
    return out.ravel()


# ---------------------------------------------------------------------------------------------
# One side of the comparison, in a process whose BLAS runs on `threads` threads.

KERNELS = {
    "rroq158": (rroq158_inputs, "rroq158_score_batch",
                {"exact NumPy": rroq158_numpy_exact, "one-matmul NumPy": rroq158_numpy_matmul}),
    "rroq4_riem": (rroq4_inputs, "rroq4_riem_score_batch", {"one-matmul NumPy": rroq4_numpy_matmul}),
}


def largest_relative_difference(a, b):
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-3)))


def side(threads):
    import varnelo_shard_engine as vse

    result = {}
    for name, (make, fn_name, baselines) in KERNELS.items():
        fn = getattr(vse, fn_name)
        x = make()
        sides = {}
        if threads == 1:
            sides["engine"] = lambda: fn(**x, n_threads=1)
            if WORKERS > 1:
                sides["engine, all workers"] = lambda: fn(**x, n_threads=WORKERS)
                sides["engine, process-wide pool"] = lambda: fn(**x)
        sides.update({label: (lambda f=f: f(x)) for label, f in baselines.items()})
        for f in sides.values():
            f()  # pools built, pages touched
        timed = alternate(sides, REPEATS)
        checks = {}
        if threads == 1:
            engine = timed["engine"][1]
            for label in baselines:
                ref = timed[label][1]
                diff = f"largest relative difference {largest_relative_difference(engine, ref):.1e}"
                if label.startswith("exact"):
                    same = np.array_equal(engine.view(np.uint32), ref.view(np.uint32))
                    checks[label] = "bit-identical" if same else f"NOT bit-identical ({diff})"
                else:
                    checks[label] = diff
        result[name] = {"times": {k: v[0] for k, v in timed.items()}, "checks": checks,
                        "crc": {k: zlib.crc32(v[1].tobytes()) for k, v in timed.items() if k.startswith("engine")}}
    print(json.dumps(result))


def vnni_runs(limits):
    """Whether rroq158 takes the VNNI path: the processor has VPDPBUSD (the probe measured it) and
    the module's dispatch is not capped below that row."""
    return bool(limits.vnni) and limits.cap in (None, "avx512-vnni")


def main():
    limits = probe()
    vnni = vnni_runs(limits)
    one = run_child(__file__, ["--side", "1"], 1)
    many = run_child(__file__, ["--side", str(WORKERS)], WORKERS) if WORKERS > 1 else None

    print(f"Batch: A={A} queries x S={S} tokens, B={B} documents x T={T} tokens, dim={DIM}, K={K}; "
          f"best of {REPEATS}, engine and BLAS-1 baselines alternating; {WORKERS} processors\n")
    header = ["workload", "engine ms", "baseline", "baseline ms", "ratio (baseline / engine)", "pairs/s/core",
              "% of limit", "% of VNNI limit"]
    print("| " + " | ".join(header) + " |")
    print("|---|" + "---:|" * 2 + "---:|" * 5)
    notes = []
    for name in KERNELS:
        limit_name = "popcount" if name == "rroq158" else "fma"
        work = POPCOUNTS_158 if name == "rroq158" else DOT_FMAS_4
        r1 = one[name]
        t1 = r1["times"]["engine"]
        with_vnni = vnni and name == "rroq158"
        rows = [(f"{name}, 1 worker", t1, 1, r1, "", getattr(limits, limit_name), limits.vnni)]
        if WORKERS > 1:
            rn = many[name]
            tn = r1["times"]["engine, all workers"]
            tg = r1["times"]["engine, process-wide pool"]
            two = limits.on_two(limit_name)
            two_vnni = limits.on_two("vnni") if with_vnni else None
            rows += [(f"{name}, {WORKERS} workers (n_threads={WORKERS})", tn, WORKERS, r1, ", BLAS 1 thread", two,
                      two_vnni),
                     (f"{name}, {WORKERS} workers (n_threads={WORKERS})", tn, WORKERS, rn,
                      f", BLAS {WORKERS} threads", two, two_vnni),
                     (f"{name}, process-wide pool (n_threads=None)", tg, WORKERS, rn, f", BLAS {WORKERS} threads", two,
                      two_vnni)]
            notes.append(f"{name}: parallel efficiency on {WORKERS} workers {t1 / (tn * WORKERS):.0%} "
                         f"(speed-up {t1 / tn:.2f}x)")
        for label, t_e, cores, base, base_note, limit, vnni_limit in rows:
            rate = work / t_e / 1e9
            vnni_share = percent(VNNI_BYTE_MACS_158 / t_e / 1e9, vnni_limit) if with_vnni else ""
            for b_label, t_b in base["times"].items():
                if b_label.startswith("engine"):
                    continue
                print(f"| {label} | {t_e * 1e3:.1f} | {b_label}{base_note} | {t_b * 1e3:.1f} | {t_b / t_e:.2f}x "
                      f"| {PAIRS / t_e / cores:,.0f} | {percent(rate, limit)} | {vnni_share} |")
        for b_label, check in r1["checks"].items():
            notes.append(f"{name} vs {b_label}: {check}")
        crcs = set(r1["crc"].values())
        notes.append(f"{name}: engine results identical across thread counts and pools: {len(crcs) == 1}")
    print()
    print("- % of limit: rroq158 popcounts the formula implies per second, rroq4_riem dot FMAs per second, "
          "against the probe's one-thread rate (two-thread rate for two-worker rows)"
          + ("; the VNNI path counts no bits, so its popcount share can pass 100%" if vnni else ""))
    if vnni:
        print(f"- % of VNNI limit: rroq158 runs its VNNI path; {VNNI_DPBUSD_PER_PAIR:,} VPDPBUSD per pair "
              f"({VNNI_DPBUSD_PER_PAIR * VNNI_MACS:,} byte multiply-accumulates) against the probe's VPDPBUSD rate")
    else:
        print("- % of VNNI limit: empty, rroq158 does not run its VNNI path here "
              f"({'dispatch capped at ' + limits.cap if limits.cap else 'no VNNI on this processor'})")
    for n in notes:
        print(f"- {n}")
    print(limits.report())


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--side":
        side(int(sys.argv[2]))
    else:
        main()
