#!/usr/bin/env bash
# Compiles every source of the engine, the module and the command for macOS
# on arm64 and x86-64 with zig's clang, which carries the macOS SDK headers
# (PyPI package ziglang, installed into a venv under build/). Nothing here
# can run a macOS program: this proves the code builds there, with the
# compiler and C library macOS has. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
work=build/macos
venv=$work/venv
mkdir -p "$work"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check ziglang
fi
zig=("$venv/bin/python" -m ziglang c++)

version=$(sed -n 's/^project(corvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The stable-ABI floor the build defines for the module (pyproject's wheel.py-api).
minor=$(sed -n 's/^wheel\.py-api = "cp3\([0-9]*\)".*/\1/p' pyproject.toml)
limited_api=$(printf '0x03%02x0000' "$minor")
python_include=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
# The module's sources need Python.h; the command's its POSIX layer.
sources=(src/lexer/*.cpp src/parser/*.cpp src/platform/*.cpp src/module/*.cpp src/cli/*.cpp)
for target in aarch64-macos x86_64-macos; do
  count=0
  for source in "${sources[@]}"; do
    case "$source" in *_windows.cpp) continue ;; esac
    object="$work/$target/${source//\//_}.o"
    mkdir -p "$(dirname "$object")"
    # -fsyntax-only misbehaves with zig's driver; a real compile to an object does not.
    "${zig[@]}" -target "$target" -std=c++20 -O1 -Wall -Wextra -Werror -Isrc -I"$python_include" \
      -DCORVANE_VERSION="\"$version\"" -DPy_LIMITED_API="$limited_api" -c "$source" -o "$object"
    count=$((count + 1))
  done
  echo "$target: $count sources compiled"
done
