#!/bin/sh
# Copies a page-cached 2 GiB image (SIZE_MIB=N for another size) into a new file with `velmira-cli image`
# and with `dd bs=1M`, in the same run, and prints MB/s (10^6 bytes) for each.
# The image copy ends with an fsync, so dd is timed both as it is and with
# conv=fsync. Each copy runs RUNS times (default 3); the best time counts.
#
# Usage: bench/image_copy_bench.sh [VELMIRA_CLI] [FOLDER]
#   VELMIRA_CLI  default build/velmira-cli
#   FOLDER       where the image and the copies go; default /dev/shm (tmpfs,
#                so the target's disk does not set the pace), else /tmp.
#                Needs 6 GiB free.
set -eu
cli=${1:-build/velmira-cli}
folder=${2:-}
runs=${RUNS:-3}
if [ -z "$folder" ]; then
  if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 6500000 ]; then
    folder=/dev/shm
  else
    folder=${TMPDIR:-/tmp}
  fi
fi
[ -x "$cli" ] || { echo "no velmira-cli at $cli (build first)" >&2; exit 1; }
work=$(mktemp -d "$folder/velmira-copy-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mib=${SIZE_MIB:-2048}
bytes=$((mib * 1024 * 1024))
src="$work/source.img"

# Not sparse and not zeros: every page holds data.
head -c "$bytes" /dev/urandom >"$src"
cat "$src" >/dev/null  # into the page cache

now() { date +%s.%N; }
# seconds for: sh -c COMMAND (the target is removed first)
timed() {
  rm -f "$work/out.img" "$work/out.img.map"
  sync
  t0=$(now)
  sh -c "$1" >/dev/null 2>&1
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}
lower() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }
rate() { echo "scale=1; $bytes / $1 / 1000000" | bc -l; }
q() { printf "'%s'" "$1"; }

# The three copies take turns, so that a busy moment hits them alike.
ours="" dd_plain="" dd_fsync=""
i=0
while [ "$i" -lt "$runs" ]; do
  ours=$(lower "$ours" "$(timed "$(q "$cli") image $(q "$src") $(q "$work/out.img")")")
  [ "$i" -gt 0 ] || cmp "$src" "$work/out.img" || { echo "the copy differs from the source" >&2; exit 1; }
  dd_plain=$(lower "$dd_plain" "$(timed "dd if=$(q "$src") of=$(q "$work/out.img") bs=1M")")
  dd_fsync=$(lower "$dd_fsync" "$(timed "dd if=$(q "$src") of=$(q "$work/out.img") bs=1M conv=fsync")")
  i=$((i + 1))
done

echo "$mib MiB page-cached image copied into a new file in $folder (best of $runs):"
printf '  %-28s %8s MB/s  (%s s)\n' "velmira-cli image" "$(rate "$ours")" "$ours"
printf '  %-28s %8s MB/s  (%s s)\n' "dd bs=1M" "$(rate "$dd_plain")" "$dd_plain"
printf '  %-28s %8s MB/s  (%s s)\n' "dd bs=1M conv=fsync" "$(rate "$dd_fsync")" "$dd_fsync"
printf '  velmira-cli image at %s %% of the speed of dd bs=1M\n' "$(echo "scale=1; 100 * $dd_plain / $ours" | bc -l)"
