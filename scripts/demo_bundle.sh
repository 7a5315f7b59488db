#!/usr/bin/env bash
# Lays out the demo application as a bundle for the stand-in engine, as the
# device has one: the script in data/flutter_assets beside the asset manifest
# every Flutter build has, an ICU file that only has to be readable, a kernel
# file the stand-in (a JIT engine) wants beside the script (its content is
# not read), and the stand-in app the build made for its engine (a libapp.so
# with the snapshot header of the engine's release).
#
#   scripts/demo_bundle.sh DIR [BUILD]      (BUILD: build/debug)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bundle="$1"
build="${2:-$root/build/debug}"
mkdir -p "$bundle/data/flutter_assets" "$bundle/lib"
cp "$root/demo/app.txt" "$bundle/data/flutter_assets/folian_app.txt"
printf 'icu data stand-in\n' > "$bundle/data/icudtl.dat"
printf '{}\n' > "$bundle/data/flutter_assets/AssetManifest.json"
printf 'kernel stand-in\n' > "$bundle/data/flutter_assets/kernel_blob.bin"
cp "$build/sim/app/libapp.so" "$bundle/lib/libapp.so"
