#!/usr/bin/env bash
# Shows the e-ink panel in a desktop window while folian runs an application
# bundle against the stand-in panel, touch screen and page buttons (default:
# the demo application).  The mouse is a finger; Page Down and Page Up (or
# the arrow keys) are the page buttons; o outlines each refresh, s and w
# are sleep and wake, r repaints (SIGUSR1), n, d, m and f switch night mode,
# dithering, motion and flashes by count.  When the window closes, folian
# is ended with SIGTERM and a refresh report of the run is written.
#
#   scripts/preview.sh [bundle]         (run and report in preview-out/)
#
# preview-out/ must be new, empty or an earlier run's output
# (scripts/out_dir.sh); any other is refused and left alone.
#
# On a fresh Debian machine it installs what it needs first.
set -euo pipefail
bundle=
if [ $# -ge 1 ]; then
  bundle="$(realpath "$1")"
fi
cd "$(dirname "$0")/.."
source scripts/out_dir.sh
out=preview-out
out_dir_claim "$out"
rm -f "$out/report.html"

scripts/deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug --target folian flutter_engine stand_in_app_344 sim_fb sim_evdev sim_paths sim_lipc \
  folian_preview

if [ -z "$bundle" ]; then
  rm -rf "$out/bundle"
  scripts/demo_bundle.sh "$out/bundle"
  bundle="$(realpath "$out/bundle")"
fi

status=0
build/debug/tools/folian_preview --bundle "$bundle" --out "$out/run" || status=$?
python3 tools/report/refresh_report.py --log "$out/run/epdc.log" --snaps "$out/run/snaps" \
  --program-log "$out/run/folian.log" -o "$out/report.html" --title "Refresh report: $(basename "$bundle")"
echo "folian's log: $out/run/folian.log; panel after each refresh: $out/run/snaps/"
exit "$status"
