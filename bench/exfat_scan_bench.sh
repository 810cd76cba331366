#!/usr/bin/env bash
# exFAT scans, timed on page-cached images:
#  1. the fast scan of a 32 GiB sparse SDXC card (mkfs.exfat defaults) holding
#     FILES small photos in 40 camera folders, a quarter of them deleted;
#  2. the combined deep scan of a DEEP-sized card filled with files and then
#     quick-formatted, next to reading the same image with cat (the deep scan
#     should keep at least half that speed).
# Files are written through exfat-fuse on a loop device, so this needs root,
# /dev/fuse, exfatprogs and exfat-fuse. Run by hand:
#   bench/exfat_scan_bench.sh [WORKDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${VELMIRA_CLI:-$here/build/velmira-cli}
work=${1:-/tmp/velmira-exfat-bench}
files=${FILES:-10000}
deep=${DEEP:-1G}
export XDG_DATA_HOME="$work/data"
rm -rf "$work"; mkdir -p "$work/mnt" "$work/data"

loop=""
cleanup() {
  mountpoint -q "$work/mnt" && umount "$work/mnt" || true
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
}
trap cleanup EXIT
mount_card() { loop=$(losetup -f --show "$1"); mount.exfat-fuse "$loop" "$work/mnt"; }
unmount_card() { umount "$work/mnt"; losetup -d "$loop"; loop=""; }
t() { local s=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; echo "$(date +%s.%N) - $s" | bc; }

# ---- 1. fast scan of a 32 GiB card ----------------------------------------
card="$work/card32.img"
truncate -s 32G "$card"
mkfs.exfat "$card" >/dev/null
mount_card "$card"
python3 - "$work/mnt" "$files" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(7)
for n in range(count):
    folder = os.path.join(root, "DCIM", "%dCANON" % (100 + n % 40))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "IMG_%05d.JPG" % n), "wb") as f:
        f.write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + os.urandom(random.randint(4096, 24576)))
PY
find "$work/mnt/DCIM" -name 'IMG_*[048].JPG' -delete
unmount_card
deleted=$(( files * 3 / 10 ))
cat "$card" >/dev/null 2>&1 || true
fast=$(t "$cli" recover "$card" --fast --list)
listed=$("$cli" recover "$card" --fast --list 2>/dev/null | grep -c 'IMG_' || true)
echo "fast scan, 32 GiB card, $files photos, about $deleted deleted: ${fast}s, $listed listed"

# ---- 2. deep scan of a quick-formatted card --------------------------------
img="$work/deep.img"
truncate -s "$deep" "$img"
mkfs.exfat "$img" >/dev/null
mount_card "$img"
avail=$(df -B1M --output=avail "$work/mnt" | tail -1)
n=$(( avail * 9 / 10 / 2 ))
python3 - "$work/mnt" "$n" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "DCIM", "%dCANON" % (100 + i // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "MVI_%05d.bin" % i), "wb") as f:
        f.write(os.urandom(2 << 20))
PY
unmount_card
mkfs.exfat "$img" >/dev/null
bytes=$(stat -c %s "$img")
cat "$img" >/dev/null
readcat=$(t cat "$img")
deeptime=$(t "$cli" recover "$img" --list --restart)
found=$("$cli" recover "$img" --list --continue 2>/dev/null | grep -c 'MVI_' || true)
catspeed=$(echo "$bytes / $readcat / 1000000" | bc)
deepspeed=$(echo "$bytes / $deeptime / 1000000" | bc)
echo "deep scan, $deep quick-formatted card with $n files: ${deeptime}s (${deepspeed} MB/s), $found found by name"
echo "cat of the same image: ${readcat}s (${catspeed} MB/s); deep scan / cat = $(echo "scale=2; $deepspeed / $catspeed" | bc)"
