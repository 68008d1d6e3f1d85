# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); tests run under user-mode QEMU (qemu-user), so
# plain ctest works on an x86-64 machine. scripts/test-aarch64.sh uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_corvane_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_corvane_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_corvane_triple}-g++)

# The target's libraries and headers, as Debian's cross packages install them.
set(CMAKE_FIND_ROOT_PATH /usr/${_corvane_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L gives QEMU the target's dynamic loader and shared libraries.
find_program(CORVANE_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_QEMU_AARCH64} -L /usr/${_corvane_triple})
