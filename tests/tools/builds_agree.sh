#!/usr/bin/env bash
# Exports the example and three real scenes with two builds of ketrel (the one
# under test and a reference built with other flags) and fails unless they
# write the same bytes: the output may not depend on how the program was built.
# usage: builds_agree.sh KETREL REFERENCE_KETREL SOURCE_DIR
set -euo pipefail
ketrel=$1 reference=$2 source=$3
models=/usr/share/assimp/models
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

scenes=("$source/examples/figure.kscene" "$models/BVH/01_01.bvh" "$models/X/Testwuson.X"
  "$models/FBX/spider.fbx")
status=0
for scene in "${scenes[@]}"; do
  for options in "" "--animation-error 0.05cm"; do
    name=$(basename "$scene")
    # shellcheck disable=SC2086 # the options are words
    "$ketrel" export "$scene" "$work/a.kt2" --silent $options 2>"$work/a.err" ||
      { echo "FAIL: $name $options: export failed"; cat "$work/a.err"; status=1; continue; }
    # shellcheck disable=SC2086
    "$reference" export "$scene" "$work/b.kt2" --silent $options 2>"$work/b.err" ||
      { echo "FAIL: $name $options: reference export failed"; cat "$work/b.err"; status=1; continue; }
    if cmp -s "$work/a.kt2" "$work/b.kt2"; then
      echo "same bytes: $name $options ($(stat -c %s "$work/a.kt2") bytes)"
    else
      echo "FAIL: $name $options: the builds write different bytes"
      "$ketrel" dump --all "$work/a.kt2" >"$work/a.dump"
      "$reference" dump --all "$work/b.kt2" >"$work/b.dump"
      diff "$work/a.dump" "$work/b.dump" | head -20 || true
      status=1
    fi
  done
done
exit $status
