#include "common/storage_error.hpp"

#include <cstring>
#include <string>

#include <fmt/format.h>

namespace vse {

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf; XSI returns an int.
    auto describe = [&](auto r) -> const char* {
        if constexpr (std::is_same_v<decltype(r), char*>) {
            return r;
        } else {
            return r == 0 ? buf : "Unknown error";
        }
    };
    const char* text = describe(strerror_r(err, buf, sizeof buf));
    return fmt::format("{} (os error {})", text, err);
}

StorageError not_a_regular_file(const std::string& path) {
    return StorageError{StorageKind::InvalidInput, fmt::format("{} is not a regular file", path)};
}

}  // namespace vse
