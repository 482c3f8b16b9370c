"""rroq158_score_batch and rroq4_riem_score_batch: exact scores, masks, output layout, argument
conversion, the checks and their order, thread counts and worker pools."""

import inspect
import re

import numpy as np
import pytest

import varnelo_shard_engine as vse
from conftest import THREAD_HELPERS, misaligned, run_python
from kernel_reference import (
    rroq158_inputs,
    rroq158_reference,
    rroq4_inputs,
    rroq4_reference,
)


def bits(a):
    return np.asarray(a, np.float32).view(np.uint32)


def assert_same_bits(got, want):
    assert got.dtype == np.float32 and got.shape == want.shape
    diff = np.flatnonzero(bits(got) != bits(want))
    assert diff.size == 0, f"elements {diff[:8]} differ: {got[diff[:8]]} vs {want[diff[:8]]}"


KERNELS = {
    "rroq158": (vse.rroq158_score_batch, rroq158_inputs, rroq158_reference),
    "rroq4_riem": (vse.rroq4_riem_score_batch, rroq4_inputs, rroq4_reference),
}

# Small valid shapes: (A, B, S, T, n_words, n_groups, query_bits, K) and (A, B, S, T, dim, n_groups, group_size, K).
SMALL = {"rroq158": (2, 3, 3, 2, 4, 2, 2, 5), "rroq4_riem": (2, 3, 3, 2, 8, 2, 4, 5)}


def small_inputs(kernel, seed=0, **kw):
    _, make, _ = KERNELS[kernel]
    return make(np.random.default_rng(seed), *SMALL[kernel], **kw)


# ---------------------------------------------------------------------------------------------
# Exact scores


# Query token counts of 1, 17 and 33 leave padding lanes and span several lane vectors; the
# rroq4_riem dims include a code row that is not a multiple of 16 bytes; the last case of each has
# more centroids than document tokens.
EXACT_CASES = [
    ("rroq158", (2, 4, 17, 3, 4, 2, 3, 5)),
    ("rroq158", (1, 3, 33, 2, 2, 1, 8, 4)),
    ("rroq158", (2, 2, 1, 4, 3, 3, 1, 3)),
    ("rroq158", (1, 2, 5, 2, 2, 2, 4, 40)),
    ("rroq4_riem", (2, 3, 17, 3, 16, 4, 4, 5)),
    ("rroq4_riem", (1, 2, 33, 2, 34, 1, 34, 3)),
    ("rroq4_riem", (2, 2, 1, 5, 4, 2, 2, 2)),
    ("rroq4_riem", (1, 2, 5, 2, 8, 2, 4, 40)),
]


@pytest.mark.parametrize("masks,specials", [(False, False), (True, False), (True, True)])
@pytest.mark.parametrize("kernel,shape", EXACT_CASES)
def test_scores_match_the_exact_reference_bit_for_bit(kernel, shape, masks, specials):
    fn, make, reference = KERNELS[kernel]
    x = make(np.random.default_rng(hash((shape, masks, specials)) % 2**32), *shape, masks=masks, specials=specials)
    assert_same_bits(fn(**x), reference(x))


def test_rroq158_group_arithmetic_on_known_bits():
    # One word: P = 0b0101, N = 0b0010 (coordinates 0 and 2 are +1, coordinate 1 is -1); planes
    # 0b0111 and 0b0100 give codes 1, 1, 3: sum_g = 1, dot_g = (2 - 1)*1 + (1 - 0)*2 = 3.
    x = dict(
        q_planes=np.array([0b0111, 0b0100], np.int32), q_meta=np.array([0.5, 0.25], np.float32),
        qc_table=np.array([8.0, 3.0], np.float32),
        docs_sign=np.array([0b0101], np.int32), docs_nz=np.array([0b0111], np.int32),
        docs_scl=np.array([2.0], np.float32), docs_cid=np.array([1], np.int32),
        docs_cos=np.array([0.5], np.float32), docs_sin=np.array([4.0], np.float32),
        big_a=1, big_b=1, big_s=1, big_t=1, n_words=1, n_groups=1, query_bits=2, big_k=2,
    )
    # acc = 2 * (0.25*1 + 0.5*3) = 3.5; score = 4*3.5 + 0.5*3.0 = 15.5
    assert vse.rroq158_score_batch(**x).tolist() == [15.5]
    # query_bits 8: plane 7 carries weight 128.
    x.update(q_planes=np.array([0, 0, 0, 0, 0, 0, 0, 0b0001], np.int32), query_bits=8)
    # dot = 128 (coordinate 0 is +1); acc = 2 * (0.25*1 + 0.5*128) = 128.5; score = 514 + 1.5
    assert vse.rroq158_score_batch(**x).tolist() == [515.5]


