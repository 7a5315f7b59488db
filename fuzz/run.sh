#!/bin/sh
# Builds the libFuzzer targets (clang, preset "fuzz") and runs each one for a
# bounded time, starting from the seed corpus in fuzz/corpus/<target>/; then
# the bundle tool's ELF reader (fuzz/bundle_elf.py) for as long.
#   FOLIAN_FUZZ_TIME   seconds per target (default 60)
#   FOLIAN_FUZZ_BUILD  build directory (default build/fuzz)
# New inputs and any crash go under the build directory, never into the seeds.
# Exits nonzero when a target finds a fault.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FOLIAN_FUZZ_BUILD:-$root/build/fuzz}
seconds=${FOLIAN_FUZZ_TIME:-60}

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target fuzz_codec fuzz_json fuzz_control fuzz_power fuzz_input \
  fuzz_snapshot

status=0
for target in codec json control power input snapshot; do
  work=$build/fuzz/corpus-$target
  artifacts=$build/fuzz/artifacts-$target
  mkdir -p "$work" "$artifacts"
  echo "== fuzz_$target for ${seconds}s"
  # The product logs to stderr; -close_fd_mask=2 silences it while the
  # fuzzer's and the sanitizers' reports still come through.
  # The control and input modules keep their queues and device tables for the
  # life of the process, as the program does: leak checks after every run
  # would only rescan that memory.
  case $target in control|input) leaks=0 ;; *) leaks=1 ;; esac
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=2 -detect_leaks=$leaks \
    -dict="$root/fuzz/$target.dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
    "$work" "$root/fuzz/corpus/$target" || status=1
  echo "== fuzz_$target corpus: $(ls "$work" | wc -l) inputs"
done

# The bundle tool reads the ELF files a user hands it: random and cut-short
# ones must each end in its one-line findings.
echo "== bundle tool ELF reader for ${seconds}s"
python3 "$root/fuzz/bundle_elf.py" --seconds "$seconds" --artifacts "$build/fuzz/artifacts-bundle_elf" \
  || status=1
exit $status
