// vse_probe: what this machine's cores can do at most, measured now, for the benchmarks to set
// their rates against. Not part of the module.
//
//   vse_probe [--dir DIR]
//
// Prints one JSON object on one line. Every measure is run on 1 thread and on 2 threads (each
// thread pinned to its own processor of the process's affinity set when there are two), best of
// a few runs; the 2-thread figure is the sum over both threads:
//   fma_avx512  G fused multiply-adds per second, float32, one per lane (16 lanes, 16 chains)
//   fma_avx2    the same with 8-lane registers (12 chains)
//   popcnt32    G 32-bit population counts per second, counted as the kernels count them: where the
//               AVX-512 row runs, by the nibble lookup of its lane paths (KernelLanesAvx512, two
//               counts per lane and call), else by the scalar popcnt instruction; popcnt32_path
//               says which ("avx512-nibble-lookup" or "scalar")
//   vnni_dpbusd G byte multiply-accumulates per second of VPDPBUSD on 512-bit registers (unsigned
//               byte times signed byte, four into each 32-bit lane: 64 per instruction; 16 chains)
//   memcpy      GB/s copied (bytes read, counted once) between buffers far larger than the caches
//   read        GB/s read by a sum over 512 MiB, far more than the caches hold (one stream per thread)
//   file_write  GB/s written to a new file in DIR in 1 MiB writes and made durable with fsync
//               (only with --dir)
// A measure the processor cannot run is null. The two-thread scaling (rate on 2 threads / rate
// on 1) tells whether the two processors are two physical cores (near 2) or two hardware threads
// of one core (near 1 for the execution units they then share).
#include <fcntl.h>
#include <immintrin.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/isa.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps a computed value alive without a memory round trip in the timed loop.
volatile float g_sink_f;
volatile std::uint32_t g_sink_u;

// Each kernel returns the number of operations it did.

VSE_ISA_TARGET(Avx512)
double fma_avx512(std::uint64_t iters) {
    constexpr int kChains = 16;
    __m512 acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_ps(1.0f + 0.001f * static_cast<float>(i));
    const __m512 m = _mm512_set1_ps(0.9999999f), c = _mm512_set1_ps(1e-7f);
    for (std::uint64_t it = 0; it < iters; ++it)
#pragma GCC unroll 16
        for (int i = 0; i < kChains; ++i) acc[i] = _mm512_fmadd_ps(acc[i], m, c);
    __m512 s = acc[0];
    for (int i = 1; i < kChains; ++i) s = _mm512_add_ps(s, acc[i]);
    alignas(64) float out[16];
    _mm512_store_ps(out, s);
    g_sink_f = out[0] + out[15];
    return static_cast<double>(iters) * kChains * 16;
}
VSE_ISA_TARGET_END

VSE_ISA_TARGET(Avx2)
double fma_avx2(std::uint64_t iters) {
    constexpr int kChains = 12;  // of the 16 ymm registers, the rest hold the constants
    __m256 acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm256_set1_ps(1.0f + 0.001f * static_cast<float>(i));
    const __m256 m = _mm256_set1_ps(0.9999999f), c = _mm256_set1_ps(1e-7f);
    for (std::uint64_t it = 0; it < iters; ++it)
#pragma GCC unroll 16
        for (int i = 0; i < kChains; ++i) acc[i] = _mm256_fmadd_ps(acc[i], m, c);
    __m256 s = acc[0];
    for (int i = 1; i < kChains; ++i) s = _mm256_add_ps(s, acc[i]);
    alignas(32) float out[8];
    _mm256_store_ps(out, s);
    g_sink_f = out[0] + out[7];
    return static_cast<double>(iters) * kChains * 8;
}
VSE_ISA_TARGET_END

VSE_ISA_TARGET(Avx512)
#include "kernels/lanes_avx512.inl"

double popcnt_avx512_lanes(std::uint64_t iters) {
    using V = KernelLanesAvx512;
    constexpr int kChains = 8;
    V::I v[kChains];
    for (int i = 0; i < kChains; ++i) v[i] = V::set1_i(0x12345678u + static_cast<std::uint32_t>(i));
    const V::I p = V::set1_i(0x5A5A5A5Au), n = V::set1_i(0xA5A5A5A5u);
    for (std::uint64_t it = 0; it < iters; ++it)
#pragma GCC unroll 16
        for (int i = 0; i < kChains; ++i) v[i] = V::add_i(v[i], V::popcount_diff(V::and_i(v[i], p), V::and_i(v[i], n)));
    V::I s = v[0];
    for (int i = 1; i < kChains; ++i) s = V::add_i(s, v[i]);
    alignas(64) std::uint32_t out[V::L];
    _mm512_store_si512(out, s);
    g_sink_u = out[0] + out[V::L - 1];
    return static_cast<double>(iters) * kChains * V::L * 2;
}
VSE_ISA_TARGET_END

