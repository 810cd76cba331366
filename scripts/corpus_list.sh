#!/bin/sh
# Prints `velmira-cli recover --list` for every file-system image of the
# shared corpus into OUT/<image>.txt, so that two builds can be compared with
# diff -r. Compressed images are unpacked into a scratch folder first.
#   scripts/corpus_list.sh CLI OUT [CORPUS]
set -eu
cli=$1
out=$2
corpus=${3:-$(dirname "$0")/../../shared/corpus}
[ -d "$corpus" ] || { echo "corpus_list: no corpus at $corpus" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$out"
grep -E '^\| `[^`]+` \| (NTFS|exFAT|FAT|TSK|none|ext|ISO|HFS|MBR|GPT)' "$corpus/MANIFEST.md" |
  sed -E 's/^\| `([^`]+)`.*/\1/' | while read -r rel; do
  src="$corpus/$rel"
  [ -f "$src" ] || continue
  img="$scratch/image"
  rm -rf "$scratch"/*
  case "$rel" in
    *.tgz) tar -xzf "$src" -C "$scratch"; img=$(find "$scratch" -type f | head -n 1) ;;
    *.gz) gzip -dc "$src" > "$img" ;;
    *) cp "$src" "$img" ;;
  esac
  name=$(echo "$rel" | tr '/' '_')
  status=0
  "$cli" recover "$img" --to "$scratch/out" --list --restart --quiet > "$out/$name.txt" 2> "$out/$name.err" || status=$?
  echo "exit $status" >> "$out/$name.txt"
  rm -rf "$HOME/.local/share/velmira" 2>/dev/null || true
done
