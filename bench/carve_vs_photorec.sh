#!/usr/bin/env bash
# Lays the corpus's media samples into a raw image (sector-aligned, one sector
# of noise between files), carves it with velmira-cli carve and with PhotoRec,
# and counts per extension how many samples each got back byte for byte.
# WORKDIR/planted.tsv lists the samples in order (sha256, extension, path,
# first sector, size); WORKDIR/misses.tsv shows, for every sample velmira did
# not get back, what the carver found at its first sector.
# Run by hand: bench/carve_vs_photorec.sh [WORKDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${VELMIRA_CLI:-$here/build/velmira-cli}
corpus=${VELMIRA_CORPUS:-$here/../shared/corpus}
work=${1:-/tmp/velmira-carve-compare}
rm -rf "$work"; mkdir -p "$work"
export XDG_DATA_HOME="$work/data"

python3 - "$corpus" "$work" <<'PY'
import os, random, sys, hashlib
corpus, work = sys.argv[1], sys.argv[2]
random.seed(5)
rows = []
for line in open(os.path.join(corpus, "_truth/media_files.tsv"), encoding="utf-8"):
    if line.startswith("#"): continue
    f = line.rstrip("\n").split("\t")
    if len(f) < 3: continue
    path, size, sha = f[0], int(f[1]), f[2]
    if size == 0 or size > 4 << 20: continue
    rows.append((path, size, sha))
with open(os.path.join(work, "raw.img"), "wb") as img, open(os.path.join(work, "planted.tsv"), "w") as out:
    for path, size, sha in rows:
        img.write(bytes(random.getrandbits(8) | 1 for _ in range(512)))
        data = open(os.path.join(corpus, path), "rb").read()
        ext = os.path.splitext(path)[1].lower().lstrip(".") or "-"
        out.write(f"{sha}\t{ext}\t{path}\t{img.tell() // 512}\t{len(data)}\n")
        img.write(data)
        img.write(b"\0" * ((-len(data)) % 512))
    img.write(b"\0" * (1 << 20))
PY
"$cli" carve "$work/raw.img" --to "$work/velmira" >/dev/null 2>&1 || true
"$cli" carve "$work/raw.img" --list 2>/dev/null > "$work/velmira.list" || true
mkdir -p "$work/photorec"
if command -v photorec >/dev/null; then
  # PhotoRec writes its log into the current folder.
  (cd "$work" && photorec /log /d "$work/photorec/recup_dir" /cmd "$work/raw.img" \
    partition_none,options,paranoid,keep_corrupted_file_no,fileopt,everything,enable,wholespace,search \
    >/dev/null 2>&1) || true
fi
sums() { [ -d "$1" ] && find "$1" -type f -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | sort -u || true; }
sums "$work/velmira" > "$work/velmira.sums"
sums "$work/photorec" > "$work/photorec.sums"
python3 - "$work" <<'PY'
import sys, collections
work = sys.argv[1]
v = set(open(f"{work}/velmira.sums").read().split())
p = set(open(f"{work}/photorec.sums").read().split())
carved = {}
for line in open(f"{work}/velmira.list"):
    f = line.split()
    if len(f) == 3 and f[0].isdigit(): carved[int(f[1])] = f"{f[2]}:{f[0]}"
per = collections.OrderedDict()
with open(f"{work}/misses.tsv", "w") as misses:
    misses.write("# ext\tsize\tcarved at its first sector (name:length)\tphotorec\tpath\n")
    for line in open(f"{work}/planted.tsv"):
        sha, ext, path, sector, size = line.rstrip("\n").split("\t")
        c = per.setdefault(ext, [0, 0, 0, []])
        c[0] += 1; c[1] += sha in v; c[2] += sha in p
        if sha in p and sha not in v: c[3].append(path)
        if sha not in v:
            got = "yes" if sha in p else "no"
            misses.write(f"{ext}\t{size}\t{carved.get(int(sector), '-')}\t{got}\t{path}\n")
print(f"{'ext':8} {'planted':>7} {'velmira':>7} {'photorec':>8}")
tot = [0, 0, 0]
for ext, (n, a, b, missed) in sorted(per.items()):
    print(f"{ext:8} {n:7} {a:7} {b:8}")
    tot[0] += n; tot[1] += a; tot[2] += b
print(f"{'total':8} {tot[0]:7} {tot[1]:7} {tot[2]:8}")
for ext, (n, a, b, missed) in sorted(per.items()):
    for m in missed: print(f"  photorec only: {m}")
PY
