#include "shard/shard_dir.hpp"

#include <fmt/format.h>

#include "common/fs.hpp"
#include "shard/doc_map.hpp"
#include "shard/file_names.hpp"

namespace vse::shard {

std::string shard_path(const std::string& base_dir, std::uint32_t id) {
    return join_path(base_dir, fmt::format(kShardFileName, id));
}

std::pair<ShardMap, std::uint32_t> discover_shards(const std::string& base_dir) {
    ShardMap shards;
    std::uint32_t id = 0;
    // NO_SHARD is not a shard id; discovery never reaches it in practice.
    for (; id < NO_SHARD; ++id) {
        const std::string path = shard_path(base_dir, id);
        if (!path_exists(path)) break;
        if (auto shard = MmapShard::open(path)) shards.emplace(id, std::move(*shard));
    }
    return {std::move(shards), id};
}

}  // namespace vse::shard
