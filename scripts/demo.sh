#!/usr/bin/env bash
# Runs the demo application on the stand-in panel (a framebuffer with the
# e-ink controller's update requests), turns its pages through the control
# FIFO (taps and page keys, as a test script or a person would), turns the
# panel's switches there too (night mode, flashes by count, dithering,
# motion), and leaves the panel after every refresh as a PGM file with a PNG
# beside it, the controller's log of the refreshes and a refresh report.
#
#   scripts/demo.sh [output-dir]        (default: demo-out in the checkout)
#
# The output folder must be new, empty or an earlier run's output
# (scripts/out_dir.sh); any other is refused and left alone.
#
# On a fresh Debian machine it installs what it needs first.  With
# FOLIAN_BUILD_DIR naming an existing build, that build is used as it is.
set -euo pipefail
out=demo-out
if [ $# -ge 1 ]; then
  out=$(realpath -m -- "$1")
fi
cd "$(dirname "$0")/.."
source scripts/out_dir.sh
out_dir_claim "$out"

build="${FOLIAN_BUILD_DIR:-}"
if [ -z "$build" ]; then
  scripts/deps.sh
  cmake --preset debug >/dev/null
  cmake --build --preset debug --target folian flutter_engine stand_in_app_344 sim_fb sim_evdev
  build=build/debug
fi

# Only what an earlier demo wrote here goes.
rm -rf "$out/bundle" "$out/frames" "$out/input" "$out/control" "$out/epdc.log" "$out/folian.log" \
  "$out/report.html"
bundle="$out/bundle"
scripts/demo_bundle.sh "$bundle" "$build"
# No input nodes: the pages turn through the control FIFO, and the
# machine's own keyboard and mouse are left alone.
mkdir -p "$out/frames" "$out/input/dev" "$out/input/conf"
control="$out/control"

echo "running folian on a stand-in 1236x1648 panel, control FIFO $control"
# The stand-ins are preloaded by name from the library path: the loader splits
# LD_PRELOAD at blanks, which a checkout's path may hold.
sim_dir="$(cd "$build/sim" && pwd)"
LD_PRELOAD="libsim_fb.so:libsim_evdev.so" LD_LIBRARY_PATH="$sim_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  FOLIAN_SIM_EPDC=mtk \
  FOLIAN_SIM_EPDC_LOG="$out/epdc.log" FOLIAN_SIM_EPDC_SNAP_DIR="$out/frames" \
  FOLIAN_SIM_EVDEV_DIR="$out/input" FOLIAN_KEEP_SCREEN=1 FOLIAN_LOG_FRAMES=1 \
  FOLIAN_CONTROL="$control" \
  "$build/folian" --bundle "$bundle" 2> "$out/folian.log" &
pid=$!
for _ in $(seq 50); do [ -p "$control" ] && break; sleep 0.1; done
refreshes() {
  local n
  n=$(grep -c '^update ' "$out/epdc.log" 2>/dev/null) || true
  echo "${n:-0}"
}
# Each step waits until the previous one's refreshes have reached the
# panel: a slow build, such as a sanitizer's, takes over a second a page.
wait_refresh() {
  for _ in $(seq 150); do [ "$(refreshes)" -gt "$1" ] && break; sleep 0.1; done
  sleep 0.5
}
wait_refresh 0

# step N LINE...: writes the lines in one go, so that a switch takes effect
# just before the page turn behind it, waits for the N refreshes they make
# and names them.
step() {
  local n=$1 before
  shift
  before=$(refreshes)
  printf 'control: %s\n' "$@"
  printf '%s\n' "$@" > "$control"
  wait_refresh $((before + n - 1))
  grep '^update ' "$out/epdc.log" |
    awk -v from="$before" 'NR > from { printf "  update_%04d: %s %s %s %s %s\n", NR - 1, $4, $5, $6, $7, $9 }'
}

# Forward with taps on the right half and the next-page key, back with a tap
# on the left half and the previous-page key.
for command in "tap 1000 800" "key next" "tap 900 1200" "key next" "key next" \
               "tap 200 800" "key prev"; do
  step 1 "$command"
done

echo "night mode: the whole panel turns over at once, then a page turns inverted (flags=0x1)"
step 1 "night on"
step 1 "key next"
step 1 "night off"
echo "dithering: the gradient page undithered (16 bands on a 16-level panel), then, a page back and forth, dithered"
step 1 "key next"
step 1 "key next"
step 1 "dither on" "key prev"
step 1 "key next"
echo "flashes by count: every second page turn a full refresh of the whole panel"
step 1 "flash 2" "key prev"
step 1 "key prev"
step 1 "key prev"
echo "landscape: the page turned a quarter clockwise in full, a page back in landscape (a tap on its left half), then upright again in full"
step 1 "flash 0" "rotate 90"
step 1 "tap 300 600"
step 1 "rotate 0"
echo "motion: three pages on in quick succession, the last two fast (DU), then one clean-up of their union"
step 4 "flash 0" "motion auto" "key next 10" "key next 10" "key next 10"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?

python3 scripts/pgm_to_png.py "$out"/frames/*.pgm >/dev/null
python3 tools/report/refresh_report.py --log "$out/epdc.log" --snaps "$out/frames" \
  --program-log "$out/folian.log" \
  -o "$out/report.html" --title "folian demo: refresh report"
grep -E '墨水屏驱动|帧 [0-9]+：|控制命令|夜间模式|抖动|运动模式|整屏闪刷|清残影|屏幕方向|退出' "$out/folian.log" || true
echo "exit status $status; panel after each refresh in $out/frames (update_NNNN.pgm and .png)," \
     "refresh report $out/report.html, log in $out/folian.log"
exit "$status"
