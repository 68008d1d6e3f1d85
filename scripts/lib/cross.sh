# Shared by the cross-target test scripts (scripts/test-aarch64.sh,
# scripts/test-windows.sh): install Debian packages, then configure, build
# and test one target through its toolchain file. Sourced, not run.

source "$(dirname "${BASH_SOURCE[0]}")/debian.sh"

# Installs the Debian packages that are missing, with sudo unless root; adds
# cmake and make themselves when the machine has no cmake at all.
cross_install() {
  local packages=("$@")
  command -v cmake >/dev/null || packages+=(cmake make)
  install_debian_packages --no-install-recommends "${packages[@]}"
}

# cross_build BUILD_DIR TOOLCHAIN [cmake arguments...]: the engine's tests
# (C++ tests, fuzz replays, allocation faults) built for the toolchain's
# target. Extra arguments go to the configure step.
cross_build() {
  local build=$1 toolchain=$2
  shift 2
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_CLI=OFF "$@" >/dev/null
  cmake --build "$build" -j "${CORVANE_JOBS:-2}"
}
