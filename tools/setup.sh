#!/usr/bin/env bash
# One-step preparation of a fresh machine, safe to run again: the Debian development packages the
# build links against, a virtual environment in .venv on CPython 3.12 (or the newest CPython 3 above
# it when 3.12 is missing; 3.12 is the floor, as in pyproject.toml and CMakeLists.txt), and the
# extension module built and installed into it with its test extras.
#
#   tools/setup.sh          all of that: what the module needs (make setup, make demo, make test-py)
#   tools/setup.sh cpp      only the package of the C++ unit tests, GoogleTest (make test-cpp)
#   tools/setup.sh fuzz     only those of the fuzz harnesses, clang 19 and its libFuzzer runtime
#   tools/setup.sh aarch64  only those of the aarch64 cross-build of the core and its C++ tests: the
#                           cross compiler, the core's libraries for arm64 (as a second dpkg
#                           architecture) and the user-mode emulator the tests run under
#                           (make test-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."

install_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" = 0 ]; then
        echo "setup: installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "setup: missing system packages; run: sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

case "${1:-}" in
    "") install_packages pkg-config libsqlite3-dev nlohmann-json3-dev libfmt-dev libdeflate-dev libicu-dev ;;
    cpp) install_packages libgtest-dev; exit 0 ;;
    # Debian's clang 14 and 16 cannot compile the core's C++23 against GCC 12's library.
    fuzz) install_packages clang-19 libclang-rt-19-dev; exit 0 ;;
    aarch64)
        if ! dpkg --print-foreign-architectures | grep -qx arm64; then
            [ "$(id -u)" = 0 ] || { echo "setup: run as root: dpkg --add-architecture arm64" >&2; exit 1; }
            echo "setup: adding the dpkg architecture arm64"
            dpkg --add-architecture arm64
        fi
        # pkg-config and the JSON headers serve both architectures; the libraries come in their arm64
        # builds, beside the native ones, and so do the C and C++ runtimes the emulated tests load.
        install_packages g++-aarch64-linux-gnu qemu-user-static pkg-config nlohmann-json3-dev \
            libc6:arm64 libstdc++6:arm64 \
            libsqlite3-dev:arm64 libicu-dev:arm64 libdeflate-dev:arm64 libfmt-dev:arm64 libgtest-dev:arm64
        exit 0 ;;
    *) echo "setup: unknown part '$1' (none, cpp, fuzz or aarch64)" >&2; exit 2 ;;
esac

# The pyenv shims only answer for the selected version, so look at the installed trees directly.
find_python() {
    local p
    for p in $(ls -d /root/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null | sort -V -r); do
        "$p" -c 'import venv' 2>/dev/null && { echo "$p"; return; }
    done
    if command -v python3.12 >/dev/null && python3.12 -c 'import venv' 2>/dev/null; then
        command -v python3.12; return
    fi
    for p in $(ls -d /root/.pyenv/versions/3.*/bin/python3 /usr/bin/python3.* /usr/local/bin/python3.* 2>/dev/null \
               | grep -E 'python3(\.[0-9]+)?$' | sort -V -r); do
        "$p" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' 2>/dev/null && { echo "$p"; return; }
    done
    echo "setup: no CPython 3.12 or newer found" >&2
    exit 1
}

PY=$(find_python)
want=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ -x .venv/bin/python ]; then
    have=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || echo none)
    [ "$have" = "$want" ] || { echo "setup: .venv has Python $have, recreating for $want"; rm -rf .venv; }
fi
[ -x .venv/bin/python ] || "$PY" -m venv .venv

# Build requirements live in the venv so the module can be rebuilt incrementally without isolation.
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" "cmake>=3.25" ninja
.venv/bin/python -m pip install -q --no-build-isolation ".[test]"