def test_rroq4_zero_codes_leave_the_minimum_terms():
    # Codes 0 everywhere: each token score is fma(cos, qc, sin * acc), acc the fma chain of
    # mins_g * gsum_g; 0xF0 / 0x0F decode to (0, 15) / (15, 0).
    x = small_inputs("rroq4_riem", seed=3)
    x["docs_codes"][:] = 0
    assert_same_bits(vse.rroq4_riem_score_batch(**x), rroq4_reference(x))
    x["docs_codes"][:] = np.where(np.arange(x["docs_codes"].size) % 2, 0xF0, 0x0F).astype(np.uint8)
    assert_same_bits(vse.rroq4_riem_score_batch(**x), rroq4_reference(x))


def test_all_negative_scores_sum_the_maxima():
    x = small_inputs("rroq4_riem", seed=5)
    x["docs_mins"][:] = 0
    x["docs_dlts"][:] = 0
    x["docs_cos"][:] = 1
    x["qc_table"][:] = -np.abs(x["qc_table"]) - 1
    out = vse.rroq4_riem_score_batch(**x)
    assert (out < 0).all()
    assert_same_bits(out, rroq4_reference(x))


# ---------------------------------------------------------------------------------------------
# Masks: which pairs score exactly +0.0, and which behave as if there were no mask.

NAN = np.float32(np.nan)


@pytest.mark.parametrize(
    "kernel,q_mask,docs_mask,expect",
    [
        ("rroq158", 0.0, None, "zero"),
        ("rroq158", -1.0, None, "zero"),
        ("rroq158", NAN, None, "zero"),  # no positive weight: early exit, although NaN tokens take part elsewhere
        ("rroq158", None, 0.0, "zero"),
        ("rroq158", 1.0, NAN, "unmasked"),
        ("rroq4_riem", 0.0, None, "zero"),
        ("rroq4_riem", NAN, None, "unmasked"),  # NaN never excludes a token here
        ("rroq4_riem", None, 0.0, "zero"),
        ("rroq4_riem", 2.0, NAN, "unmasked"),
    ],
)
def test_uniform_masks(kernel, q_mask, docs_mask, expect):
    fn, _, _ = KERNELS[kernel]
    x = small_inputs(kernel, seed=11)
    plain = fn(**x)
    A, B, S, T = x["big_a"], x["big_b"], x["big_s"], x["big_t"]
    kw = {}
    if q_mask is not None:
        kw["q_mask"] = np.full(A * S, q_mask, np.float32)
    if docs_mask is not None:
        kw["docs_mask"] = np.full(B * T, docs_mask, np.float32)
    out = fn(**x, **kw)
    if expect == "zero":
        assert bits(out).tolist() == [0] * (A * B)
    else:
        assert_same_bits(out, plain)


def test_rroq158_nan_weighted_tokens_count_once_a_weight_is_positive():
    x = small_inputs("rroq158", seed=12)
    q_mask = np.array([1.0, NAN, 0.0] * 2, np.float32)
    out = vse.rroq158_score_batch(**x, q_mask=q_mask)
    assert_same_bits(out, rroq158_reference(dict(x, q_mask=q_mask)))
    only_first = vse.rroq158_score_batch(**x, q_mask=np.array([1.0, 0.0, 0.0] * 2, np.float32))
    assert not np.array_equal(bits(out), bits(only_first))


# ---------------------------------------------------------------------------------------------
# Output layout and thread counts


