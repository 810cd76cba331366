#!/usr/bin/env bash
# The sweep's directory-sector tests on 1 GiB of noise and on 1 GiB of real
# photos (the corpus JPEGs repeated), next to the page-cache read speed.
# Run by hand after building with -DVELMIRA_BENCH=ON:
#   bench/fat_directory_sector_bench.sh [WORKDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bench=${VELMIRA_BENCH_BIN:-$here/../build/bench/fat_directory_sector_bench}
corpus=${VELMIRA_CORPUS:-$here/../../shared/corpus}
work=${1:-/tmp/velmira-dirsector-bench}
mkdir -p "$work"
[[ -f $work/noise.img ]] || head -c 1G /dev/urandom > "$work/noise.img"
if [[ ! -f $work/photos.img ]]; then
  mapfile -t jpegs < <(find "$corpus" -iname '*.jpg' -o -iname '*.jpeg' | sort)
  : > "$work/photos.img"
  while (( $(stat -c %s "$work/photos.img") < 1073741824 )); do cat "${jpegs[@]}" >> "$work/photos.img"; done
  truncate -s 1G "$work/photos.img"
fi
"$bench" "$work/noise.img" 3
"$bench" "$work/photos.img" 3
