#!/usr/bin/env bash
# Lays the corpus's media samples into a raw image (sector-aligned, one sector
# of noise between files), carves it with velmira-cli carve and with PhotoRec,
# and counts per extension how many samples each got back byte for byte, and
# what share of the files each wrote are whole planted files.
# WORKDIR/planted.tsv lists the samples in order (sha256, extension, path,
# first sector, size); WORKDIR/misses.tsv shows, for every sample velmira did
# not get back, what the carver found at its first sector.
# With VELMIRA_PREPARED=1 the medium WORKDIR/raw.img and WORKDIR/planted.tsv
# are taken as they are (bench/carve_mixed_medium.sh builds them).
# Run by hand: bench/carve_vs_photorec.sh [WORKDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${VELMIRA_CLI:-$here/build/velmira-cli}
corpus=${VELMIRA_CORPUS:-$here/../shared/corpus}
work=${1:-/tmp/velmira-carve-compare}
export XDG_DATA_HOME="$work/data"
if [ "${VELMIRA_PREPARED:-0}" != 1 ]; then
rm -rf "$work"; mkdir -p "$work"
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
fi
rm -rf "$work/velmira" "$work/photorec" "$work/data"
"$cli" carve "$work/raw.img" --to "$work/velmira" >/dev/null 2>&1 || true
"$cli" carve "$work/raw.img" --list 2>/dev/null > "$work/velmira.list" || true
mkdir -p "$work/photorec"
if command -v photorec >/dev/null; then
  # PhotoRec writes its log into the current folder.
  (cd "$work" && photorec /log /d "$work/photorec/recup_dir" /cmd "$work/raw.img" \
    partition_none,options,paranoid,keep_corrupted_file_no,fileopt,everything,enable,wholespace,search \
    >/dev/null 2>&1) || true
fi
# One line per written file (PhotoRec's report.xml aside): its sha256 and path.
sums() { [ -d "$1" ] && find "$1" -type f ! -name report.xml -print0 | xargs -0 -r sha256sum || true; }
sums "$work/velmira" > "$work/velmira.sums"
sums "$work/photorec" > "$work/photorec.sums"
python3 - "$work" "$corpus" <<'PY'
import os, sys, collections
work, corpus = sys.argv[1], sys.argv[2]
# Samples that fail their own format's integrity check in the corpus's truth
# table (a PNG cut inside a chunk, a PDF without an end marker): no carver can
# know where such a file was meant to end, so they are counted apart too.
damaged = set()
truth = os.path.join(corpus, "_truth/media_files.tsv")
if os.path.exists(truth):
    for line in open(truth, encoding="utf-8"):
        f = line.rstrip("\n").split("\t")
        if len(f) >= 5 and not line.startswith("#") and ("FAIL" in f[4] or "no %%EOF" in f[4]):
            damaged.add(f[0])
def written(tool):
    return [line.split(None, 1)[0] for line in open(f"{work}/{tool}.sums") if line.strip()]
vw, pw = written("velmira"), written("photorec")
v, p = set(vw), set(pw)
planted = set(line.split("\t", 1)[0] for line in open(f"{work}/planted.tsv"))
carved = {}
for line in open(f"{work}/velmira.list"):
    f = line.split()
    if len(f) == 3 and f[0].isdigit(): carved[int(f[1])] = f"{f[2]}:{f[0]}"
per = collections.OrderedDict()
sound = [0, 0]
# Files made here with Debian's tools (bench/carve_mixed_medium.sh) apart from
# the corpus's samples: planted, velmira, photorec.
made = [0, 0, 0]
with open(f"{work}/misses.tsv", "w") as misses:
    misses.write("# ext\tsize\tcarved at its first sector (name:length)\tphotorec\tpath\n")
    for line in open(f"{work}/planted.tsv"):
        sha, ext, path, sector, size = line.rstrip("\n").split("\t")
        c = per.setdefault(ext, [0, 0, 0, []])
        c[0] += 1; c[1] += sha in v; c[2] += sha in p
        if path not in damaged: sound[0] += 1; sound[1] += sha in v
        if path.startswith("made/"): made[0] += 1; made[1] += sha in v; made[2] += sha in p
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
share = lambda a, b: f"{100.0 * a / b:.1f}%" if b else "-"
print(f"byte for byte: velmira {share(tot[1], tot[0])}, photorec {share(tot[2], tot[0])}")
print(f"byte for byte, the {sound[0]} samples that pass their integrity check: velmira {sound[1]}, "
      f"{share(sound[1], sound[0])} (target >= 98%)")
if made[0]:
    print(f"byte for byte, the {made[0]} files made with Debian's tools: velmira {made[1]}, {share(made[1], made[0])}; "
          f"photorec {made[2]}, {share(made[2], made[0])}")
    print(f"byte for byte, the {tot[0] - made[0]} corpus samples: velmira {tot[1] - made[1]}, "
          f"{share(tot[1] - made[1], tot[0] - made[0])}; photorec {tot[2] - made[2]}, "
          f"{share(tot[2] - made[2], tot[0] - made[0])}")
for tool, files in (("velmira", vw), ("photorec", pw)):
    whole = sum(1 for s in files if s in planted)
    print(f"{tool} wrote {len(files)} files, {whole} whole planted files: {share(whole, len(files))} (target >= 95%)")
for ext, (n, a, b, missed) in sorted(per.items()):
    for m in missed: print(f"  photorec only: {m}")
PY
