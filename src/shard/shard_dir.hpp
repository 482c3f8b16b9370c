// The shard files of an index directory: "shard_0.safetensors", "shard_1.safetensors", ...
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "shard/safetensors.hpp"

namespace vse::shard {

// "shard_{id}.safetensors" under `base_dir`.
std::string shard_path(const std::string& base_dir, std::uint32_t id);

// Maps the shard files 0, 1, 2, ... up to the first id whose file does not exist; a file that
// exists but cannot be opened or parsed is left out. Returns the map and the first missing id.
std::pair<ShardMap, std::uint32_t> discover_shards(const std::string& base_dir);

}  // namespace vse::shard
