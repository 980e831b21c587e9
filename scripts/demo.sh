#!/usr/bin/env bash
# Builds the ketrel program, exports the shipped example scene to a KT2 file
# and prints what is in it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ketrel_install_deps
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKETREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target ketrel
ketrel=$build/tools/ketrel/ketrel
mkdir -p out
scene=examples/figure.kscene
morphs="Morph Targets=Look for morph modifier meshes"
echo "== ketrel export $scene out/figure.kt2 --set \"$morphs\""
"$ketrel" export "$scene" out/figure.kt2 --set "$morphs"
echo
echo "== ketrel info out/figure.kt2"
"$ketrel" info out/figure.kt2
echo
echo "== ketrel dump out/figure.kt2 --path \"Meshes[1].MorphTargets\" (the face's morph targets)"
# Through a file: head closing the pipe early would fail the script (pipefail).
"$ketrel" dump out/figure.kt2 --path "Meshes[1].MorphTargets" > out/figure_morphs.txt
head -n 40 out/figure_morphs.txt
