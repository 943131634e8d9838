#!/usr/bin/env bash
# Installs the Debian packages the build needs (only the missing ones), then configures and builds
# into build/. Safe to run again. Extra CMake arguments are passed through, e.g.
#   scripts/setup.sh -DKZ_SANITIZE=address,undefined
# BUILD_DIR chooses another build folder; BUILD_TARGET builds one target (and what it needs) instead of all.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build pkg-config g++ clang libclang-rt-14-dev python3 zip unzip
          libcurl4-openssl-dev zlib1g-dev libminizip-dev uuid-dev libsodium-dev libssl-dev libzstd-dev zstd libisal-dev
          libgtest-dev libgmock-dev libbenchmark-dev nginx-light)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DKZ_WERROR=${KZ_WERROR:-ON} "$@"
cmake --build "$build_dir" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
