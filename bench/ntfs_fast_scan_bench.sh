#!/usr/bin/env bash
# Fast NTFS scan and recovery against The Sleuth Kit on one image, side by
# side: a 2 GiB NTFS volume with 50,000 photos in 50 folders, written through
# an ntfs-3g mount, 10,000 of them deleted. Needs root (FUSE), mkntfs,
# ntfs-3g, fls and tsk_recover. Run by hand (it writes about 2.5 GB):
#   bench/ntfs_fast_scan_bench.sh [WORKDIR]
set -euo pipefail
cli=${VELMIRA_CLI:-$(dirname "$0")/../build/velmira-cli}
work=${1:-/tmp/velmira-ntfs-bench}
rm -rf "$work"
mkdir -p "$work/mnt"
export XDG_DATA_HOME="$work/data"

img="$work/disk.img"
truncate -s 2G "$img"
PATH="$PATH:/sbin:/usr/sbin" mkntfs -F -Q -q "$img" 2>/dev/null
ntfs-3g "$img" "$work/mnt"
trap 'umount "$work/mnt" 2>/dev/null || true' EXIT
python3 - "$work/mnt" "$work/deleted.sums" <<'PY'
import hashlib, os, random, sys
root, sums = sys.argv[1], sys.argv[2]
random.seed(7)
deleted = []
for d in range(50):
    folder = os.path.join(root, "D%03d" % d)
    os.mkdir(folder)
    for i in range(1000):
        n = d * 1000 + i
        size = random.randint(4 * 1024, 60 * 1024)
        data = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + os.urandom(size - 11)
        path = os.path.join(folder, "IMG%05d.JPG" % n)
        with open(path, "wb") as f:
            f.write(data)
        if n % 5 == 0:  # every fifth file is deleted below
            deleted.append((path, hashlib.sha256(data).hexdigest()))
for path, _ in deleted:
    os.unlink(path)
with open(sums, "w") as f:
    f.writelines(h + "\n" for _, h in sorted(deleted, key=lambda x: x[1]))
PY
umount "$work/mnt"
trap - EXIT
sort -o "$work/deleted.sums" "$work/deleted.sums"

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

same() {  # $1 = output folder; counts files whose content equals a deleted original
  (cd "$1" && find . -type f -print0 | xargs -0 -r sha256sum) | cut -d' ' -f1 | sort > "$work/out.sums"
  comm -12 "$work/out.sums" "$work/deleted.sums" | wc -l
}
printf '%-28s %12s %12s\n' "" "velmira" "tsk"
printf '%-28s %12s %12s\n' "scan / fls -rd (s)" "$vscan" "$fscan"
printf '%-28s %12s %12s\n' "recovery (s)" "$vrec" "$trec"
printf '%-28s %12s %12s\n' "files written" "$vcount" "$tcount"
printf '%-28s %12.1f %12.1f\n' "recovered MB/s" "$(echo "$vbytes / 1048576 / $vrec" | bc -l)" "$(echo "$tbytes / 1048576 / $trec" | bc -l)"
printf '%-28s %12s %12s\n' "deleted files byte-exact" "$(same "$work/velmira-out")" "$(same "$work/tsk-out")"
