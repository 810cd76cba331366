#!/bin/sh
# Images a page-cached 1 GiB file with `velmira-cli image` twice: once as it
# is, and once through a shim that makes 1,000 scattered sectors fail with
# EIO the way a failing drive's reads do (tests/shim/bad_sector_shim.c,
# preloaded). Prints both times and checks the second copy: exit status 6,
# 1,000 sectors reported unreadable and zeros in their place.
#
# Usage: bench/rescue_image_bench.sh [VELMIRA_CLI] [SHIM] [FOLDER]
#   VELMIRA_CLI  default build/velmira-cli
#   SHIM         default build/tests/libvelmira_bad_sector_shim.so
#   FOLDER       where the file and the copies go; default /dev/shm (needs
#                3 GiB free), else /tmp
set -eu
cli=${1:-build/velmira-cli}
shim=${2:-build/tests/libvelmira_bad_sector_shim.so}
folder=${3:-}
if [ -z "$folder" ]; then
  if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 3300000 ]; then
    folder=/dev/shm
  else
    folder=${TMPDIR:-/tmp}
  fi
fi
[ -x "$cli" ] || { echo "no velmira-cli at $cli (build first)" >&2; exit 1; }
[ -f "$shim" ] || { echo "no shim at $shim (cmake --build build --target velmira_bad_sector_shim)" >&2; exit 1; }
shim=$(cd "$(dirname "$shim")" && pwd)/$(basename "$shim")
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
work=$(mktemp -d "$folder/velmira-rescue-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
sectors=2097152  # 1 GiB of 512-byte sectors
head -c $((sectors * 512)) /dev/urandom >source.img
cat source.img >/dev/null  # into the page cache

# One bad sector in each 1/1000 of the file, at a random place in it.
awk -v n=1000 -v total=$sectors 'BEGIN { srand(7); step = int(total / n);
  for (i = 0; i < n; i++) print i * step + int(rand() * step), 1 }' >bad.txt

now() { date +%s.%N; }
lower() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }
# The two copies take turns, RUNS times (default 3); the best time of each counts.
runs=${RUNS:-3}
clean="" failing=""
i=0
while [ "$i" -lt "$runs" ]; do
  rm -f clean.img clean.img.map bad.img bad.img.map
  sync
  t0=$(now)
  "$cli" image source.img clean.img >clean.out 2>clean.err
  t1=$(now)
  clean=$(lower "$clean" "$(echo "$t1 - $t0" | bc -l)")
  rm -f clean.img clean.img.map
  sync
  status=0
  t2=$(now)
  ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$shim" VELMIRA_SHIM_FILE=source.img \
    VELMIRA_SHIM_SECTORS=bad.txt "$cli" image source.img bad.img >bad.out 2>bad.err || status=$?
  t3=$(now)
  failing=$(lower "$failing" "$(echo "$t3 - $t2" | bc -l)")
  i=$((i + 1))
done

[ "$status" = 6 ] || { echo "the copy with bad sectors ended with $status, not 6" >&2; cat bad.err >&2; exit 1; }
grep -q "^1000 sectors could not be read" bad.out || { echo "not 1000 unreadable sectors:" >&2; cat bad.out >&2; exit 1; }
# Only the bad sectors differ from the source, and there they are zeros.
differ=$(cmp -l source.img bad.img | awk '$3 != 0 { bad++ } END { print bad + 0 }')
[ "$differ" = 0 ] || { echo "$differ bytes differ and are not zeros" >&2; exit 1; }

echo "1 GiB page-cached file imaged into $folder (best of $runs):"
printf '  %-40s %6.2f s\n' "velmira-cli image, healthy" "$clean"
printf '  %-40s %6.2f s\n' "velmira-cli image, 1000 bad sectors" "$failing"
grep -c . bad.img.map | awk '{ printf "  map: %d lines\n", $1 }'