@pytest.mark.parametrize("kernel", KERNELS)
def test_output_is_row_major_queries_by_documents(kernel):
    fn, _, _ = KERNELS[kernel]
    x = small_inputs(kernel, seed=21)  # A = 2, B = 3
    out = fn(**x)
    assert out.shape == (6,) and out.dtype == np.float32 and out.flags.c_contiguous
    A, B, S, T = x["big_a"], x["big_b"], x["big_s"], x["big_t"]
    q_keys = [k for k in x if k in ("q_planes", "q_meta", "qc_table", "q_rot", "q_gsums")]
    d_keys = [k for k in x if isinstance(x[k], np.ndarray) and k not in q_keys]
    for a in range(A):
        for b in range(B):
            one = dict(x, big_a=1, big_b=1)
            for k in q_keys:
                n = x[k].size // A
                one[k] = x[k][a * n:(a + 1) * n]
            for k in d_keys:
                n = x[k].size // B
                one[k] = x[k][b * n:(b + 1) * n]
            assert bits(fn(**one))[0] == bits(out)[a * B + b], (a, b)


@pytest.mark.parametrize("kernel", KERNELS)
def test_every_thread_count_gives_the_same_bits(kernel):
    fn, make, _ = KERNELS[kernel]
    shape = (3, 150, 20, 6, 4, 2, 3, 16) if kernel == "rroq158" else (3, 150, 20, 6, 32, 2, 16, 16)
    x = make(np.random.default_rng(31), *shape, masks=True)
    results = {n: fn(**x, n_threads=n) for n in (None, 0, 1, 3, 8)}
    for n, out in results.items():
        assert_same_bits(out, results[None])


@pytest.mark.parametrize("kernel", KERNELS)
def test_output_is_a_fresh_writable_array(kernel):
    fn, _, _ = KERNELS[kernel]
    x = small_inputs(kernel, seed=41)
    for v in x.values():
        if isinstance(v, np.ndarray):
            v.flags.writeable = False  # read-only inputs are accepted
    before = {k: v.copy() for k, v in x.items() if isinstance(v, np.ndarray)}
    out = fn(**x)
    assert out.flags.writeable and out.flags.owndata is False and out.base is not None
    out[:] = 123.0
    for k, v in before.items():
        assert np.array_equal(x[k].view(np.uint8), v.view(np.uint8)), k
    assert not np.shares_memory(out, fn(**x))


@pytest.mark.parametrize("kernel", KERNELS)
def test_misaligned_arrays_score_as_aligned_ones(kernel):
    fn, _, _ = KERNELS[kernel]
    x = small_inputs(kernel, seed=71, masks=True)
    want = fn(**x)
    arrays = [k for k, v in x.items() if isinstance(v, np.ndarray)]
    assert len(arrays) == 11
    for k in arrays:
        assert_same_bits(fn(**dict(x, **{k: misaligned(x[k])})), want)
    assert_same_bits(fn(**{k: misaligned(v) if k in arrays else v for k, v in x.items()}), want)
    # The copy a misaligned array is read through does not make a strided view contiguous.
    k = arrays[1]
    with pytest.raises(ValueError, match=f"^{k} must be contiguous$"):
        fn(**dict(x, **{k: misaligned(np.repeat(x[k], 2))[::2]}))


# ---------------------------------------------------------------------------------------------
# Signatures and argument conversion

SIGNATURES = {
    "rroq158": "(q_planes, q_meta, qc_table, docs_sign, docs_nz, docs_scl, docs_cid, docs_cos, docs_sin, "
               "big_a, big_b, big_s, big_t, n_words, n_groups, query_bits, big_k, q_mask=None, docs_mask=None, "
               "n_threads=None)",
    "rroq4_riem": "(q_rot, q_gsums, qc_table, docs_codes, docs_mins, docs_dlts, docs_cid, docs_cos, docs_sin, "
                  "big_a, big_b, big_s, big_t, dim, n_groups, group_size, big_k, q_mask=None, docs_mask=None, "
                  "n_threads=None)",
}


def test_module_registers_the_functions_in_order():
    names = vse.__all__
    assert names.index("ShardIndex") < names.index("rroq158_score_batch") < names.index("rroq4_riem_score_batch")
    assert names[-2:] == ["rroq158_score_batch", "rroq4_riem_score_batch"]