VSE_ISA_TARGET(Avx2)
double popcnt_scalar(std::uint64_t iters) {
    constexpr int kChains = 8;
    std::uint32_t v[kChains];
    for (int i = 0; i < kChains; ++i) v[i] = 0x12345678u + static_cast<std::uint32_t>(i);
    for (std::uint64_t it = 0; it < iters; ++it)
#pragma GCC unroll 16
        for (int i = 0; i < kChains; ++i) v[i] = static_cast<std::uint32_t>(__builtin_popcount(v[i] ^ 0x5A5A5A5Au)) + v[i];
    std::uint32_t s = 0;
    for (int i = 0; i < kChains; ++i) s += v[i];
    g_sink_u = s;
    return static_cast<double>(iters) * kChains;
}
VSE_ISA_TARGET_END

// acc + the byte dot products of a and b, per 32-bit lane. Written out, as in the kernels: GCC 12
// copies the accumulator of the intrinsic into a new register on every call.
VSE_ISA_TARGET(Avx512Vnni)
inline __m512i dpbusd(__m512i acc, __m512i a, __m512i b) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(a), "v"(b));
    return acc;
}

double dpbusd_avx512(std::uint64_t iters) {
    constexpr int kChains = 16;  // more than latency times throughput, so that the ports, not a chain, bind
    __m512i acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_epi32(i);
    const __m512i a = _mm512_set1_epi8(3), b = _mm512_set1_epi8(-2);
    for (std::uint64_t it = 0; it < iters; ++it)
#pragma GCC unroll 16
        for (int i = 0; i < kChains; ++i) acc[i] = dpbusd(acc[i], a, b);
    __m512i s = acc[0];
    for (int i = 1; i < kChains; ++i) s = _mm512_add_epi32(s, acc[i]);
    alignas(64) std::uint32_t out[16];
    _mm512_store_si512(out, s);
    g_sink_u = out[0] + out[15];
    return static_cast<double>(iters) * kChains * 64;
}
VSE_ISA_TARGET_END

// Reads `n` bytes (a multiple of 256) once, summing them as 64-bit words in independent sums held
// in registers: two loads a cycle are far more than any memory delivers to one core. The 64-byte
// loads where the processor has them, else generic 16-byte vectors that every x86-64 build has.
VSE_ISA_TARGET(Avx512)
double read_stream_avx512(const char* data, std::size_t n) {
    constexpr int kSums = 4;
    __m512i s[kSums];
    for (int k = 0; k < kSums; ++k) s[k] = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 64 * kSums)
#pragma GCC unroll 4
        for (int k = 0; k < kSums; ++k) s[k] = _mm512_add_epi64(s[k], _mm512_loadu_si512(data + i + 64 * k));
    for (int k = 1; k < kSums; ++k) s[0] = _mm512_add_epi64(s[0], s[k]);
    alignas(64) std::uint64_t out[8];
    _mm512_store_si512(out, s[0]);
    g_sink_u = static_cast<std::uint32_t>(out[0] + out[7]);
    return static_cast<double>(n);
}
VSE_ISA_TARGET_END

double read_stream(const char* data, std::size_t n) {
    using V = std::uint64_t __attribute__((vector_size(16)));
    constexpr int kSums = 8;
    V s[kSums] = {};
    for (std::size_t i = 0; i < n; i += 16 * kSums)
#pragma GCC unroll 8
        for (int k = 0; k < kSums; ++k) {
            V v;
            std::memcpy(&v, data + i + 16 * k, 16);
            s[k] += v;
        }
    std::uint64_t t = 0;
    for (int k = 0; k < kSums; ++k) t += s[k][0] + s[k][1];
    g_sink_u = static_cast<std::uint32_t>(t);
    return static_cast<double>(n);
}

// The buffers of one memcpy thread: touched once before timing, so no page faults are timed.
struct CopyBuffers {
    std::vector<char> src, dst;
    explicit CopyBuffers(std::size_t n) : src(n, 1), dst(n, 2) {}
};

constexpr std::size_t kCopyBytes = std::size_t{256} << 20;
constexpr std::size_t kFileBytes = std::size_t{64} << 20;
constexpr std::size_t kFileChunk = std::size_t{1} << 20;

// One thread's measure: the work it did in the timed region.
using Work = std::function<double(int thread)>;

std::vector<int> allowed_cpus() {
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0)
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &set)) cpus.push_back(c);
    return cpus;
}

// Runs `work` on n threads started together; returns the summed work per second of the slowest.
double run_threads(int n, const Work& work, const std::vector<int>& cpus) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<double> done(static_cast<std::size_t>(n), 0.0);
    std::vector<Clock::time_point> ends(static_cast<std::size_t>(n));
    Clock::time_point start;
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) {
        threads.emplace_back([&, t] {
            if (cpus.size() >= static_cast<std::size_t>(n)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(cpus[static_cast<std::size_t>(t)], &one);
                pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
            }
            ready.fetch_add(1);
            while (!go.load(std::memory_order_acquire)) {
            }
            done[static_cast<std::size_t>(t)] = work(t);
            ends[static_cast<std::size_t>(t)] = Clock::now();
        });
    }
    while (ready.load() < n) {
    }
    start = Clock::now();
    go.store(true, std::memory_order_release);
    for (auto& th : threads) th.join();
    double total = 0;
    Clock::time_point last = start;
    for (int t = 0; t < n; ++t) {
        total += done[static_cast<std::size_t>(t)];
        last = std::max(last, ends[static_cast<std::size_t>(t)]);
    }
    const double secs = std::chrono::duration<double>(last - start).count();
    return total / secs;
}

