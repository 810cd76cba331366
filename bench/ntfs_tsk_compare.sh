#!/usr/bin/env bash
# Deleted files recovered by `velmira-cli recover --fast` and by tsk_recover
# on the same NTFS images: a volume written and partly deleted through an
# ntfs-3g mount (nested folders, a resident file, a sparse file, an empty
# file, a file in the root) and the NTFS images of the shared corpus. For
# each image: files each tool wrote, and how many distinct deleted originals
# (name and content) are among them. The corpus volumes' user files are
# deleted here through ntfs-3g first (their listings give the content).
# Run by hand: bench/ntfs_tsk_compare.sh [WORKDIR]   (needs root for FUSE)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${VELMIRA_CLI:-$here/build/velmira-cli}
corpus=${VELMIRA_CORPUS:-$here/../shared/corpus}
work=${1:-/tmp/velmira-ntfs-compare}
rm -rf "$work"
mkdir -p "$work/mnt"
export XDG_DATA_HOME="$work/data"

# Our own image.
img="$work/made.img"
truncate -s 32M "$img"
PATH="$PATH:/sbin:/usr/sbin" mkntfs -F -Q -q -c 1024 "$img" 2>/dev/null
ntfs-3g "$img" "$work/mnt"
python3 - "$work/mnt" "$work/made.sums" <<'PY'
import hashlib, os, sys
root, sums = sys.argv[1], sys.argv[2]
def put(rel, data, holes=None):
    p = os.path.join(root, rel); os.makedirs(os.path.dirname(p), exist_ok=True)
    with open(p, "wb") as f:
        if holes:
            for off, piece in holes: f.seek(off); f.write(piece)
            size = max(o + len(b) for o, b in holes)
            data = bytearray(size)
            for off, piece in holes: data[off:off + len(piece)] = piece
            data = bytes(data)
        else:
            f.write(data)
    return rel, hashlib.sha256(data).hexdigest()
jpg = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00"
deleted = [put("Photos/2024/Summer/beach.jpg", jpg + os.urandom(70000)),
           put("Photos/2024/pieces.doc", None, [(0, os.urandom(5000)), (100000, os.urandom(5000))]),
           put("Docs/note.txt", os.urandom(300)), put("root.txt", b"root file\n"),
           put("empty.txt", b"")]
for i in range(20): deleted.append(put("Music/track%02d.mp3" % i, b"ID3" + os.urandom(20000 + 997 * i)))
put("keep.txt", b"live\n")
for rel, _ in deleted: os.unlink(os.path.join(root, rel))
open(sums, "w").writelines("%s %s\n" % (h, os.path.basename(r)) for r, h in deleted)
PY
umount "$work/mnt"

# name:image:offset (512-byte sectors); gz images are unpacked into WORK.
images=("made:$img:0")
unpack() { local src=$1 out=$2; [ -f "$src" ] && gzip -dc "$src" > "$out" && echo "$out"; }
for pair in ntfs3:msuhanov__dfir_ntfs/test_data/ntfs3.raw.gz:0 \
            ntfs3_attrlist:msuhanov__dfir_ntfs/test_data/ntfs3_attrlist.raw.gz:0 \
            ntfs_index:msuhanov__dfir_ntfs/test_data/ntfs_index.raw.gz:128 \
            ntfs-lastaccess:msuhanov__ntfs-samples/ntfs-lastaccess.raw.gz:128 \
            ntfs-ptrn:msuhanov__ntfs-samples/ntfs-ptrn.raw.gz:128 \
            ntfs-ramslack:msuhanov__ntfs-samples/ntfs-ramslack.raw.gz:128 \
            ntfs-si-vs-fn:msuhanov__ntfs-samples/ntfs-si-vs-fn.raw.gz:128; do
  IFS=: read -r name rel off <<<"$pair"
  out=$(unpack "$corpus/$rel" "$work/$name.img") && images+=("$name:$out:$off")
done
[ -f "$corpus/ColinFinck__ntfs/testdata/testfs1" ] &&
  cp "$corpus/ColinFinck__ntfs/testdata/testfs1" "$work/testfs1.img" && images+=("testfs1:$work/testfs1.img:0")

