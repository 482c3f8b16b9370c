// UTF-8 validation with the position and length of the first bad sequence.
//
// The error text is the one a caller reads in messages such as "payload not valid UTF-8: {}":
//   "invalid utf-8 sequence of N bytes from index I"  (N = 1..3, the bytes that cannot start or
//                                                       continue a well-formed sequence)
//   "incomplete utf-8 byte sequence from index I"      (the input ends inside a sequence)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vse {

struct Utf8Error {
    std::size_t valid_up_to;  // bytes before the bad sequence, all valid
    int error_len;            // 1..3, or 0 when the input ends inside a sequence
    std::string text() const;
};

std::optional<Utf8Error> validate_utf8(std::string_view bytes);

}  // namespace vse