@pytest.mark.parametrize("kernel", KERNELS)
def test_signature_and_docstring(kernel):
    fn, _, _ = KERNELS[kernel]
    assert str(inspect.signature(fn)) == SIGNATURES[kernel]
    assert fn.__module__ == "varnelo_shard_engine"
    doc = fn.__doc__.split("\n")
    assert doc[0] == f"Score a batch of (query \u00d7 document) pairs with the {kernel} fused" + (
        " MaxSim" if kernel == "rroq158" else "")
    assert doc[-1] == "caller reshapes and runs top-k." and not fn.__doc__.endswith("\n")


@pytest.mark.parametrize("kernel", KERNELS)
def test_positional_and_keyword_calls_agree(kernel):
    fn, _, _ = KERNELS[kernel]
    x = small_inputs(kernel, seed=51, masks=True)
    order = [p for p in inspect.signature(fn).parameters if p in x]
    positional = fn(*[x[p] for p in order])
    assert_same_bits(positional, fn(**x))
    # NumPy integer scalars and bools convert through __index__.
    y = dict(x, big_a=np.int64(x["big_a"]), big_b=np.uint16(x["big_b"]), big_k=np.int32(x["big_k"]))
    assert_same_bits(fn(**y, n_threads=np.int8(2)), positional)


@pytest.mark.parametrize(
    "kernel,change,exc,text",
    [
        ("rroq158", lambda x: x.update(q_meta=x["q_meta"].astype(np.float64)), TypeError, "argument 'q_meta'"),
        ("rroq158", lambda x: x.update(q_mask=np.ones(6, bool)), TypeError, "argument 'q_mask'"),
        ("rroq158", lambda x: x.update(qc_table=x["qc_table"].reshape(2, -1)), TypeError, "argument 'qc_table'"),
        ("rroq158", lambda x: x.update(q_planes=x["q_planes"].tolist()), TypeError, "argument 'q_planes'"),
        ("rroq158", lambda x: x.update(docs_cid=x["docs_cid"].astype(np.int64)), TypeError, "argument 'docs_cid'"),
        ("rroq4_riem", lambda x: x.update(docs_codes=x["docs_codes"].astype(np.int8)), TypeError,
         "argument 'docs_codes'"),
        # Conversion comes before any check: the bad dtype wins over n_groups = 0.
        ("rroq4_riem", lambda x: x.update(q_rot=x["q_rot"].astype(np.float64), n_groups=0), TypeError,
         "argument 'q_rot'"),
        ("rroq158", lambda x: x.update(big_a=-1), OverflowError, ""),
        ("rroq158", lambda x: x.update(big_a=2**64), OverflowError, ""),
        ("rroq158", lambda x: x.update(big_a=2.0), TypeError, "argument 'big_a'"),
        ("rroq4_riem", lambda x: x.update(group_size="4"), TypeError, "argument 'group_size'"),
        ("rroq4_riem", lambda x: x.update(n_threads=-1), OverflowError, ""),
        ("rroq4_riem", lambda x: x.update(n_threads=1.0), TypeError, "argument 'n_threads'"),
        ("rroq158", lambda x: x.pop("big_k"), TypeError, "missing 1 required positional argument: 'big_k'"),
        ("rroq158", lambda x: x.update(n_thread=1), TypeError, "unexpected keyword argument 'n_thread'"),
    ],
)
def test_argument_conversion_errors(kernel, change, exc, text):
    fn, _, _ = KERNELS[kernel]
    x = small_inputs(kernel)
    change(x)
    with pytest.raises(exc, match=re.escape(text) if text else None):
        fn(**x)


def test_surplus_positional_argument():
    x = small_inputs("rroq158")
    args = [x[p] for p in inspect.signature(vse.rroq158_score_batch).parameters if p in x]
    with pytest.raises(TypeError, match="takes from 17 to 20 positional arguments but 21 were given"):
        vse.rroq158_score_batch(*args, None, None, None, None)


# ---------------------------------------------------------------------------------------------
# The checks, their order and their messages


def strided(a):
    """A view of a's elements with every other element of a twice-as-long array between them."""
    return np.repeat(a, 2)[::2]


