#!/bin/sh
# Writes seed inputs for partition_table_fuzz into DIR: small MBR, extended
# and GPT tables made with sfdisk, some holding a FAT12 volume, each cut to
# the bytes the tables use (the fuzz target pads the drive to 1 MiB again).
# Usage: fuzz/partition_table_seeds.sh DIR [SAMPLE...]
# Extra SAMPLE files (.gz is unpacked) are added whole, up to 1 MiB.
set -eu
out=${1:?usage: partition_table_seeds.sh DIR [SAMPLE...]}
shift
mkdir -p "$out"
PATH="$PATH:/sbin:/usr/sbin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# seed NAME KEEP_BYTES SCRIPT: a 1 MiB drive with the table SCRIPT.
seed() {
  truncate -s 1M "$work/d.img"
  printf '%b' "$3" | sfdisk -q --no-reread --no-tell-kernel "$work/d.img" >/dev/null 2>&1
  head -c "$2" "$work/d.img" >"$out/$1"
  rm -f "$work/d.img"
}

seed mbr-one 512 'label: dos\nstart=63, size=1000, type=c\n'
seed mbr-four 512 'label: dos\nstart=63, size=100, type=7\nstart=200, size=100, type=6\nstart=400, size=100, type=83, bootable\nstart=600, size=1000, type=ee\n'
seed mbr-extended 65536 'label: dos\nstart=63, size=100, type=b\nstart=200, size=1800, type=5\nstart=264, size=100, type=83\nstart=500, size=100, type=7\nstart=700, size=100, type=c\n'
seed mbr-ext-lba 65536 'label: dos\nstart=100, size=1900, type=f\nstart=164, size=50, type=82\nstart=300, size=60, type=6\n'
seed gpt-two 17408 'label: gpt\nfirst-lba: 34\nstart=34, size=500, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\nstart=600, size=1000\n'
seed gpt-many 17408 'label: gpt\nfirst-lba: 34\nstart=34, size=50\nstart=100, size=50\nstart=200, size=50, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\nstart=300, size=50, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC\nstart=400, size=50\n'
seed sgi 512 'label: sgi\n' || true
seed sun 512 'label: sun\n' || true

# A FAT12 volume inside an MBR partition and one filling a drive.
truncate -s 1M "$work/d.img"
printf 'label: dos\nstart=63, size=1200, type=1\n' | sfdisk -q --no-reread --no-tell-kernel "$work/d.img" >/dev/null 2>&1
mkfs.vfat -F 12 -n SEEDFAT -C "$work/fat.img" 600 >/dev/null 2>&1
dd if="$work/fat.img" of="$work/d.img" bs=512 seek=63 conv=notrunc status=none
head -c 65536 "$work/d.img" >"$out/mbr-fat12"
head -c 32768 "$work/fat.img" >"$out/fat12-whole"

for sample in "$@"; do
  name=$(basename "$sample" .gz)
  case "$sample" in
    *.gz) gzip -dc "$sample" | head -c 1048576 >"$out/sample-$name" ;;
    *) head -c 1048576 "$sample" >"$out/sample-$name" ;;
  esac
done
ls "$out" | wc -l
