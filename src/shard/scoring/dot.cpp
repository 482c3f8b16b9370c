#include "shard/scoring/dot.hpp"

#include <cmath>

#include "common/cpu_features.hpp"
#include "shard/scoring/dot_kernels.hpp"

namespace vse::shard {

DotForm dot_form() { return cpu_features().fma ? DotForm::Vector : DotForm::Scalar; }

float dot_vector_plain(const float* a, const float* b, std::size_t n) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t n4 = n / 4;
    for (std::size_t i = 0; i < n4; ++i)
        for (std::size_t j = 0; j < 4; ++j) acc[j] = std::fma(a[4 * i + j], b[4 * i + j], acc[j]);
    float s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (std::size_t t = 4 * n4; t < n; ++t) {
        const float p = a[t] * b[t];
        s = s + p;
    }
    return s;
}

float dot_scalar(const float* a, const float* b, std::size_t n) {
    float s = -0.0f;
    for (std::size_t t = 0; t < n; ++t) {
        const float p = a[t] * b[t];
        s = s + p;
    }
    return s;
}

float dot(const float* a, const float* b, std::size_t n) {
    if (dot_form() == DotForm::Scalar) return dot_scalar(a, b, n);
#if defined(__x86_64__)
    static const bool fast = isa_available(Isa::Avx2);
    if (fast) return dot_avx2(a, b, n);
#endif
    return dot_vector_plain(a, b, n);
}

}  // namespace vse::shard
