#!/usr/bin/env bash
# Runs a command as it would run on the reader, with this checkout's
# stand-ins in place of the reader's kernel nodes and platform: the panel (a
# framebuffer that takes the e-ink controller's update requests), a
# multi-touch screen, the LIPC library and the property and event tools at
# their device paths.  What the stand-ins record goes into STATE:
#
#   STATE/epdc.log        the controller's log, one line per refresh
#   STATE/frames/         the panel after each refresh (update_NNNN.pgm)
#   STATE/platform/       the LIPC calls and property settings (lipc.log, set-prop.log)
#   STATE/control         the control FIFO, unless FOLIAN_CONTROL names another
#   STATE/input/dev/event0  the touch screen, /dev/input/event0 to the program:
#                         sim/evdev/touch.py STATE/input/dev/event0 tap X Y
#                         touches it (X, Y from 0 to 4095 across the panel)
#
#   scripts/standin-reader.sh STATE COMMAND [ARGUMENTS...]
#
# It uses the debug build (cmake --preset debug && cmake --build --preset
# debug), or the build FOLIAN_BUILD_DIR names.  Nothing in STATE is removed.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: scripts/standin-reader.sh STATE COMMAND [ARGUMENTS...]" >&2
  exit 2
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
state=$(realpath -m -- "$1")
shift
build="${FOLIAN_BUILD_DIR:-$root/build/debug}"
if [ ! -e "$build/sim/libsim_paths.so" ] || [ ! -e "$build/sim/lipc/bin/lipc-set-prop" ]; then
  echo "standin-reader: no stand-ins in $build: build the debug configuration first" \
       "(cmake --preset debug && cmake --build --preset debug)" >&2
  exit 1
fi
sim=$(cd "$build/sim" && pwd)
mkdir -p "$state/frames" "$state/input/dev" "$state/input/conf" "$state/platform"

# The touch screen: ten slots, both axes 0..4095 across the panel.  The
# command and what it starts hold the node open for writing too, so that a
# toucher closing it is no hang-up, which the program takes for a screen
# unplugged.
touch_node="$state/input/dev/event0"
[ -p "$touch_node" ] || mkfifo -m 600 "$touch_node"
printf '%s\n' "name stand-in touch screen" "types 0,1,3" "abs 47,53,54,57" "keys 330" \
  "absinfo 53 0 0 4095" "absinfo 54 0 0 4095" "absinfo 47 0 0 9" > "$state/input/conf/event0"
exec 7<>"$touch_node"

# Preloaded by name from the library path: the loader splits LD_PRELOAD at
# blanks, which a checkout's path may hold.
export LD_PRELOAD="libsim_fb.so:libsim_evdev.so:libsim_paths.so"
export LD_LIBRARY_PATH="$sim:$sim/lipc${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export FOLIAN_SIM_EPDC="${FOLIAN_SIM_EPDC:-mtk}"
export FOLIAN_SIM_EPDC_LOG="$state/epdc.log" FOLIAN_SIM_EPDC_SNAP_DIR="$state/frames"
export FOLIAN_SIM_EVDEV_DIR="$state/input"
export FOLIAN_SIM_LIPC_BIN="$sim/lipc/bin" FOLIAN_SIM_LIPC_DIR="$state/platform"
export FOLIAN_CONTROL="${FOLIAN_CONTROL:-$state/control}"
exec "$@"
