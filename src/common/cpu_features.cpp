#include "common/cpu_features.hpp"

namespace vse {

namespace {

CpuFeatures detect() {
    CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    f.avx2 = __builtin_cpu_supports("avx2");
    f.fma = __builtin_cpu_supports("fma");
    f.f16c = __builtin_cpu_supports("f16c");
    f.popcnt = __builtin_cpu_supports("popcnt");
    f.avx512f = __builtin_cpu_supports("avx512f");
    f.avx512bw = __builtin_cpu_supports("avx512bw");
    f.avx512vl = __builtin_cpu_supports("avx512vl");
    f.avx512dq = __builtin_cpu_supports("avx512dq");
    f.avx512vpopcntdq = __builtin_cpu_supports("avx512vpopcntdq");
#endif
    return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace vse