def resized(a, n):
    return np.resize(a, n).astype(a.dtype)


ALL_ZERO_158 = dict(big_a=0, big_b=0, big_s=0, big_t=0, n_words=0, n_groups=0, query_bits=0, big_k=0)
ALL_ZERO_4 = dict(big_a=0, big_b=0, big_s=0, big_t=0, dim=0, n_groups=0, group_size=0, big_k=0)

CHECKS = [
    # rroq158 base: A=2, B=3, S=3, T=2, n_words=4, n_groups=2, query_bits=2, K=5
    ("rroq158", lambda x: x.update(ALL_ZERO_158), "n_groups must be > 0"),
    ("rroq158", lambda x: x.update(n_words=0), "n_words must be > 0"),
    ("rroq158", lambda x: x.update(query_bits=0),
     "All shape dims must be > 0 (got A=2, B=3, S=3, T=2, K=5, query_bits=0)"),
    ("rroq158", lambda x: x.update(big_b=0, query_bits=9),
     "All shape dims must be > 0 (got A=2, B=0, S=3, T=2, K=5, query_bits=9)"),
    ("rroq158", lambda x: x.update(query_bits=9),
     "query_bits must be <= 8 (got 9); the inner accumulator uses (1 << k) which would overflow for k >= 31"),
    ("rroq158", lambda x: x.update(n_words=6, n_groups=4), "n_words (6) must be divisible by n_groups (4)"),
    ("rroq158", lambda x: x.update(q_planes=x["q_planes"][:47]), "q_planes len 47 != A*S*query_bits*n_words 48"),
    ("rroq158", lambda x: x.update(q_meta=strided(x["q_meta"][:5])), "q_meta must be contiguous"),
    ("rroq158", lambda x: x.update(qc_table=x["qc_table"][:-1], docs_sin=x["docs_sin"][:-1]),
     "qc_table len 29 != A*S*K 30"),
    ("rroq158", lambda x: x.update(docs_sign=strided(x["docs_sign"])), "docs_sign must be contiguous"),
    ("rroq158", lambda x: x.update(docs_nz=resized(x["docs_nz"], 25)), "docs_nz len 25 != B*T*n_words 24"),
    ("rroq158", lambda x: x.update(docs_scl=resized(x["docs_scl"], 11)), "docs_scl len 11 != B*T*n_groups 12"),
    ("rroq158", lambda x: x.update(docs_cid=strided(x["docs_cid"])), "docs_cid must be contiguous"),
    ("rroq158", lambda x: x.update(docs_cos=x["docs_cos"][:0]), "docs_cos len 0 != B*T 6"),
    ("rroq158", lambda x: x.update(docs_sin=resized(x["docs_sin"], 7)), "docs_sin len 7 != B*T 6"),
    ("rroq158", lambda x: x.update(q_mask=np.ones(5, np.float32)), "q_mask len 5 != A*S 6"),
    ("rroq158", lambda x: x.update(docs_mask=strided(np.ones(6, np.float32))), "docs_mask must be contiguous"),
    ("rroq158", lambda x: x.update(q_mask=np.ones(6, np.float32), docs_mask=np.ones(5, np.float32)),
     "docs_mask len 5 != B*T 6"),
    # rroq4_riem base: A=2, B=3, S=3, T=2, dim=8, n_groups=2, group_size=4, K=5
    ("rroq4_riem", lambda x: x.update(ALL_ZERO_4), "n_groups must be > 0"),
    ("rroq4_riem", lambda x: x.update(group_size=0, dim=0),
     "group_size must be a positive even integer (got 0); 4-bit codes pack two coords per byte"),
    ("rroq4_riem", lambda x: x.update(group_size=3),
     "group_size must be a positive even integer (got 3); 4-bit codes pack two coords per byte"),
    ("rroq4_riem", lambda x: x.update(dim=0, big_a=0), "dim must be > 0"),
    ("rroq4_riem", lambda x: x.update(big_k=0), "All shape dims must be > 0 (got A=2, B=3, S=3, T=2, K=0)"),
    ("rroq4_riem", lambda x: x.update(n_groups=4, group_size=8, dim=30), "n_groups (4) * group_size (8) != dim (30)"),
    ("rroq4_riem", lambda x: x.update(q_rot=strided(x["q_rot"][:40])), "q_rot must be contiguous"),
    ("rroq4_riem", lambda x: x.update(q_gsums=x["q_gsums"][:11]), "q_gsums len 11 != A*S*n_groups 12"),
    ("rroq4_riem", lambda x: x.update(qc_table=resized(x["qc_table"], 31)), "qc_table len 31 != A*S*K 30"),
    ("rroq4_riem", lambda x: x.update(dim=64, n_groups=16, q_rot=np.zeros(384, np.float32),
                                      q_gsums=np.zeros(96, np.float32)), "docs_codes len 24 != B*T*(dim/2) 192"),
    ("rroq4_riem", lambda x: x.update(docs_mins=strided(x["docs_mins"])), "docs_mins must be contiguous"),
    ("rroq4_riem", lambda x: x.update(docs_dlts=x["docs_dlts"][:-2]), "docs_dlts len 10 != B*T*n_groups 12"),
    ("rroq4_riem", lambda x: x.update(docs_cid=x["docs_cid"][:-1]), "docs_cid len 5 != B*T 6"),
    ("rroq4_riem", lambda x: x.update(q_mask=np.ones(7, np.float32)), "q_mask len 7 != A*S 6"),
]


