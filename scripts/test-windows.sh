#!/usr/bin/env bash
# The engine's C++ tests, fuzz replays and allocation-failure test, and the
# corvane command, built for 64-bit Windows with MinGW-w64 and run under
# Wine; then the command's own test table (tests/cli/test_cli.py) against the
# Windows binary. Builds into build/windows.
#   scripts/test-windows.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/cross.sh
jobs=${CORVANE_JOBS:-2}
build=build/windows

# Wine's prefix stays out of the source tree (see the toolchain file).
prefix=${XDG_CACHE_HOME:-$HOME/.cache}/corvane/wine-prefix
mkdir -p "$(dirname "$prefix")"

cross_install g++-mingw-w64-x86-64-posix wine64 libgtest-dev nlohmann-json3-dev
cross_build "$build" cmake/toolchains/x86_64-w64-mingw32.cmake -DCORVANE_BUILD_CLI=ON \
  -DCORVANE_WINEPREFIX="$prefix" "$@"
# The first program Wine runs creates its prefix; let one test do that alone
# before the others start in parallel.
ctest --test-dir "$build" --output-on-failure -R '^fuzz_checks$'
ctest --test-dir "$build" --output-on-failure -j "$jobs"

# The command as a Linux program would call it. File names are UTF-8 on
# both sides, whatever locale this shell has.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wrapper=$(pwd)/$build/corvane
cat >"$wrapper" <<WRAPPER
#!/bin/sh
exec env LC_ALL=C.UTF-8 WINEPREFIX='$prefix' WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \\
  '$wine' '$(pwd)/$build/src/cli/corvane.exe' "\$@"
WRAPPER
chmod +x "$wrapper"
# One Wine server for the whole table (it daemonises), stopped at the end;
# the first call also finishes setting up the prefix.
wineserver=$(dirname "$wine")/wineserver
WINEPREFIX=$prefix "$wineserver" -p >/dev/null 2>&1
trap 'WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true' EXIT
"$wrapper" --version
here=$(pwd)
(cd "$build" && CORVANE_COMMAND="$wrapper" CORVANE_COMMAND_SYSTEM=windows \
  python3 -m pytest -q -p no:cacheprovider "$here/tests/cli/test_cli.py")
