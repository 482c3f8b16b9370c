#!/usr/bin/env bash
# The core is plain C++: only the generic binding layer (src/python/) and the glue (src/bindings/)
# may see CPython or NumPy, directly (Python.h, numpy/...) or through a header of either folder.
# Fails, naming each offending line, when any other C or C++ file includes one.
set -euo pipefail
cd "$(dirname "$0")/.."

pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](Python\.h|numpy/|python/|bindings/)'
if hits=$(git grep --untracked -n -E "$pattern" -- \
        '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.inl' ':!src/python/' ':!src/bindings/'); then
    echo "check_layout: CPython or NumPy seen outside src/python/ and src/bindings/:" >&2
    echo "$hits" >&2
    exit 1
fi