double best_rate(int n, const Work& work, const std::vector<int>& cpus, int repeats) {
    double best = 0;
    for (int r = 0; r < repeats; ++r) best = std::max(best, run_threads(n, work, cpus));
    return best;
}

void print_measure(const char* name, const std::optional<Work>& work, double unit, const std::vector<int>& cpus,
                   int repeats, bool last) {
    if (!work) {
        std::printf("\"%s\": null%s", name, last ? "" : ", ");
        return;
    }
    const double one = best_rate(1, *work, cpus, repeats) / unit;
    const double two = best_rate(2, *work, cpus, repeats) / unit;
    std::printf("\"%s\": {\"1\": %.3f, \"2\": %.3f}%s", name, one, two, last ? "" : ", ");
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--dir DIR]\n", argv[0]);
            return 2;
        }
    }
    // The module's own rows: each kernel above is compiled for one and runs where it is available.
    const bool avx512 = vse::isa_available(vse::Isa::Avx512);
    const bool avx2 = vse::isa_available(vse::Isa::Avx2);
    const bool vnni = vse::isa_available(vse::Isa::Avx512Vnni);
    const std::vector<int> cpus = allowed_cpus();

    // About 50 ms per run at this machine's rates.
    const std::optional<Work> fma512 =
        avx512 ? std::optional<Work>([](int) { return fma_avx512(12'000'000); }) : std::nullopt;
    const std::optional<Work> fma256 =
        avx2 ? std::optional<Work>([](int) { return fma_avx2(30'000'000); }) : std::nullopt;
    const std::optional<Work> popcnt =
        avx512 ? Work([](int) { return popcnt_avx512_lanes(5'000'000); })
        : avx2 ? Work([](int) { return popcnt_scalar(100'000'000); })
               : std::optional<Work>();
    const std::optional<Work> dpbusd =
        vnni ? std::optional<Work>([](int) { return dpbusd_avx512(12'000'000); }) : std::nullopt;

    std::vector<CopyBuffers> copies;
    copies.reserve(2);
    copies.emplace_back(kCopyBytes);
    copies.emplace_back(kCopyBytes);
    const Work memcpy_work = [&](int t) {
        CopyBuffers& b = copies[static_cast<std::size_t>(t)];
        std::memcpy(b.dst.data(), b.src.data(), b.src.size());
        g_sink_u = static_cast<std::uint32_t>(b.dst[b.dst.size() / 2]);
        return static_cast<double>(b.src.size());
    };

    // Both buffers of a copy thread, read again (their pages are touched already): 512 MiB, past
    // the last-level caches of these machines.
    const Work read_work = [&](int t) {
        const CopyBuffers& b = copies[static_cast<std::size_t>(t)];
        double n = 0;
        for (const std::vector<char>* v : {&b.src, &b.dst})
            n += avx512 ? read_stream_avx512(v->data(), v->size()) : read_stream(v->data(), v->size());
        return n;
    };

    std::optional<Work> file_work;
    std::vector<char> chunk(kFileChunk, 'x');
    if (!dir.empty()) {
        file_work = [&](int t) {
            const std::string path = dir + "/vse-probe-" + std::to_string(getpid()) + "-" + std::to_string(t);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) return 0.0;
            std::size_t written = 0;
            while (written < kFileBytes) {
                const ssize_t w = ::write(fd, chunk.data(), chunk.size());
                if (w <= 0) break;
                written += static_cast<std::size_t>(w);
            }
            ::fsync(fd);
            ::close(fd);
            ::unlink(path.c_str());
            return static_cast<double>(written);
        };
    }

    // An idle core takes a while to reach its full clock: run before measuring.
    for (const auto start = Clock::now(); Clock::now() - start < std::chrono::milliseconds(300);)
        if (avx2) fma_avx2(1'000'000);

    std::printf("{\"cpus\": %zu, \"popcnt32_path\": \"%s\", ", cpus.size(), avx512 ? "avx512-nibble-lookup" : "scalar");
    print_measure("fma_avx512", fma512, 1e9, cpus, 5, false);
    print_measure("fma_avx2", fma256, 1e9, cpus, 5, false);
    print_measure("popcnt32", popcnt, 1e9, cpus, 5, false);
    print_measure("vnni_dpbusd", dpbusd, 1e9, cpus, 5, false);
    print_measure("memcpy", memcpy_work, 1e9, cpus, 5, false);
    print_measure("read", read_work, 1e9, cpus, 5, false);
    print_measure("file_write", file_work, 1e9, cpus, 3, true);
    std::printf("}\n");
    return 0;
}
