#!/usr/bin/env bash
# Unpacks an older Debian (bullseye, C library 2.31) armhf cross runtime and
# development files into build/sysroot-bullseye-armhf/.  The ARM builds
# compile and link against it, so that the binaries ask only for C library
# symbols the device's old C library has, and the tests run on it under
# qemu-arm.  The system's own cross C library is left alone.  Safe to run
# again: once the tree is complete, nothing is fetched.
set -euo pipefail
cd "$(dirname "$0")/.."

suite=bullseye
root=$PWD/build/sysroot-$suite-armhf
packages=(libc6-armhf-cross libc6-dev-armhf-cross linux-libc-dev-armhf-cross
          libgcc-10-dev-armhf-cross libstdc++-10-dev-armhf-cross
          libgcc-s1-armhf-cross libstdc++6-armhf-cross)
stamp=$root/.complete
want="$suite ${packages[*]}"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  exit 0
fi

echo "sysroot: fetching Debian $suite armhf cross packages into $root"
work=$PWD/build/sysroot-$suite-armhf.apt
rm -rf "$root" "$work"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
echo "deb [signed-by=$keyring] http://deb.debian.org/debian $suite main" >"$work/sources.list"
# A private apt state: only the bullseye index, and no installed packages, so
# that apt neither uses the system's sources nor prefers what is installed.
apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=-
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
          -o Dir::State::status=/dev/null -o "APT::Architecture=$(dpkg --print-architecture)"
          -o Debug::NoLocking=1 -q)
# As root, apt would hand the downloads to its unprivileged user, who may not
# reach this tree; it then warns and downloads as root anyway.
[ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" update >/dev/null
(cd "$work/debs" && apt-get "${apt_opts[@]}" download "${packages[@]}" >/dev/null)
mkdir -p "$root"
for p in "${packages[@]}"; do
  deb=$(ls "$work/debs/${p}_"*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || { echo "sysroot: $p was not downloaded" >&2; exit 1; }
  dpkg -x "$deb" "$root"
done
rm -rf "$work"
echo "$want" >"$stamp"
