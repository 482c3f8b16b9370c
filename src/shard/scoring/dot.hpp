// The dot product every scorer of the shard engine rests on, in its two forms.
//
// Vector form (processors with hardware fused multiply-add): four lane accumulators start at +0.0;
// block i of four values adds a[4i+j] * b[4i+j] into lane j by one fused multiply-add (a single
// rounding); the lanes are combined as (l0 + l1) + (l2 + l3); the n % 4 remaining values are then
// multiplied (rounded) and added (rounded) one by one, unfused.
//
// Scalar form (processors without it): s starts at -0.0 and takes s + a[t] * b[t], product and sum
// each rounded, for t in order.
//
// The forms differ in the last bits and in the sign of an empty dot (+0.0 against -0.0); a process
// uses one form for every score. Every unit of the scoring code is compiled with
// -ffp-contract=off, so that the compiler never fuses an unfused step.
#pragma once

#include <cstddef>

#include "common/isa.hpp"
#include "shard/scoring/dot_kernels.hpp"

namespace vse::shard {

enum class DotForm { Vector, Scalar };

// The form this processor uses: Vector when it has hardware fused multiply-add
// (has_fused_multiply_add in common/isa.hpp).
DotForm dot_form();

// `dot` in the form this processor uses, on its best path.
float dot(const float* a, const float* b, std::size_t n);

// The two forms written plainly, whatever the processor; the references of the vector paths.
float dot_vector_plain(const float* a, const float* b, std::size_t n);
float dot_scalar(const float* a, const float* b, std::size_t n);

inline float dot_in(DotForm form, const float* a, const float* b, std::size_t n) {
    return form == DotForm::Vector ? dot_vector_plain(a, b, n) : dot_scalar(a, b, n);
}

// The scoring paths' tables (dot_kernels.hpp), of every row; the table of a row, which the
// processor must run: Scalar's holds the plain loops in the form this processor uses.
const IsaTables<ScoringTable>& scoring_tables();
const ScoringTable& scoring_table(Isa isa);
// The table this processor uses, chosen once.
const ScoringTable& scoring_table();
// The plain loops of either form, whatever the processor: the references of the vector paths.
const ScoringTable& plain_scoring_table(DotForm form);

}  // namespace vse::shard
