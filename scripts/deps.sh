#!/usr/bin/env bash
# Installs the Debian packages the build, tests, benchmarks and fuzzers need,
# when any is missing. Sourced by the other scripts.
ketrel_packages=(cmake ninja-build g++ clang libclang-rt-14-dev python3
  libgtest-dev libgmock-dev libbenchmark-dev
  libassimp-dev nlohmann-json3-dev libstb-dev libcli11-dev
  assimp-testmodels assimp-utils
  libzstd-dev liblz4-dev libmeshoptimizer-dev zlib1g-dev pkgconf
  libsquish-dev python3-pil)

ketrel_install_deps() {
  local missing=()
  for p in "${ketrel_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}
