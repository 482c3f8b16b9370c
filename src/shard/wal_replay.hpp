// Replay: the log read back (wal_reader.hpp) and applied, in file order, to an empty document map.
// Opening an index starts from this map; the vectors of the records are not kept.
#pragma once

#include <cstdint>

#include "shard/doc_map.hpp"
#include "shard/wal_reader.hpp"

namespace vse::shard {

struct WalReplay {
    DocMap docs;                  // the intact records applied, in file order, to an empty map
    std::uint64_t good_len = 0;   // bytes those records take up, from the start of the file
    WalStop stop = WalStop::End;
};

// Reads every intact record of the log open at `fd` (from its first byte, whatever the file
// position) and applies them in file order: inserts (codes 1 and 3) put an entry with the
// record's payload, `index_dim` as width, rows 0..n_vectors and NO_SHARD; deletes remove; payload
// updates replace the payload of a present entry.
WalReplay wal_replay(int fd, std::uint64_t index_dim);

}  // namespace vse::shard
