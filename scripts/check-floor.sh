#!/usr/bin/env bash
# Checks that a 32-bit ARM binary loads on the device's C library: it must ask
# for no C library symbol version newer than FLOOR (default GLIBC_2.18, the
# newest the device defines), and need only the device's system libraries (the
# engine is loaded at run time, never needed).  Fails listing every offending
# symbol or library.
#
#   scripts/check-floor.sh [--allow LIBRARY]... BINARY [FLOOR]
#
# --allow adds a library the binary may need besides those (the test builds
# link the C++ runtime dynamically; the device build carries it inside).
set -euo pipefail

allowed=(libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 ld-linux-armhf.so.3)
while [ $# -gt 0 ] && [ "$1" = "--allow" ]; do
  allowed+=("$2")
  shift 2
done
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 [--allow LIBRARY]... BINARY [FLOOR]" >&2
  exit 2
fi
binary=$1
floor=${2:-GLIBC_2.18}
floor=${floor#GLIBC_}

tool() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 && { echo "$t"; return; }
  done
  echo "check-floor: none of $* is installed" >&2
  exit 2
}
objdump=$(tool arm-linux-gnueabihf-objdump llvm-objdump objdump)
readelf=$(tool arm-linux-gnueabihf-readelf llvm-readelf readelf)

[ -f "$binary" ] || { echo "check-floor: no such file: $binary" >&2; exit 2; }
bad=0

# Dynamic symbols with their versions, e.g. "GLIBC_2.28 fcntl"; "GLIBC_2.4"
# may be printed in parentheses for a hidden (non-default) version.
symbols=$("$objdump" -T "$binary" |
  sed -n 's/.*[( ]\(GLIBC_[0-9A-Z_.]*\))\{0,1\} \{1,\}\([^ ]*\)$/\1 \2/p')
while read -r version name; do
  [ -n "$version" ] || continue
  v=${version#GLIBC_}
  if ! [[ "$v" =~ ^[0-9]+(\.[0-9]+)*$ ]] ||
     [ "$(printf '%s\n%s\n' "$v" "$floor" | sort -V | tail -n 1)" != "$floor" ]; then
    echo "check-floor: $binary: $name@$version is newer than GLIBC_$floor" >&2
    bad=1
  fi
done <<<"$symbols"

needed=$("$readelf" -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
while read -r lib; do
  [ -n "$lib" ] || continue
  ok=0
  for a in "${allowed[@]}"; do [ "$lib" = "$a" ] && ok=1; done
  if [ $ok -eq 0 ]; then
    echo "check-floor: $binary: needs $lib, which the device does not provide" >&2
    bad=1
  fi
done <<<"$needed"

if [ $bad -ne 0 ]; then exit 1; fi
newest=$(sed 's/ .*//' <<<"$symbols" | sort -uV | tail -n 1)
echo "check-floor: $binary: newest C library version ${newest:-none}, at most GLIBC_$floor;" \
     "needs $(tr '\n' ' ' <<<"$needed")"
