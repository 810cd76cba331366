#!/usr/bin/env bash
# The whole deep scan of a reformatted camera card, next to reading the image
# with cat and to PhotoRec carving it, all on the same page-cached image.
#
# The card: a FAT32 image of SIZE (default 4G) holding 2,000 photos in ten
# camera folders (real JPEGs from the corpus, made larger with padding
# segments), every second photo deleted, then the card formatted again.
# Reported: seconds and MB/s of each, velmira's peak memory, and how many
# photos each got back.
#
# Run by hand (needs mtools, dosfstools, photorec from the testdisk package):
#   bench/deep_scan_bench.sh [WORKDIR] [SIZE]
# REUSE=1 times an image made by an earlier run again; PHOTOS and SPC
# (sectors per cluster) change the card.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${VELMIRA_CLI:-$here/build/velmira-cli}
corpus=${VELMIRA_CORPUS:-$here/../shared/corpus}
work=${1:-/tmp/velmira-deep-bench}
size=${2:-4G}
photos=${PHOTOS:-2000}
spc=${SPC:-64}   # sectors per cluster: 32 KiB clusters, as cameras format large cards
img="$work/card.img"
export XDG_DATA_HOME="$work/data"
if [ "${REUSE:-0}" = 1 ] && [ -f "$img" ]; then
  echo "reusing $img"
else
rm -rf "$work"; mkdir -p "$work/photos"

python3 - "$corpus" "$work/photos" "$photos" <<'PY'
import os, random, sys
corpus, out, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
random.seed(7)
bases = []
for line in open(os.path.join(corpus, "_truth/media_files.tsv"), encoding="utf-8"):
    f = line.rstrip("\n").split("\t")
    if len(f) >= 2 and f[0].lower().endswith((".jpg", ".jpeg")) and 50000 < int(f[1]) < 1 << 20:
        data = open(os.path.join(corpus, f[0]), "rb").read()
        if data[:2] == b"\xff\xd8": bases.append(data)
assert bases, "no JPEG samples in the corpus"
noise = bytes(random.randrange(1, 255) for _ in range(65533))
for i in range(count):
    folder = os.path.join(out, "DCIM", "%dCANON" % (100 + i // 200))
    os.makedirs(folder, exist_ok=True)
    base = bases[i % len(bases)]
    pad = b"".join(b"\xff\xef\xff\xff" + noise[:65533] for _ in range(random.randrange(12, 20)))
    # The padding goes after the first segment (APP0 JFIF or APP1 Exif), which
    # is where carvers look for the header.
    cut = 4 + int.from_bytes(base[4:6], "big")
    with open(os.path.join(folder, "IMG_%04d.JPG" % i), "wb") as f:
        f.write(base[:cut] + pad + base[cut:])
PY
truncate -s "$size" "$img"
mkfs.vfat -F 32 -s "$spc" -n CARD "$img" >/dev/null
mcopy -i "$img" -s "$work/photos/DCIM" ::/
gone=()
for f in "$work"/photos/DCIM/*/IMG_*[02468].JPG; do gone+=("::/DCIM/$(basename "$(dirname "$f")")/$(basename "$f")"); done
mdel -i "$img" "${gone[@]}"
mkfs.vfat -F 32 -s "$spc" -n CARD "$img" >/dev/null
rm -rf "$work/photos"
fi
rm -rf "$work/data" "$work/photorec"
bytes=$(stat -c %s "$img")

cat "$img" >/dev/null; cat "$img" >/dev/null   # into the page cache
t() { /usr/bin/time -f "%e %M" -o "$work/time" "$@"; cat "$work/time"; }
read -r cat_s _ < <(t sh -c "cat '$img' >/dev/null")
read -r vel_s vel_kb < <(t sh -c "'$cli' recover '$img' --list --types jpg --restart >'$work/velmira.list' 2>/dev/null")
vel_found=$(grep -c '\.jpg$' "$work/velmira.list" || true)
pr_s=-; pr_found=-
if command -v photorec >/dev/null; then
  mkdir -p "$work/photorec"
  read -r pr_s _ < <(t sh -c "cd '$work' && photorec /log /d '$work/photorec/recup_dir' /cmd '$img' \
    partition_none,options,paranoid,keep_corrupted_file_no,fileopt,everything,enable,wholespace,search >/dev/null 2>&1 || true")
  pr_found=$(find "$work/photorec" -name '*.jpg' | wc -l)
fi
python3 - "$bytes" "$cat_s" "$vel_s" "$vel_kb" "$vel_found" "$pr_s" "$pr_found" "$photos" <<'PY'
import sys
b, cat_s, vel_s, vel_kb, vel_found, pr_s, pr_found, photos = sys.argv[1:]
b = int(b); mb = b / 1e6
rate = lambda s: "-" if s == "-" else "%.0f MB/s" % (mb / max(float(s), 0.001))
print(f"image: {mb:.0f} MB, {photos} photos, half deleted, card formatted again")
print(f"cat IMAGE > /dev/null   {cat_s:>8} s  {rate(cat_s)}")
print(f"velmira deep scan       {vel_s:>8} s  {rate(vel_s)}  peak {int(vel_kb)/1024:.0f} MiB  photos listed {vel_found}")
print(f"photorec (writes files) {pr_s:>8} s  {rate(pr_s)}  photos carved {pr_found}")
PY
