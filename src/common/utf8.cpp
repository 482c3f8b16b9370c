#include "common/utf8.hpp"

#include <cstdint>

#include <fmt/format.h>

namespace vse {

std::string Utf8Error::text() const {
    if (error_len == 0) return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to);
    return fmt::format("invalid utf-8 sequence of {} bytes from index {}", error_len, valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs are the common case: skip eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            __builtin_memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        const std::uint8_t b0 = s[i];
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        int len;
        std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            if (b0 == 0xE0) lo = 0xA0;       // no overlong forms
            if (b0 == 0xED) hi = 0x9F;       // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            if (b0 == 0xF0) lo = 0x90;       // no overlong forms
            if (b0 == 0xF4) hi = 0x8F;       // nothing above U+10FFFF
        } else {
            return Utf8Error{i, 1};
        }
        for (int k = 1; k < len; ++k) {
            if (i + k >= n) return Utf8Error{i, 0};
            const std::uint8_t b = s[i + k];
            const std::uint8_t klo = k == 1 ? lo : 0x80, khi = k == 1 ? hi : 0xBF;
            if (b < klo || b > khi) return Utf8Error{i, k};
        }
        i += len;
    }
    return std::nullopt;
}

}  // namespace vse