def test_query_bits_eight_passes():
    x = rroq158_inputs(np.random.default_rng(2), 1, 2, 3, 2, 2, 1, 8, 3)
    assert vse.rroq158_score_batch(**x).shape == (2,)


# Calls outside the kernels' domain are refused before any element is read beyond docs_cid.
PRECONDITIONS = [
    ("rroq158", lambda x: x.update(docs_cid=np.array([0, 1, 5, 2, 3, 4], np.int32)),
     "docs_cid[2] = 5 is out of range for K = 5 (centroid ids must be in 0..K-1)"),
    ("rroq4_riem", lambda x: x.update(docs_cid=np.array([0, 1, 2, 3, 4, -1], np.int32)),
     "docs_cid[5] = -1 is out of range for K = 5 (centroid ids must be in 0..K-1)"),
    # A NaN weight lets its token take part, so its id must be valid.
    ("rroq4_riem", lambda x: x.update(docs_cid=np.array([0, 9, 2, 3, 4, 0], np.int32),
                                      docs_mask=np.array([1, np.nan, 1, 1, 1, 1], np.float32)),
     "docs_cid[1] = 9 is out of range for K = 5 (centroid ids must be in 0..K-1)"),
    # Products of shape numbers that do not fit 64 bits, before any array length is compared.
    ("rroq158", lambda x: x.update(big_a=2**31, big_s=2**31, query_bits=4),
     "shape product A*S*query_bits*n_words overflows an unsigned 64-bit integer"),
    ("rroq158", lambda x: x.update(big_a=2**40, big_s=2**30), "shape product A*S overflows an unsigned 64-bit integer"),
    ("rroq4_riem", lambda x: x.update(big_a=2**32, big_b=2**32, big_s=1, big_t=1),
     "shape product A*B overflows an unsigned 64-bit integer"),
    ("rroq4_riem", lambda x: x.update(big_b=2**62, big_t=4, big_a=1),
     "shape product B*T overflows an unsigned 64-bit integer"),
]


# The argument checks in the order rroq158_check and rroq4_riem_check run them, then the refusals
# of calls outside the kernels' domain.
@pytest.mark.parametrize("kernel,change,message", CHECKS + PRECONDITIONS)
def test_value_errors(kernel, change, message):
    fn, _, _ = KERNELS[kernel]
    x = small_inputs(kernel)
    change(x)
    with pytest.raises(ValueError) as e:
        fn(**x)
    assert str(e.value) == message


