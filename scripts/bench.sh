#!/usr/bin/env bash
# ./scripts/bench.sh NAME [benchmark flags]: builds and runs bench/NAME in an
# optimised build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ketrel_install_deps
if [ $# -lt 1 ]; then
  echo "usage: $0 NAME   (one of: $(ls bench | grep -v CMakeLists | sed 's/\.cpp$//' | tr '\n' ' '))" >&2
  exit 2
fi
name=$1; shift
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKETREL_BENCH=ON -DKETREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "bench_$name" ketrel
"$build/bench/bench_$name" "$@"
