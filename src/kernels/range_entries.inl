// The two range functions a plane-lane vector unit puts in its table, for the lane type `UnitLanes`
// and the rroq4_riem token tile `kUnitRroq4Tokens` that the unit defines before including this.
//
// The table holds these rather than the range templates themselves: a template instantiated here
// and called from one place only is one GCC specialises for that caller (it takes the argument
// records apart into registers), which its address in a table would forbid. That is worth 2 % of
// the instructions of rroq158's AVX2 path.
// Included inside an anonymous namespace of the unit, after its lanes and the range templates.

void rroq158_range(const Rroq158Query* qs, std::size_t n_q, const Rroq158Docs& d, const Rroq158Dims& dm,
                   std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                   const Rroq158Scratch& scratch) {
    rroq158_range_lanes<UnitLanes>(qs, n_q, d, dm, lo, hi, out, out_stride, scratch);
}

void rroq4_riem_range(const Rroq4RiemQuery* qs, std::size_t n_q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm,
                      std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                      const Rroq4RiemScratch& scratch) {
    rroq4_riem_range_lanes<UnitLanes, kUnitRroq4Tokens>(qs, n_q, d, dm, lo, hi, out, out_stride, scratch);
}