def test_rroq158_refuses_more_than_32_groups():
    rng = np.random.default_rng(8)
    fine = rroq158_inputs(rng, 1, 2, 2, 2, 32, 32, 2, 3)
    assert vse.rroq158_score_batch(**fine).shape == (2,)
    x = rroq158_inputs(rng, 1, 2, 2, 2, 33, 33, 2, 3)
    with pytest.raises(ValueError) as e:
        vse.rroq158_score_batch(**x)
    assert str(e.value) == "n_groups must be <= 32 (got 33); the kernel keeps per-group sums for at most 32 groups"
    # The argument checks still come first.
    x["docs_cos"] = x["docs_cos"][:1]
    with pytest.raises(ValueError, match="docs_cos len 1 != B"):
        vse.rroq158_score_batch(**x)


@pytest.mark.parametrize("kernel", KERNELS)
def test_masked_out_tokens_may_carry_any_centroid_id(kernel):
    fn, _, reference = KERNELS[kernel]
    x = small_inputs(kernel, seed=61)
    x["docs_cid"] = np.array([0, 2**31 - 1, 1, -7, 4, 3], np.int32)
    x["docs_mask"] = np.array([1, 0, 1, -1, 1, 1], np.float32)
    assert_same_bits(fn(**x), reference(x))


# ---------------------------------------------------------------------------------------------
# Worker pools, in fresh interpreters (pools live as long as the process)


def test_worker_pools_and_their_names():
    out = run_python(THREAD_HELPERS + """
    base = threads()
    import varnelo_shard_engine as vse
    from kernel_reference import rroq158_inputs, rroq4_inputs
    assert threads() == base, "importing started threads"
    x158 = rroq158_inputs(np.random.default_rng(0), 2, 40, 3, 2, 4, 2, 2, 5)
    x4 = rroq4_inputs(np.random.default_rng(0), 2, 40, 3, 2, 8, 2, 4, 5)
    vse.rroq158_score_batch(**x158, n_threads=0)
    vse.rroq4_riem_score_batch(**x4)
    print("global", len(new_threads(base)), set(new_threads(base)) <= set(base))
    after_global = threads()
    vse.rroq158_score_batch(**x158, n_threads=3)
    vse.rroq158_score_batch(**x158, n_threads=3)
    vse.rroq4_riem_score_batch(**x4, n_threads=3)
    vse.rroq158_score_batch(**x158, n_threads=1)
    print(" ".join(new_threads(after_global)))
    """, env={"RAYON_NUM_THREADS": "3"})
    lines = out.splitlines()
    # The process-wide pool: RAYON_NUM_THREADS workers, started on first use, unnamed.
    assert lines[0] == "global 3 True"
    assert lines[1].split() == ["rroq158-1-0", "rroq158-3-0", "rroq158-3-1", "rroq158-3-2",
                                "rroq4riem-3-0", "rroq4riem-3-1", "rroq4riem-3-2"]


def test_long_worker_names_are_cut_to_the_system_limit():
    out = run_python(THREAD_HELPERS + """
    import varnelo_shard_engine as vse
    from kernel_reference import rroq4_inputs
    base = threads()
    vse.rroq4_riem_score_batch(**rroq4_inputs(np.random.default_rng(0), 1, 2, 1, 1, 2, 1, 2, 1), n_threads=123)
    names = new_threads(base)
    print(len(names), names[0], names[-1])
    """)
    assert out.split() == ["123", "rroq4riem-123-0", "rroq4riem-123-9"]  # "rroq4riem-123-99" has 16 bytes


def test_a_pool_that_cannot_start_is_reported_and_not_kept():
    out = run_python(THREAD_HELPERS + """
    import resource
    import varnelo_shard_engine as vse
    from kernel_reference import rroq158_inputs
    x = rroq158_inputs(np.random.default_rng(0), 1, 2, 1, 1, 1, 1, 1, 1)
    base = threads()
    size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), hard))  # no room for 64 thread stacks
    try:
        vse.rroq158_score_batch(**x, n_threads=64)
        print("started")
    except RuntimeError as e:
        print(str(e))
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(len(new_threads(base)))
    vse.rroq158_score_batch(**x, n_threads=64)
    print(len(new_threads(base)))
    """)
    lines = out.splitlines()
    assert re.fullmatch(r"rroq158 rayon pool: cannot start worker thread \d+ of 64: .+ \(os error \d+\)", lines[0])
    assert lines[1:] == ["0", "64"]
