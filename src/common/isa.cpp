#include "common/isa.hpp"

#include <string_view>

namespace vse {

namespace {

constexpr IsaRow kRows[kIsaCount] = {
#define VSE_ISA_ROW_(row, fallback, name) {Isa::row, name, VSE_ISA_TARGET_STRING_##row, Isa::fallback},
    VSE_ISA_ROWS(VSE_ISA_ROW_)
#undef VSE_ISA_ROW_
};

// Every feature a target string may name.
#define VSE_ISA_FEATURES(X)                                                                 \
    X("avx") X("avx2") X("fma") X("f16c") X("popcnt") X("avx512f") X("avx512vl") X("avx512bw") \
        X("avx512vnni")

#define VSE_ISA_COUNT_(name) +1
constexpr std::size_t kFeatureCount = 0 VSE_ISA_FEATURES(VSE_ISA_COUNT_);
#undef VSE_ISA_COUNT_

struct Feature {
    const char* name;
    bool present;
};

// The compiler's checks read the processor's identification once and count a feature only when
// the operating system also saves the register state its instructions use.
struct Features {
#if defined(__x86_64__) || defined(__i386__)
#define VSE_ISA_FEATURE_(name) Feature{name, __builtin_cpu_supports(name) != 0},
#else
#define VSE_ISA_FEATURE_(name) Feature{name, false},
#endif
    Feature list[kFeatureCount] = {VSE_ISA_FEATURES(VSE_ISA_FEATURE_)};
#undef VSE_ISA_FEATURE_

    const Feature* find(std::string_view name) const {
        for (const Feature& f : list)
            if (name == f.name) return &f;
        return nullptr;
    }
};

const Features& features() {
    static const Features f = [] {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_cpu_init();
#endif
        return Features{};
    }();
    return f;
}

// Every feature the row's target string names is known and present.
bool check(const IsaRow& row) {
    std::string_view rest = row.target;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const Feature* f = features().find(rest.substr(0, comma));
        if (f == nullptr || !f->present) return false;
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    return true;
}

// The best row the dispatch may pick. A benchmark build caps it (the build option VSE_MAX_ISA, a row
// name) to measure a lower path on a processor that has a better one; the rows stay available to
// whoever asks for them by name.
#ifdef VSE_MAX_ISA
constexpr Isa kMaxIsa = [] {
    for (const IsaRow& row : kRows)
        if (std::string_view(row.name) == VSE_MAX_ISA) return row.isa;
    throw "VSE_MAX_ISA names no row";
}();
#else
constexpr Isa kMaxIsa = static_cast<Isa>(kIsaCount - 1);
#endif

struct Availability {
    bool available[kIsaCount];
    Isa best = Isa::Scalar;

    Availability() {
        for (const IsaRow& row : kRows) {
            available[isa_index(row.isa)] = check(row);
            if (available[isa_index(row.isa)] && isa_index(row.isa) <= isa_index(kMaxIsa)) best = row.isa;
        }
    }
};

const Availability& availability() {
    static const Availability a;
    return a;
}

}  // namespace

const IsaRow& isa_row(Isa isa) { return kRows[isa_index(isa)]; }

bool isa_available(Isa isa) { return availability().available[isa_index(isa)]; }

Isa best_isa() { return availability().best; }

// Each architecture answers in its own terms. x86 asks the processor, through the compiler's checks,
// for FMA3 (the "fma" its target strings name). On AArch64 the fused multiply-add comes with
// Advanced SIMD and floating point, which the architecture makes part of every processor (its
// procedure-call standard passes floats in their registers, so this very code already runs on
// them): there is nothing to ask, and std::fma compiles to FMADD. Elsewhere, no.
bool has_fused_multiply_add() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool fma = isa_feature_present("fma");
    return fma;
#elif defined(__aarch64__)
    return true;
#else
    return false;
#endif
}

bool isa_feature_known(const char* name) { return features().find(name) != nullptr; }

bool isa_feature_present(const char* name) {
    const Feature* f = features().find(name);
    return f != nullptr && f->present;
}

}  // namespace vse
