"""Random inputs for the two batch kernels, and exact pure-Python references of their scores.

The references follow the kernels' arithmetic step by step: integer parts in Python integers
(wrapped to 32 bits where the kernel wraps), every float operation one numpy.float32 operation
(correctly rounded), and for rroq4_riem every fused multiply-add computed exactly with fractions
and rounded once to float32. They are slow, so the batches they check are small.
"""

import math
from fractions import Fraction

import numpy as np

f32 = np.float32
NEG_INF = f32(-np.inf)
F32_MAX = float(np.finfo(np.float32).max)


# ---------------------------------------------------------------------------------------------
# Inputs


def _floats(rng, n, specials):
    v = rng.standard_normal(n).astype(np.float32)
    if specials:
        hit = rng.random(n) < 0.02
        v[hit] = rng.choice(np.array([np.nan, np.inf, -np.inf], np.float32), hit.sum())
    return v


def mask_values(rng, n):
    """Weights that take part (positive, NaN) or not (zero, negative)."""
    return rng.choice(np.array([1.0, 0.5, 0.0, -1.0, np.nan], np.float32), n, p=[0.4, 0.2, 0.15, 0.1, 0.15])


def _centroid_terms(rng, n_tokens, K, specials):
    """Each document token's centroid id and the weights of its centroid and residual terms."""
    return dict(docs_cid=rng.integers(0, K, n_tokens).astype(np.int32),
                docs_cos=_floats(rng, n_tokens, specials), docs_sin=_floats(rng, n_tokens, specials))


def _with_masks(rng, x, masks):
    if masks:
        x["q_mask"] = mask_values(rng, x["big_a"] * x["big_s"])
        x["docs_mask"] = mask_values(rng, x["big_b"] * x["big_t"])
    return x


def rroq158_inputs(rng, A, B, S, T, W, G, qb, K, masks=False, specials=False):
    words = lambda n: rng.integers(-(2**31), 2**31, n, dtype=np.int64).astype(np.int32)  # noqa: E731
    x = dict(
        q_planes=words(A * S * qb * W),
        q_meta=_floats(rng, A * S * 2, specials),
        qc_table=_floats(rng, A * S * K, specials),
        docs_sign=words(B * T * W),
        docs_nz=words(B * T * W),
        docs_scl=_floats(rng, B * T * G, specials),
        **_centroid_terms(rng, B * T, K, specials),
        big_a=A, big_b=B, big_s=S, big_t=T, n_words=W, n_groups=G, query_bits=qb, big_k=K,
    )
    return _with_masks(rng, x, masks)


