#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs every test, then a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ketrel_install_deps

# The release program first: a test checks that the sanitized build writes
# the same bytes as the one users run.
reference=${KETREL_REFERENCE_BUILD:-build/reference}
cmake -S . -B "$reference" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKETREL_TESTS=OFF \
  -DKETREL_WERROR=ON >/dev/null
cmake --build "$reference" -j "$(nproc)" --target ketrel

build=${KETREL_TEST_BUILD:-build/asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKETREL_SANITIZE=ON -DKETREL_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-O1" -DKETREL_REFERENCE_KETREL="$PWD/$reference/tools/ketrel/ketrel" >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure

# A short bounded fuzzing run of every harness.
./scripts/fuzz.sh all "${KETREL_FUZZ_SECONDS:-15}"
