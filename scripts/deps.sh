#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the panel
# preview need, when they are missing (the preview's window tests run under
# Xvfb, driven by xdotool, seen through xwd), and unpacks the older armhf C
# library the ARM builds use (scripts/sysroot.sh).  Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ python3 googletest libgtest-dev libbenchmark-dev
          g++-arm-linux-gnueabihf qemu-user clang clang-format clang-tidy libclang-rt-14-dev
          lld locales busybox
          debian-archive-keyring
          libsdl2-dev libsdl2-ttf-dev fonts-dejavu-core xvfb xdotool x11-apps)
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

"$(dirname "$0")/sysroot.sh"
