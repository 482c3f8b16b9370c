// The Python class ShardIndex: argument binding, borrows and result building around shard::Index.
#pragma once

#include "common/error.hpp"
#include "python/ref.hpp"

namespace vse::bindings::shard_index {

// The ready type object, to be registered in the module.
Result<py::Ref> type_object();

}  // namespace vse::bindings::shard_index
