// rroq158_score_batch and rroq4_riem_score_batch: the Python face of the two batch kernels.
//
// Each call binds its 20 arguments, takes them over in positional order (1-D arrays of exactly
// the dtype the stub gives each, varnelo_shard_engine.pyi, borrowed read-only without a copy;
// shape numbers and n_threads through __index__), runs the checks of the core, scores the batch
// without the GIL, and returns the result buffer as a flat float32 array that owns it.
#include "bindings/kernels.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kernels/rroq158.hpp"
#include "kernels/rroq4_riem.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/error.hpp"
#include "python/function.hpp"
#include "python/gil.hpp"
#include "python/method.hpp"
#include "python/ndarray.hpp"

namespace vse::bindings {

namespace {

using py::DType;
using py::Ref;

template <class T>
kernels::InArray<T> in_array(const py::ArrayView& v) {
    return kernels::InArray<T>{v.as<T>(), v.size, v.contiguous()};
}

template <class T>
std::optional<kernels::InArray<T>> in_array(const std::optional<py::ArrayView>& v) {
    if (!v) return std::nullopt;
    return in_array<T>(*v);
}

// The nine arrays, arguments 1 to 9, under their names and with their element types.
template <std::size_t N>
Result<std::array<py::ArrayView, 9>> arrays(const py::Bound<N>& a, const std::array<py::Param, N>& params,
                                            const std::array<DType, 9>& dtypes) {
    std::array<py::ArrayView, 9> v;
    for (std::size_t i = 0; i < 9; ++i) {
        VSE_TRY(v[i], py::borrow_array(a[i], params[i].name, dtypes[i], 1));
    }
    return v;
}

// The shape numbers, arguments 10 to 17, under their names.
template <std::size_t N>
Result<std::array<std::uint64_t, 8>> shape_numbers(const py::Bound<N>& a, const std::array<py::Param, N>& params) {
    std::array<std::uint64_t, 8> v{};
    for (std::size_t i = 0; i < 8; ++i) {
        VSE_TRY(v[i], py::to_u64(a[9 + i], params[9 + i].name));
    }
    return v;
}

// The optional arguments 18 to 20.
struct Optionals {
    std::optional<py::ArrayView> q_mask, docs_mask;
    std::optional<std::uint64_t> n_threads;
};

template <std::size_t N>
Result<Optionals> optionals(const py::Bound<N>& a) {
    Optionals o;
    VSE_TRY(o.q_mask, py::borrow_opt_array(a[17], "q_mask", DType::F32, 1));
    VSE_TRY(o.docs_mask, py::borrow_opt_array(a[18], "docs_mask", DType::F32, 1));
    VSE_TRY(o.n_threads, py::to_opt_u64(a[19], "n_threads"));
    return o;
}

// The arguments both kernels take: arrays 3, 7, 8 and 9, the shape numbers A, B, S, T and K, and
// the optional ones.
kernels::SharedInput shared_input(const std::array<py::ArrayView, 9>& v, const std::array<std::uint64_t, 8>& n,
                                  const Optionals& o) {
    return kernels::SharedInput{
        .qc_table = in_array<float>(v[2]),
        .docs_cid = in_array<std::int32_t>(v[6]),
        .docs_cos = in_array<float>(v[7]),
        .docs_sin = in_array<float>(v[8]),
        .big_a = n[0], .big_b = n[1], .big_s = n[2], .big_t = n[3], .big_k = n[7],
        .q_mask = in_array<float>(o.q_mask),
        .docs_mask = in_array<float>(o.docs_mask),
        .n_threads = o.n_threads,
    };
}

Result<Ref> output_array(std::vector<float>&& out) {
    const std::int64_t dims[1] = {static_cast<std::int64_t>(out.size())};
    return py::array_adopt(DType::F32, std::move(out), dims);
}

// ---------------------------------------------------------------------------------------------

constexpr std::array<py::Param, 20> kRroq158Params{{
    {"q_planes"}, {"q_meta"}, {"qc_table"}, {"docs_sign"}, {"docs_nz"}, {"docs_scl"}, {"docs_cid"},
    {"docs_cos"}, {"docs_sin"}, {"big_a"}, {"big_b"}, {"big_s"}, {"big_t"}, {"n_words"}, {"n_groups"},
    {"query_bits"}, {"big_k"}, py::optional("q_mask"), py::optional("docs_mask"), py::optional("n_threads"),
}};

PyObject* rroq158_score_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("rroq158_score_batch", kRroq158Params, args, nargs, kwnames));
        VSE_TRY(auto v, arrays(a, kRroq158Params, {DType::I32, DType::F32, DType::F32, DType::I32, DType::I32,
                                                   DType::F32, DType::I32, DType::F32, DType::F32}));
        VSE_TRY(auto n, shape_numbers(a, kRroq158Params));
        VSE_TRY(Optionals o, optionals(a));

