# Sourced by the scripts that write a run into a folder the user may name.
# Before a run they clear what an earlier run left there, so the folder must
# be one of ours: every run leaves the file named below in it.  A folder
# that exists, holds anything and lacks that file is refused and left exactly
# as it was (`scripts/demo.sh ~/Desktop` must not empty a desktop).  The
# preview program keeps the same rule, and the report tool replaces no file
# but an earlier report.
out_dir_mark=.folian-output

# out_dir_claim DIR: afterwards DIR is a folder that carries the mark, or
# the status is 1, with one line on standard error and nothing touched.
out_dir_claim() {
  local dir=$1 entries
  if [ -e "$dir" ] || [ -L "$dir" ]; then
    if [ ! -d "$dir" ] || ! entries=$(ls -A "$dir"); then
      echo "$(basename "$0"): $dir is not a folder this script can use; it is left as it is" >&2
      return 1
    fi
    if [ -n "$entries" ] && [ ! -f "$dir/$out_dir_mark" ]; then
      echo "$(basename "$0"): $dir holds files and is not an earlier run's output" \
           "(it has no $out_dir_mark); it is left as it is" >&2
      return 1
    fi
  fi
  mkdir -p "$dir" &&
    echo "output of a folian run: the next run replaces what it wrote here" >"$dir/$out_dir_mark"
}
