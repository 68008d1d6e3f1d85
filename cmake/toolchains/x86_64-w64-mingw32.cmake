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

# Wine keeps its state in a prefix: one of the project's own works on a fresh
# machine and leaves the user's ~/.wine alone. It lives outside the source
# tree, because its drive Z: is a link to / that tools walking the tree (the
# sdist build) would follow. Host paths such as the compiled-in test data
# directory resolve through that same drive. Console programs need neither
# Mono nor Gecko, whose installers the new prefix would otherwise offer.
if(NOT CORVANE_WINEPREFIX)
  if(DEFINED ENV{XDG_CACHE_HOME})
    set(CORVANE_WINEPREFIX "$ENV{XDG_CACHE_HOME}/corvane/wine-prefix")
  else()
    set(CORVANE_WINEPREFIX "$ENV{HOME}/.cache/corvane/wine-prefix")
  endif()
endif()
find_program(CORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
  env WINEPREFIX=${CORVANE_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  ${CORVANE_WINE})
