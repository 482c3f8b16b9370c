// Little-endian integers in byte buffers: every on-disk integer of the module (the log, the shard
// file header, the merged flat files) is read and written through these.
//
// The pointers need no alignment; each access is one memcpy, which compilers turn into a single
// load or store, plus a byte swap on a big-endian host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vse {

namespace detail {
template <class T>
inline T from_le(T v) {
    if constexpr (std::endian::native == std::endian::big) return std::byteswap(v);
    return v;
}
}  // namespace detail

inline std::uint16_t get_u16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return detail::from_le(v);
}

inline std::uint32_t get_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return detail::from_le(v);
}

inline std::uint64_t get_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return detail::from_le(v);
}

inline void put_u16(std::uint8_t* p, std::uint16_t v) {
    v = detail::from_le(v);
    std::memcpy(p, &v, sizeof v);
}

inline void put_u32(std::uint8_t* p, std::uint32_t v) {
    v = detail::from_le(v);
    std::memcpy(p, &v, sizeof v);
}

inline void put_u64(std::uint8_t* p, std::uint64_t v) {
    v = detail::from_le(v);
    std::memcpy(p, &v, sizeof v);
}

}  // namespace vse
