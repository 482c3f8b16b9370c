#include "common/isa.hpp"

#include <cstring>
#include <string_view>

namespace vse {

namespace {

constexpr IsaRow kRows[kIsaCount] = {
#define VSE_ISA_ROW_(row, fallback, name) {Isa::row, name, VSE_ISA_TARGET_STRING_##row, Isa::fallback},
    VSE_ISA_ROWS(VSE_ISA_ROW_)
#undef VSE_ISA_ROW_
};

struct Feature {
    const char* name;
    bool present;
};

// Every feature a target string may name. The compiler's checks read the processor's
// identification once and count a feature only when the operating system also saves the register
// state its instructions use.
struct Features {
    static constexpr std::size_t kCount = 11;
    Feature list[kCount];

    Features() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_cpu_init();
        list[0] = {"avx", bool(__builtin_cpu_supports("avx"))};
        list[1] = {"avx2", bool(__builtin_cpu_supports("avx2"))};
        list[2] = {"fma", bool(__builtin_cpu_supports("fma"))};
        list[3] = {"f16c", bool(__builtin_cpu_supports("f16c"))};
        list[4] = {"popcnt", bool(__builtin_cpu_supports("popcnt"))};
        list[5] = {"avx512f", bool(__builtin_cpu_supports("avx512f"))};
        list[6] = {"avx512vl", bool(__builtin_cpu_supports("avx512vl"))};
        list[7] = {"avx512bw", bool(__builtin_cpu_supports("avx512bw"))};
        list[8] = {"avx512dq", bool(__builtin_cpu_supports("avx512dq"))};
        list[9] = {"avx512vpopcntdq", bool(__builtin_cpu_supports("avx512vpopcntdq"))};
        list[10] = {"avx512vnni", bool(__builtin_cpu_supports("avx512vnni"))};
#else
        const char* names[kCount] = {"avx",      "avx2",     "fma",      "f16c",            "popcnt",    "avx512f",
                                     "avx512vl", "avx512bw", "avx512dq", "avx512vpopcntdq", "avx512vnni"};
        for (std::size_t i = 0; i < kCount; ++i) list[i] = {names[i], false};
#endif
    }

    const Feature* find(std::string_view name) const {
        for (const Feature& f : list)
            if (name == f.name) return &f;
        return nullptr;
    }
};

const Features& features() {
    static const Features f;
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

struct Availability {
    bool available[kIsaCount];
    Isa best = Isa::Scalar;

    Availability() {
        for (const IsaRow& row : kRows) {
            available[isa_index(row.isa)] = check(row);
            if (available[isa_index(row.isa)]) best = row.isa;
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

bool has_fused_multiply_add() {
    static const bool fma = isa_feature_present("fma");
    return fma;
}

bool isa_feature_known(const char* name) { return features().find(name) != nullptr; }

bool isa_feature_present(const char* name) {
    const Feature* f = features().find(name);
    return f != nullptr && f->present;
}

}  // namespace vse
