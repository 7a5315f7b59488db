#!/usr/bin/env bash
# Lays out the demo application as a bundle for the stand-in engine, as the
# device has one: the script in data/flutter_assets beside the asset manifest
# every Flutter build has, an ICU file that only has to be readable, a kernel
# file the stand-in (a JIT engine) wants beside the script (its content is
# not read), and a libapp.so that only has to look like ELF.
#
#   scripts/demo_bundle.sh DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bundle="$1"
mkdir -p "$bundle/data/flutter_assets" "$bundle/lib"
cp "$root/demo/app.txt" "$bundle/data/flutter_assets/folian_app.txt"
printf 'icu data stand-in\n' > "$bundle/data/icudtl.dat"
printf '{}\n' > "$bundle/data/flutter_assets/AssetManifest.json"
printf 'kernel stand-in\n' > "$bundle/data/flutter_assets/kernel_blob.bin"
printf '\177ELF\001\001\001' > "$bundle/lib/libapp.so"
