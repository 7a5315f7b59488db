#!/usr/bin/env bash
# Checks the code's format (clang-format, .clang-format) and its naming
# (clang-tidy's identifier-naming check, .clang-tidy) without changing a file.
# The naming check needs the debug build's compile_commands.json: it
# configures the debug preset when the file is missing.  Exits non-zero on
# the first kind of finding, after listing them all.
#   scripts/check-style.sh            check
#   scripts/check-style.sh --fix      reformat in place (naming is left to you)
set -euo pipefail
cd "$(dirname "$0")/.."

# Directories whose C and C++ files keep the format.  The tests are left out:
# their case tables are laid out by hand, one case to a line, which the
# formatter would break into one field to a line.
format_dirs=(src sim fuzz bench tools)

mapfile -t files < <(git ls-files -- "${format_dirs[@]}" | grep -E '\.(c|cc|cpp|h|hpp)$' || true)

if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi

status=0
echo "== format: ${#files[@]} files"
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "format: run scripts/check-style.sh --fix" >&2
  status=1
fi

db=build/debug/compile_commands.json
if [ ! -f "$db" ]; then
  cmake --preset debug >/dev/null
fi
# Only the units the host build compiles: the ARM-only ones have no entry.
mapfile -t units < <(python3 - "$db" <<'PY'
import json, os, sys
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith("src/") and path not in seen:
        seen.add(path)
        print(path)
PY
)
echo "== naming: ${#units[@]} units"
if ! clang-tidy -p build/debug --quiet "${units[@]}" 2>/dev/null; then
  status=1
fi
exit $status