        const kernels::Rroq158Input in{
            .q_planes = in_array<std::int32_t>(v[0]),
            .q_meta = in_array<float>(v[1]),
            .docs_sign = in_array<std::int32_t>(v[3]),
            .docs_nz = in_array<std::int32_t>(v[4]),
            .docs_scl = in_array<float>(v[5]),
            .n_words = n[4], .n_groups = n[5], .query_bits = n[6],
            .shared = shared_input(v, n, o),
        };
        VSE_TRY(kernels::Rroq158Args checked, kernels::rroq158_check(in));
        VSE_TRY(std::vector<float> out, py::without_gil([&] { return kernels::rroq158_run_pooled(checked); }));
        return output_array(std::move(out));
    });
}

constexpr std::array<py::Param, 20> kRroq4RiemParams{{
    {"q_rot"}, {"q_gsums"}, {"qc_table"}, {"docs_codes"}, {"docs_mins"}, {"docs_dlts"}, {"docs_cid"},
    {"docs_cos"}, {"docs_sin"}, {"big_a"}, {"big_b"}, {"big_s"}, {"big_t"}, {"dim"}, {"n_groups"},
    {"group_size"}, {"big_k"}, py::optional("q_mask"), py::optional("docs_mask"), py::optional("n_threads"),
}};

PyObject* rroq4_riem_score_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("rroq4_riem_score_batch", kRroq4RiemParams, args, nargs, kwnames));
        VSE_TRY(auto v, arrays(a, kRroq4RiemParams, {DType::F32, DType::F32, DType::F32, DType::U8, DType::F32,
                                                     DType::F32, DType::I32, DType::F32, DType::F32}));
        VSE_TRY(auto n, shape_numbers(a, kRroq4RiemParams));
        VSE_TRY(Optionals o, optionals(a));

        const kernels::Rroq4RiemInput in{
            .q_rot = in_array<float>(v[0]),
            .q_gsums = in_array<float>(v[1]),
            .docs_codes = in_array<std::uint8_t>(v[3]),
            .docs_mins = in_array<float>(v[4]),
            .docs_dlts = in_array<float>(v[5]),
            .dim = n[4], .n_groups = n[5], .group_size = n[6],
            .shared = shared_input(v, n, o),
        };
        VSE_TRY(kernels::Rroq4RiemArgs checked, kernels::rroq4_riem_check(in));
        VSE_TRY(std::vector<float> out, py::without_gil([&] { return kernels::rroq4_riem_run_pooled(checked); }));
        return output_array(std::move(out));
    });
}

// ---------------------------------------------------------------------------------------------

PyMethodDef kRroq158Def = py::fastcall_method(
    "rroq158_score_batch", rroq158_score_batch,
    "rroq158_score_batch(q_planes, q_meta, qc_table, docs_sign, docs_nz, docs_scl, docs_cid, docs_cos, "
    "docs_sin, big_a, big_b, big_s, big_t, n_words, n_groups, query_bits, big_k, q_mask=None, docs_mask=None, "
    "n_threads=None)\n"
    "--\n"
    "\n"
    "Score a batch of (query \u00d7 document) pairs with the rroq158 fused MaxSim\n"
    "kernel on CPU. Mirrors `pellary_index._internal.kernels.triton_roq_rroq158\n"
    ".roq_maxsim_rroq158` exactly so per-token scores are bitwise-identical\n"
    "(ignoring float-rounding) to the Triton GPU kernel and the python reference.\n"
    "\n"
    "All bit-plane tensors must be `int32`; all float tensors must be `float32`.\n"
    "\n"
    "Returns a flat `(A * B,)` `float32` numpy array of scores; the python\n"
    "caller reshapes and runs top-k.");

PyMethodDef kRroq4RiemDef = py::fastcall_method(
    "rroq4_riem_score_batch", rroq4_riem_score_batch,
    "rroq4_riem_score_batch(q_rot, q_gsums, qc_table, docs_codes, docs_mins, docs_dlts, docs_cid, docs_cos, "
    "docs_sin, big_a, big_b, big_s, big_t, dim, n_groups, group_size, big_k, q_mask=None, docs_mask=None, "
    "n_threads=None)\n"
    "--\n"
    "\n"
    "Score a batch of (query \u00d7 document) pairs with the rroq4_riem fused\n"
    "MaxSim kernel on CPU. Mirrors\n"
    "`pellary_index._internal.kernels.triton_roq_rroq4_riem.roq_maxsim_rroq4_riem`\n"
    "exactly so per-token scores match Triton + the python reference within\n"
    "float-rounding noise.\n"
    "\n"
    "The doc-side codes are 4-bit asymmetric per-group; the query stays\n"
    "fp32 (FWHT-rotated, plus per-group sums precomputed once per query).\n"
    "\n"
    "Returns a flat `(A * B,)` `float32` numpy array of scores; the python\n"
    "caller reshapes and runs top-k.");

}  // namespace

Result<Ref> rroq158_function() { return py::function_object(&kRroq158Def); }
Result<Ref> rroq4_riem_function() { return py::function_object(&kRroq4RiemDef); }

}  // namespace vse::bindings
