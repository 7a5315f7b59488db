#!/usr/bin/env bash
# Shows the e-ink panel in a desktop window while folian runs an application
# bundle against the stand-in panel, touch screen and page buttons (default:
# the demo application).  The mouse is a finger; Page Down and Page Up (or
# the arrow keys) are the page buttons; o outlines each refresh, s and w
# are sleep and wake, r repaints (SIGUSR1).  When the window closes, folian
# is ended with SIGTERM and a refresh report of the run is written.
#
#   scripts/preview.sh [bundle]         (run and report in preview-out/)
#
# On a fresh Debian machine it installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
out=preview-out

scripts/deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug --target folian flutter_engine stand_in_app_344 sim_fb sim_evdev sim_paths sim_lipc \
  folian_preview

if [ $# -ge 1 ]; then
  bundle="$(realpath "$1")"
else
  rm -rf "$out/bundle"
  scripts/demo_bundle.sh "$out/bundle"
  bundle="$(realpath "$out/bundle")"
fi

status=0
build/debug/tools/folian_preview --bundle "$bundle" --out "$out/run" || status=$?
python3 tools/report/refresh_report.py --log "$out/run/epdc.log" --snaps "$out/run/snaps" \
  -o "$out/report.html" --title "Refresh report: $(basename "$bundle")"
echo "folian's log: $out/run/folian.log; panel after each refresh: $out/run/snaps/"
exit "$status"
