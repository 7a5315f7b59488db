#!/usr/bin/env bash
# Runs the demo application on the simulated screen and leaves every refreshed
# frame as a PGM file (and a PNG beside it) in the output directory.
#
#   scripts/demo.sh [output-dir] [seconds]      (default: demo-out, 12)
#
# On a fresh Debian machine it installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-demo-out}"
seconds="${2:-12}"

packages=(cmake ninja-build g++ python3 googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --preset debug >/dev/null
cmake --build --preset debug --target folian flutter_engine

# A bundle as the device has it; the stand-in engine reads the application
# script from its assets and needs only a readable ICU file.
rm -rf "$out"
bundle="$out/bundle"
mkdir -p "$bundle/data/flutter_assets" "$bundle/lib" "$out/frames"
cp demo/app.txt "$bundle/data/flutter_assets/folian_app.txt"
printf 'icu data stand-in\n' > "$bundle/data/icudtl.dat"
printf '\177ELF\001\001\001' > "$bundle/lib/libapp.so"

echo "running folian for ${seconds}s on a simulated 1236x1648 screen"
FOLIAN_FB_FILE= FOLIAN_FB_DUMP_DIR="$out/frames" FOLIAN_LOG_FRAMES=1 \
  build/debug/folian --bundle "$bundle" 2> "$out/folian.log" &
pid=$!
sleep "$seconds"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?

python3 scripts/pgm_to_png.py "$out"/frames/*.pgm >/dev/null
grep -E '假屏|第 [0-9]+ 帧|退出' "$out/folian.log" || true
echo "exit status $status; frames in $out/frames (frame_NNNN.pgm and .png), log in $out/folian.log"
exit "$status"
