// The processor features that select vector code paths, read once per process.
//
// Each flag means the processor has the instructions and the operating system saves the register
// state they use, so code compiled for them may run.
#pragma once

namespace vse {

struct CpuFeatures {
    bool avx2 = false;
    bool fma = false;
    bool f16c = false;
    bool popcnt = false;
    bool avx512f = false;
    bool avx512bw = false;
    bool avx512vl = false;
    bool avx512dq = false;
    bool avx512vpopcntdq = false;
};

const CpuFeatures& cpu_features();

}  // namespace vse
