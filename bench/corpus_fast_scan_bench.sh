#!/usr/bin/env bash
# Times the fast scan (`recover --fast --list`) of every FAT and NTFS image of
# the shared corpus, best of RUNS (default 5) runs each, for one or two builds
# of velmira-cli side by side, so that a change to the engines can show it
# kept them as fast. Run by hand; needs about 1 GiB of room in WORKDIR.
#
# Usage: bench/corpus_fast_scan_bench.sh [NEW_CLI [OLD_CLI]] 
#   NEW_CLI  default build/velmira-cli
#   OLD_CLI  another build to compare with (optional)
#   CORPUS   environment: the corpus folder (default ../shared/corpus)
#   WORKDIR  environment: where the images are unpacked (default /tmp)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
new=${1:-$here/build/velmira-cli}
old=${2:-}
corpus=${CORPUS:-$here/../shared/corpus}
runs=${RUNS:-5}
[ -d "$corpus" ] || { echo "no corpus at $corpus" >&2; exit 1; }
work=$(mktemp -d "${WORKDIR:-/tmp}/velmira-corpus-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

unpack() {  # corpus file -> raw image path
  local src=$1 name
  name=$(basename "$src")
  case "$src" in
    *.raw.gz|*.gz) gzip -dc "$src" >"$work/${name%.gz}"; echo "$work/${name%.gz}" ;;
    *.tgz) mkdir -p "$work/$name.d"; tar -xzf "$src" -C "$work/$name.d"; find "$work/$name.d" -type f | head -n 1 ;;
    *) echo "$src" ;;
  esac
}

best_ms() {  # cli image -> best wall milliseconds of RUNS runs
  local cli=$1 image=$2 best=999999999 i start end ms
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    XDG_DATA_HOME="$work/data" "$cli" recover --fast "$image" --list >/dev/null 2>&1 || true
    end=$(date +%s%N)
    ms=$(((end - start) / 1000000))
    ((ms < best)) && best=$ms
  done
  echo "$best"
}

printf '%-44s %10s %10s\n' IMAGE "NEW ms" "${old:+OLD ms}"
grep -E '^\| `[^`]+` \| (FAT|NTFS)' "$corpus/MANIFEST.md" | sed -E 's/^\| `([^`]+)`.*/\1/' | while read -r rel; do
  [ -f "$corpus/$rel" ] || continue
  image=$(unpack "$corpus/$rel")
  n=$(best_ms "$new" "$image")
  o=${old:+$(best_ms "$old" "$image")}
  printf '%-44s %10s %10s\n' "$(basename "$rel")" "$n" "$o"
  [ "$image" = "$corpus/$rel" ] || rm -f "$image"
done
