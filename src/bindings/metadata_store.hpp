// The Python class MetadataStore: argument binding and result building around metadata::Store.
#pragma once

#include "common/error.hpp"
#include "python/ref.hpp"

namespace vse::bindings::metadata_store {

// The ready type object, to be registered in the module.
Result<py::Ref> type_object();

}  // namespace vse::bindings::metadata_store
