# Cross-building for 64-bit Arm Linux on a Debian x86-64 machine (make test-aarch64): Debian's
# cross compiler, the arm64 builds of the libraries the core links, installed beside the native
# ones as a second dpkg architecture (tools/setup.sh aarch64), and the user-mode emulator to run
# what is built.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch puts the arm64 libraries and their CMake packages under lib/aarch64-linux-gnu of the
# native prefix, which CMake searches for this architecture; the headers are shared with the native
# packages. Programs (pkg-config among them) are the build machine's own.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The build machine's pkg-config, reading only the arm64 packages' files and the
# architecture-independent ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# What runs a built program wherever CMake runs one (ctest, test discovery), named here since binfmt
# need not be registered. Everything it loads is from the arm64 packages under /, one build of the
# C library: the cross toolchain's own tree (-L /usr/aarch64-linux-gnu) holds another, whose loader
# beside the multiarch libc.so.6 hangs every thread start.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /)
