#include "common/cpu_features.hpp"

namespace vse {

namespace {

CpuFeatures detect() {
    CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    f.avx = __builtin_cpu_supports("avx");
    f.avx2 = __builtin_cpu_supports("avx2");
    f.fma = __builtin_cpu_supports("fma");
    f.f16c = __builtin_cpu_supports("f16c");
    f.popcnt = __builtin_cpu_supports("popcnt");
    f.avx512f = __builtin_cpu_supports("avx512f");
    f.avx512bw = __builtin_cpu_supports("avx512bw");
    f.avx512vl = __builtin_cpu_supports("avx512vl");
    f.avx512dq = __builtin_cpu_supports("avx512dq");
    f.avx512vpopcntdq = __builtin_cpu_supports("avx512vpopcntdq");
    f.avx512vnni = __builtin_cpu_supports("avx512vnni");
#endif
    return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = detect();
    return features;
}

bool isa_available(Isa isa) {
    const CpuFeatures& f = cpu_features();
    switch (isa) {
        case Isa::Scalar: return true;
        case Isa::Avx2: return f.avx2 && f.fma && f.popcnt;
        case Isa::Avx512: return f.avx512f && f.avx512bw && f.avx512vl && f.popcnt;
        case Isa::Avx512Popcnt: return f.avx512f && f.avx512bw && f.avx512vl && f.popcnt && f.avx512vpopcntdq;
        case Isa::Avx512Vnni: return f.avx512f && f.avx512bw && f.avx512vl && f.popcnt && f.avx512vnni;
    }
    return false;
}

Isa first_available(std::initializer_list<Isa> preferred) {
    for (Isa isa : preferred)
        if (isa_available(isa)) return isa;
    return Isa::Scalar;
}

}  // namespace vse
