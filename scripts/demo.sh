#!/usr/bin/env bash
# Runs the demo application on the simulated screen, turns its pages through
# the control FIFO (taps and page keys, as a test script or a person would),
# and leaves every refreshed frame as a PGM file with a PNG beside it.
#
#   scripts/demo.sh [output-dir]        (default: demo-out)
#
# On a fresh Debian machine it installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-demo-out}"

scripts/deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug --target folian flutter_engine

# A bundle as the device has it; the stand-in engine reads the application
# script from its assets, and as a JIT engine wants a kernel file beside it
# (its content is not read) and a readable ICU file.
rm -rf "$out"
bundle="$out/bundle"
mkdir -p "$bundle/data/flutter_assets" "$bundle/lib" "$out/frames"
cp demo/app.txt "$bundle/data/flutter_assets/folian_app.txt"
printf 'icu data stand-in\n' > "$bundle/data/icudtl.dat"
printf 'kernel stand-in\n' > "$bundle/data/flutter_assets/kernel_blob.bin"
printf '\177ELF\001\001\001' > "$bundle/lib/libapp.so"
control="$out/control"

echo "running folian on a simulated 1236x1648 screen, control FIFO $control"
FOLIAN_FB_FILE= FOLIAN_FB_DUMP_DIR="$out/frames" FOLIAN_LOG_FRAMES=1 FOLIAN_CONTROL="$control" \
  build/debug/folian --bundle "$bundle" 2> "$out/folian.log" &
pid=$!
for _ in $(seq 50); do [ -p "$control" ] && break; sleep 0.1; done

# Forward with taps on the right half and the next-page key, back with a tap
# on the left half and the previous-page key.  Each line is one command.
for command in "tap 1000 800" "key next" "tap 900 1200" "key next" "key next" \
               "tap 200 800" "key prev"; do
  echo "control: $command"
  echo "$command" > "$control"
  sleep 0.7
done

kill -TERM "$pid"
status=0
wait "$pid" || status=$?

python3 scripts/pgm_to_png.py "$out"/frames/*.pgm >/dev/null
grep -E '假屏|第 [0-9]+ 帧|控制命令|退出' "$out/folian.log" || true
echo "exit status $status; frames in $out/frames (frame_NNNN.pgm and .png), log in $out/folian.log"
exit "$status"
