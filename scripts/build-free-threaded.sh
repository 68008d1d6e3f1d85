#!/usr/bin/env bash
# Builds the free-threaded CPython 3.13 (python3.13t) that the tests run
# under, once, from the release source in ../shared/interpreters next to the
# repository, and prints its path on standard output (everything else goes
# to standard error). No free-threaded CPython can be installed otherwise on
# the build machines, where Debian 12 ships 3.11 only and pyenv cannot
# download.
#
#   python=$(bash scripts/build-free-threaded.sh)
#
# The interpreter goes to ${CORVANE_CACHE:-$HOME/.cache/corvane}/python-3.13.5t,
# outside the work tree, and is reused from there when it already runs. When
# the source is absent (a user's clone) it says so and prints nothing.
# Installs the Debian packages the build needs first. About 7 minutes on 2
# cores; CORVANE_JOBS sets make's jobs (default 2).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/lib/debian.sh"
VERSION=3.13.5
SOURCE="$ROOT/../shared/interpreters/Python-$VERSION.tar.xz"
PREFIX="${CORVANE_CACHE:-$HOME/.cache/corvane}/python-${VERSION}t"
PYTHON="$PREFIX/bin/python3.13t"
JOBS="${CORVANE_JOBS:-2}"

say() { echo "build-free-threaded.sh: $*" >&2; }

# A usable interpreter: this version, free-threaded, with the modules pip and
# the tests need (a build without ssl, say, could not install from PyPI).
usable() {
    [ -x "$PYTHON" ] && "$PYTHON" -c "
import sys, sysconfig
import ssl, zlib, ctypes, sqlite3, lzma, bz2
sys.exit(0 if sysconfig.get_config_var('Py_GIL_DISABLED') and sys.version.startswith('$VERSION') else 1)
" >/dev/null 2>&1
}

if usable; then
    say "reusing $PYTHON"
    echo "$PYTHON"
    exit 0
fi
if [ ! -f "$SOURCE" ]; then
    say "skipped: no CPython source at ../shared/interpreters/Python-$VERSION.tar.xz next to the repository"
    exit 0
fi

# What CPython's configure looks for, so that the modules above get built.
packages=(gcc make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
          libsqlite3-dev libreadline-dev uuid-dev libncurses-dev)
install_debian_packages "${packages[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
say "building CPython $VERSION with --disable-gil into $PREFIX (logs in $work until it ends)"
rm -rf "$PREFIX"
mkdir -p "$PREFIX"
tar -xJf "$SOURCE" -C "$work"
cd "$work/Python-$VERSION"
if ! { ./configure --disable-gil --prefix="$PREFIX" >"$work/configure.log" 2>&1 &&
       make -j"$JOBS" >"$work/make.log" 2>&1 &&
       make install >"$work/install.log" 2>&1; }; then
    tail -n 40 "$work"/*.log >&2
    rm -rf "$PREFIX"
    say "the build failed"
    exit 1
fi
if ! usable; then
    grep -A3 "necessary bits" "$work/make.log" >&2 || true
    rm -rf "$PREFIX"
    say "the built interpreter lacks a module the tests need"
    exit 1
fi
say "built $PYTHON"
echo "$PYTHON"
