#!/usr/bin/env bash
# ./scripts/fuzz.sh [NAME|all] [SECONDS]: builds the libFuzzer harnesses with
# clang and runs one (or all) for the given time each, starting from the seed
# corpus under tests/fuzz/corpus/NAME (and the dictionary tests/fuzz/NAME.dict,
# when there is one).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ketrel_install_deps
name=${1:-all}
seconds=${2:-60}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKETREL_FUZZ=ON -DKETREL_TESTS=OFF -DKETREL_HOST=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
harnesses=()
for f in tests/fuzz/fuzz_*.cpp; do
  [ -e "$f" ] || continue
  n=$(basename "$f" .cpp); n=${n#fuzz_}
  if [ "$name" = all ] || [ "$name" = "$n" ]; then harnesses+=("$n"); fi
done
if [ ${#harnesses[@]} -eq 0 ]; then
  echo "no fuzzer named '$name'" >&2
  exit 2
fi
for n in "${harnesses[@]}"; do
  work=$build/corpus/$n
  mkdir -p "$work"
  seeds=tests/fuzz/corpus/$n
  [ -d "$seeds" ] || seeds=
  # A dictionary of the input's words, when the harness has one (NAME.dict).
  dict=()
  [ -f "tests/fuzz/$n.dict" ] && dict=(-dict="tests/fuzz/$n.dict")
  echo "== fuzz $n for ${seconds}s"
  "$build/tests/fuzz/fuzz_$n" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=0 "${dict[@]}" "$work" $seeds 2>"$build/fuzz_$n.log" || {
    tail -n 40 "$build/fuzz_$n.log"; echo "fuzzer $n found a fault" >&2; exit 1; }
  grep -E '^#[0-9]+ +DONE' "$build/fuzz_$n.log" | tail -n 1 || true
done
echo "fuzzing: ${#harnesses[@]} passed, 0 failed"