def rroq4_inputs(rng, A, B, S, T, dim, G, gs, K, masks=False, specials=False):
    x = dict(
        q_rot=_floats(rng, A * S * dim, specials),
        q_gsums=_floats(rng, A * S * G, specials),
        qc_table=_floats(rng, A * S * K, specials),
        docs_codes=rng.integers(0, 256, B * T * (dim // 2)).astype(np.uint8),
        docs_mins=_floats(rng, B * T * G, specials),
        docs_dlts=_floats(rng, B * T * G, specials),
        **_centroid_terms(rng, B * T, K, specials),
        big_a=A, big_b=B, big_s=S, big_t=T, dim=dim, n_groups=G, group_size=gs, big_k=K,
    )
    return _with_masks(rng, x, masks)


# ---------------------------------------------------------------------------------------------
# Exact arithmetic helpers


def popcount(w):
    return bin(w & 0xFFFFFFFF).count("1")


def wrap_i32(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= 1 << 31 else v


def round_to_f32(q):
    """The float32 nearest to the exact non-zero rational q (ties to even)."""
    neg = q < 0
    q = -q if neg else q
    n, d = q.numerator, q.denominator
    e = n.bit_length() - d.bit_length()
    if (n << max(0, -e)) < (d << max(0, e)):  # q < 2**e
        e -= 1
    quantum = max(e, -126) - 23
    num, den = (n, d << quantum) if quantum >= 0 else (n << -quantum, d)
    m, r = divmod(num, den)
    if 2 * r > den or (2 * r == den and m & 1):
        m += 1
    v = math.ldexp(m, quantum)
    if v > F32_MAX:
        v = math.inf
    return f32(-v if neg else v)


def fma32(a, b, c):
    """a*b + c computed exactly and rounded once to float32."""
    a, b, c = float(a), float(b), float(c)
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(c)):
        return f32(a * b + c)  # infinities and NaN: no rounding involved
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    if exact == 0:
        # An exact zero sum is +0 unless both addends are zeros with a negative sign.
        prod_neg = math.copysign(1.0, a) * math.copysign(1.0, b) < 0
        neg = a * b == 0 and c == 0 and prod_neg and math.copysign(1.0, c) < 0
        return f32(-0.0) if neg else f32(0.0)
    return round_to_f32(exact)


def _taking_part(mask, i):
    return mask is None or not (mask[i] <= 0)


def _sum_best(best, q_mask=None):
    total = f32(0.0)
    for s, v in enumerate(best):
        if q_mask is not None and q_mask[s] <= 0:
            continue
        if v == NEG_INF or np.isnan(v):
            continue
        total = total + v
    return total


# ---------------------------------------------------------------------------------------------
# References


def rroq158_reference(x):
    A, B, S, T = x["big_a"], x["big_b"], x["big_s"], x["big_t"]
    W, G, qb, K = x["n_words"], x["n_groups"], x["query_bits"], x["big_k"]
    wpg = W // G
    planes = x["q_planes"].view(np.uint32).tolist()
    sign = x["docs_sign"].view(np.uint32).tolist()
    nz = x["docs_nz"].view(np.uint32).tolist()
    meta, qc, scl = x["q_meta"], x["qc_table"], x["docs_scl"]
    cid_all, cos_all, sin_all = x["docs_cid"].tolist(), x["docs_cos"], x["docs_sin"]
    q_mask, docs_mask = x.get("q_mask"), x.get("docs_mask")
    out = np.zeros(A * B, np.float32)
    with np.errstate(all="ignore"):
        for a in range(A):
            qm = None if q_mask is None else q_mask[a * S:(a + 1) * S]
            for b in range(B):
                if qm is not None and not any(m > 0 for m in qm):
                    out[a * B + b] = f32(0.0)  # early exit: the document is not read
                    continue
                best = [NEG_INF] * S
                for t in range(T):
                    bt = b * T + t
                    if not _taking_part(docs_mask, bt):
                        continue
                    P = [nz[bt * W + w] & sign[bt * W + w] for w in range(W)]
                    N = [nz[bt * W + w] & ~sign[bt * W + w] & 0xFFFFFFFF for w in range(W)]
                    sums = [wrap_i32(sum(popcount(P[w]) - popcount(N[w]) for w in range(g * wpg, (g + 1) * wpg)))
                            for g in range(G)]
                    cid, cos, sin = cid_all[bt], cos_all[bt], sin_all[bt]
                    for s in range(S):
                        if not _taking_part(qm, s):
                            continue
                        qs = a * S + s
                        scale, offset = meta[qs * 2], meta[qs * 2 + 1]
                        acc = f32(0.0)
                        for g in range(G):
                            dot = 0
                            for w in range(g * wpg, (g + 1) * wpg):
                                for k in range(qb):
                                    pl = planes[(qs * qb + k) * W + w]
                                    dot += (popcount(P[w] & pl) - popcount(N[w] & pl)) << k
                            t1 = offset * f32(sums[g])
                            t2 = scale * f32(wrap_i32(dot))
                            t3 = t1 + t2
                            t4 = scl[bt * G + g] * t3
                            acc = acc + t4
                        u = cos * qc[qs * K + cid]
                        v = sin * acc
                        score = v + u
                        if score > best[s]:
                            best[s] = score
                out[a * B + b] = _sum_best(best)
    return out


def rroq4_reference(x):
    A, B, S, T = x["big_a"], x["big_b"], x["big_s"], x["big_t"]
    dim, G, gs, K = x["dim"], x["n_groups"], x["group_size"], x["big_k"]
    rot, gsums, qc = x["q_rot"], x["q_gsums"], x["qc_table"]
    codes = x["docs_codes"].tolist()
    mins, dlts = x["docs_mins"], x["docs_dlts"]
    cid_all, cos_all, sin_all = x["docs_cid"].tolist(), x["docs_cos"], x["docs_sin"]
    q_mask, docs_mask = x.get("q_mask"), x.get("docs_mask")
    out = np.zeros(A * B, np.float32)
    with np.errstate(all="ignore"):
        for a in range(A):
            qm = None if q_mask is None else q_mask[a * S:(a + 1) * S]
            for b in range(B):
                best = [NEG_INF] * S  # no early exit for a fully masked query
                for t in range(T):
                    bt = b * T + t
                    if not _taking_part(docs_mask, bt):
                        continue
                    xs = []
                    for m in range(dim // 2):
                        v = codes[bt * (dim // 2) + m]
                        xs += [f32(v & 0x0F), f32(v >> 4)]
                    cid, cos, sin = cid_all[bt], cos_all[bt], sin_all[bt]
                    for s in range(S):
                        if not _taking_part(qm, s):
                            continue
                        qs = a * S + s
                        acc = f32(0.0)
                        for g in range(G):
                            dot = f32(0.0)
                            for i in range(gs):
                                dot = fma32(rot[qs * dim + g * gs + i], xs[g * gs + i], dot)
                            acc = fma32(dlts[bt * G + g], dot, acc)
                            acc = fma32(mins[bt * G + g], gsums[qs * G + g], acc)
                        v = sin * acc
                        score = fma32(cos, qc[qs * K + cid], v)
                        if score > best[s]:
                            best[s] = score
                out[a * B + b] = _sum_best(best, qm)
    return out
