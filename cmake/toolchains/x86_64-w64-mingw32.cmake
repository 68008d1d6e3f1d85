# Cross build for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix, the variant with std::thread); programs run
# under Wine, so plain ctest works on Linux. scripts/test-windows.sh uses it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_corvane_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_corvane_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_corvane_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_corvane_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_corvane_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static: the programs need no MinGW runtime DLLs beside them, on Wine or on
# a real Windows machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Wine keeps its state in a prefix; one inside the build directory works on a
# fresh machine and leaves the user's own ~/.wine alone. Host paths such as
# the compiled-in test data directory resolve through Wine's drive Z:.
# Console programs need neither Mono nor Gecko, whose installers the new
# prefix would otherwise offer to download.
find_program(CORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
  env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  ${CORVANE_WINE})
