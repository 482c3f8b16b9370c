// The JSON header of a shard file (safetensors.hpp): its tensor table.
//
//   {"<name>": {"dtype": "F32", "shape": [rows, ...], "data_offsets": [b, e]}, ...}
//   ("__metadata__" is not a tensor)
//
// Parsing is lenient the way the host's files need it to be: a missing or non-string "dtype" reads
// as "F32", "shape" keeps only its non-negative integer elements, a member without a two-element
// "data_offsets" is left out, and a header that is not an object gives an empty table. The offsets
// are taken as they stand; whoever reads a tensor checks them against the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/storage_error.hpp"

namespace vse::shard {

struct TensorInfo {
    std::string dtype;
    std::vector<std::uint64_t> shape;
    // The header's data offsets, relative to the data section.
    std::uint64_t data_begin = 0;
    std::uint64_t data_end = 0;
};

// Hashes a tensor name as the string_view it is looked up by, so that a lookup builds no string.
struct TensorNameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
};

using TensorTable = std::unordered_map<std::string, TensorInfo, TensorNameHash, std::equal_to<>>;

// The tensor table of a header's text. Invalid data: text that is not UTF-8 (the validator's
// message), a leading byte-order mark ("expected value at line 1 column 1"), JSON that does not
// parse (the parser's message) or nests deeper than 128 containers ("recursion limit exceeded").
std::expected<TensorTable, StorageError> parse_tensor_table(std::string_view text);

}  // namespace vse::shard
