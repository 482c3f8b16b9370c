// The module functions rroq158_score_batch and rroq4_riem_score_batch (glue only).
#pragma once

#include "common/error.hpp"
#include "python/ref.hpp"

namespace vse::bindings {

// The ready function objects, to be registered in the module.
Result<py::Ref> rroq158_function();
Result<py::Ref> rroq4_riem_function();

}  // namespace vse::bindings
