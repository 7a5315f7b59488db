#!/usr/bin/env bash
# Builds and runs the test suite.  With no argument: the host debug build.
# Arguments name presets: debug, asan, tsan, armhf (the ARM build runs its
# tests under qemu-arm).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(debug)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
