// The names an index reads by: the files of its directory, the tensors of a shard file and the
// files of a merged directory. Every reader takes them from here, so that a name is written once.
//
//   <base_dir>/shard.wal                the write-ahead log (wal_format.hpp)
//   <base_dir>/shard_<N>.safetensors    shard N, N = 0, 1, 2, ... (safetensors.hpp, shard_dir.hpp)
//   <merged dir>/merged_*.bin           the merged flat files (merged.hpp)
//
// A shard file's tensors, each with one row per token row of the file (doc_rows.hpp):
//   "embeddings"        the token rows, float32 ("F32") or float16 ("F16")
//   "centroid_codes"    one centroid code a row ("U16")
//   "packed_residuals"  a row's residual bucket indices, packed (codec.hpp)
#pragma once

#include <string_view>

namespace vse::shard {

inline constexpr const char* kWalFileName = "shard.wal";
// Formatted with the shard id.
inline constexpr const char* kShardFileName = "shard_{}.safetensors";

// Views of literals, with no destructor: a daemon thread inside a reader may still look tensors up
// while the process exits, after exit-time destructors have run.
inline constexpr std::string_view kEmbeddingsTensor = "embeddings";
inline constexpr std::string_view kCentroidCodesTensor = "centroid_codes";
inline constexpr std::string_view kPackedResidualsTensor = "packed_residuals";

inline constexpr const char* kMergedEmbeddingsFile = "merged_embeddings.bin";
inline constexpr const char* kMergedOffsetsFile = "merged_offsets.bin";
inline constexpr const char* kMergedDocMapFile = "merged_doc_map.bin";
inline constexpr const char* kMergedCodesFile = "merged_codes.bin";

}  // namespace vse::shard