# The corpus volumes hold (almost) no deleted files: their user files are
# deleted here through ntfs-3g, so that Windows-made volumes are compared on
# real deletions. Expected content: the "hash basename" of each from _truth.
for i in "${!images[@]}"; do
  IFS=: read -r name path off <<<"${images[$i]}"
  [ "$name" = made ] && continue
  truth=$(ls "$corpus"/_truth/*/*/"$(basename "$path" .img)"*.truth.tsv "$corpus"/_truth/*/"$(basename "$path" .img)"*.truth.tsv \
          "$corpus"/_truth/*/*/*/"$(basename "$path" .img)"*.truth.tsv 2>/dev/null | head -n 1 || true)
  [ -n "$truth" ] || continue
  awk -F'\t' '$1=="allocated" && $2 ~ /\/r$/ && $4 !~ /\$/ && $4 !~ /System Volume/ && length($9) == 64 {print $4 "\t" $9}' "$truth" \
    > "$work/$name.files"
  dev=$path
  if [ "$off" != 0 ]; then dev=$(losetup -f --show -o $((off * 512)) "$path"); fi
  if ntfs-3g -o remove_hiberfile "$dev" "$work/mnt" 2>/dev/null; then
    while IFS=$'\t' read -r rel sha; do
      rm -f "$work/mnt/$rel" 2>/dev/null || true
      [ -e "$work/mnt/$rel" ] || echo "$sha $(basename "$rel")"
    done \
      < "$work/$name.files" > "$work/$name.sums"
    umount "$work/mnt"
  fi
  [ "$off" != 0 ] && losetup -d "$dev"
done

# Deleted originals ("hash name" lines of $1) that a file of folder $2 matches
# by content and by name (velmira may add "(n)" before the extension).
matched() {
  python3 - "$1" "$2" <<'PY'
import hashlib, os, re, sys
want = [l.rstrip("\n").split(" ", 1) for l in open(sys.argv[1]) if l.strip()]
have = []
for d, _, files in os.walk(sys.argv[2]):
    for f in files:
        h = hashlib.sha256(open(os.path.join(d, f), "rb").read()).hexdigest()
        have.append((h, f))
found = 0
for h, name in want:
    stem, ext = os.path.splitext(name)
    pat = re.compile(re.escape(stem) + r"(\(\d+\))?" + re.escape(ext) + "$")
    for i, (hh, f) in enumerate(have):
        if hh == h and pat.match(f):
            found += 1
            del have[i]
            break
print("%d/%d" % (found, len(want)))
PY
}

printf '%-16s %9s %9s %11s %11s\n' image velmira tsk "v exact" "tsk exact"  # exact: distinct (name, hash) found / deleted
for entry in "${images[@]}"; do
  IFS=: read -r name path off <<<"$entry"
  vout="$work/out-$name-velmira" tout="$work/out-$name-tsk"
  if [ "$off" = 0 ]; then
    "$cli" recover "$path" --fast --to "$vout" >/dev/null 2>&1 || true
  else
    sectors=$(( $(stat -c %s "$path") / 512 - off ))
    VELMIRA_DRIVES="$path" "$cli" recover "disk:0:$off:$sectors" --fast --to "$vout" >/dev/null 2>&1 || true
  fi
  tsk_recover -o "$off" "$path" "$tout" >/dev/null 2>&1 || true
  mkdir -p "$vout" "$tout"
  vcount=$(find "$vout" -type f | wc -l) tcount=$(find "$tout" -type f | wc -l)
  vexact=- texact=-
  if [ -s "$work/$name.sums" ]; then
    vexact=$(matched "$work/$name.sums" "$vout") texact=$(matched "$work/$name.sums" "$tout")
  fi
  printf '%-16s %9s %9s %11s %11s\n' "$name" "$vcount" "$tcount" "$vexact" "$texact"
done
echo "velmira writes only files of the five"
echo "categories (.bin and extensionless names are left out), tsk_recover writes every unallocated file."
