#!/usr/bin/env bash
# Fast FAT scan and recovery against The Sleuth Kit on one image, side by side:
# a 4 GiB FAT32 card with 20,000 photos in 40 folders, 5,000 of them deleted.
# Run by hand (it writes about 1.5 GB): bench/fat_fast_scan_bench.sh [WORKDIR]
set -euo pipefail
cli=${VELMIRA_CLI:-$(dirname "$0")/../build/velmira-cli}
work=${1:-/tmp/velmira-fat-bench}
rm -rf "$work"
mkdir -p "$work/files"
export MTOOLS_SKIP_CHECK=1 XDG_DATA_HOME="$work/data"

python3 - "$work/files" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
for d in range(40):
    folder = os.path.join(root, "D%03d" % d)
    os.mkdir(folder)
    for i in range(500):
        n = d * 500 + i
        size = random.randint(8 * 1024, 120 * 1024)
        tag = "X" if n % 4 == 0 else "K"      # X: deleted later
        with open(os.path.join(folder, "IMG%05d%s.JPG" % (n, tag)), "wb") as f:
            f.write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + os.urandom(size - 11))
PY
img="$work/card.img"
truncate -s 4G "$img"
PATH="$PATH:/sbin:/usr/sbin" mkfs.vfat -F 32 "$img" >/dev/null
( cd "$work/files" && mcopy -i "$img" -s D* ::/ )
for d in "$work"/files/D*; do mdel -i "$img" "::/$(basename "$d")/*X.JPG"; done
sync

t() { local s=$(date +%s.%N); "$@" >/dev/null 2>&1; echo "$(echo "$(date +%s.%N) - $s" | bc)"; }
cat "$img" >/dev/null   # page cache warm for both tools

vscan=$(t "$cli" recover "$img" --fast --list --types jpg)
fscan=$(t fls -r -d "$img")
vrec=$(t "$cli" recover "$img" --fast --to "$work/velmira-out" --types jpg)
trec=$(t tsk_recover "$img" "$work/tsk-out")
vcount=$(find "$work/velmira-out" -type f | wc -l)
tcount=$(find "$work/tsk-out" -type f | wc -l)
vbytes=$(du -sb "$work/velmira-out" | cut -f1)
tbytes=$(du -sb "$work/tsk-out" | cut -f1)

# Byte-for-byte: deleted originals against what each tool wrote.
same() {  # $1 = output folder; counts files whose content equals an original
  (cd "$1" && find . -type f -print0 | xargs -0 sha256sum) | cut -d' ' -f1 | sort > "$work/out.sums"
  comm -12 "$work/out.sums" "$work/deleted.sums" | wc -l
}
(cd "$work/files" && find . -name '*X.JPG' -print0 | xargs -0 sha256sum) | cut -d' ' -f1 | sort > "$work/deleted.sums"
printf '%-28s %12s %12s\n' "" "velmira" "tsk"
printf '%-28s %12s %12s\n' "scan / fls -rd (s)" "$vscan" "$fscan"
printf '%-28s %12s %12s\n' "recovery (s)" "$vrec" "$trec"
printf '%-28s %12s %12s\n' "files written" "$vcount" "$tcount"
printf '%-28s %12.1f %12.1f\n' "recovered MB/s" "$(echo "$vbytes / 1048576 / $vrec" | bc -l)" "$(echo "$tbytes / 1048576 / $trec" | bc -l)"
printf '%-28s %12s %12s\n' "deleted files byte-exact" "$(same "$work/velmira-out")" "$(same "$work/tsk-out")"
