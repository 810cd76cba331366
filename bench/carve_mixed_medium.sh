#!/usr/bin/env bash
# A raw medium of common files of every family the carver knows, the way a
# card or a disk leaves them when the file system is gone: corpus samples and
# files made here with Debian's tools (photos and camera formats, audio,
# video, documents, archives, databases, executables), laid at random sector
# offsets, some back to back, the slack of their last sector zero or noise,
# noise or zeros between them. Then bench/carve_vs_photorec.sh carves it with
# velmira-cli carve --to and with PhotoRec and prints, per extension, the
# files planted and those each got back byte for byte, and the share of the
# files each wrote that are whole planted files (sha256 of a planted file).
# The carver aims at >= 98% byte for byte and >= 95% whole.
#
# Needs these Debian packages (installed when missing and run as root):
#   ffmpeg webp libheif-examples flac vorbis-tools p7zip-full sqlite3 zip
#   imagemagick testdisk python3 qpdf gcc-mingw-w64-x86-64
#   libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui
# Run by hand: bench/carve_mixed_medium.sh [WORKDIR] [SEED]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${VELMIRA_CORPUS:-$here/../shared/corpus}
[ -d "$corpus" ] || corpus=/work/shared/corpus
work=${1:-/tmp/velmira-carve-mixed}
seed=${2:-7}

declare -A package=([ffmpeg]=ffmpeg [cwebp]=webp [heif-enc]=libheif-examples [flac]=flac [oggenc]=vorbis-tools
                    [7z]=p7zip-full [sqlite3]=sqlite3 [zip]=zip [convert]=imagemagick [photorec]=testdisk
                    [qpdf]=qpdf [x86_64-w64-mingw32-gcc]=gcc-mingw-w64-x86-64
                    [soffice]="libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui")
missing=()
# ImageMagick's convert, not a stand-in of the same name earlier in PATH.
imagemagick() { for c in /usr/bin/convert convert; do "$c" -version 2>/dev/null | grep -q ImageMagick && echo "$c" && return; done; }
for tool in "${!package[@]}"; do
  if [ "$tool" = convert ]; then [ -n "$(imagemagick)" ] || missing+=(imagemagick); continue; fi
  # shellcheck disable=SC2206 # a tool may need more than one package
  command -v "$tool" >/dev/null || missing+=(${package[$tool]})
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "missing packages (files of their formats are left out): ${missing[*]}" >&2
  fi
fi
have() { command -v "$1" >/dev/null; }
convert=$(imagemagick || true)

rm -rf "$work"; mkdir -p "$work/made"
made=$work/made
cd "$made"
quiet() { "$@" >/dev/null 2>&1 || echo "could not make: $*" >&2; }

# Pictures: a few sizes each, so that small and multi-sector files both occur.
for size in 64 320 1200; do
  if [ -n "$convert" ]; then
    quiet "$convert" -seed "$seed" -size ${size}x$((size * 3 / 4)) plasma:fractal -quality 85 "pic$size.jpg"
    quiet "$convert" "pic$size.jpg" "pic$size.png"
    quiet "$convert" "pic$size.jpg" -colors 64 "pic$size.gif"
    quiet "$convert" "pic$size.jpg" "pic$size.bmp"
    quiet "$convert" "pic$size.jpg" -compress lzw "pic$size.tif"
    quiet "$convert" "pic$size.jpg" "pic$size.psd"
  fi
  if have cwebp && [ -f "pic$size.png" ]; then quiet cwebp -q 80 "pic$size.png" -o "pic$size.webp"; fi
  if have heif-enc && [ -f "pic$size.png" ]; then
    quiet heif-enc -q 60 "pic$size.png" -o "pic$size.heic"
    quiet heif-enc -A -q 60 "pic$size.png" -o "pic$size.avif"
  fi
done
[ -n "$convert" ] && quiet "$convert" -seed "$seed" -size 32x32 plasma:fractal "icon.ico"

# Audio and video from ffmpeg's own test sources.
if have ffmpeg; then
  for secs in 1 4; do
    ff() { quiet ffmpeg -nostdin -y -loglevel error "$@"; }
    ff -f lavfi -i "sine=frequency=440:duration=$secs" "tone$secs.wav"
    ff -f lavfi -i "sine=frequency=660:duration=$secs" -c:a libmp3lame -b:a 96k "tone$secs.mp3"
    ff -f lavfi -i "sine=frequency=550:duration=$secs" -c:a aac -b:a 96k "tone$secs.m4a"
    ff -f lavfi -i "testsrc=duration=$secs:size=160x120:rate=10" -pix_fmt yuv420p "clip$secs.mp4"
    ff -f lavfi -i "testsrc=duration=$secs:size=160x120:rate=10" -pix_fmt yuv420p "clip$secs.mov"
    ff -f lavfi -i "testsrc=duration=$secs:size=160x120:rate=10" -c:v mjpeg "clip$secs.avi"
    ff -f lavfi -i "testsrc=duration=$secs:size=160x120:rate=10" "clip$secs.mkv"
    ff -f lavfi -i "testsrc=duration=$secs:size=160x120:rate=10" -c:v libvpx -b:v 200k "clip$secs.webm"
    ff -f lavfi -i "testsrc=duration=$secs:size=160x120:rate=10" -c:v flv1 "clip$secs.flv"
    if have flac && [ -f "tone$secs.wav" ]; then quiet flac -s -f "tone$secs.wav" -o "tone$secs.flac"; fi
    if have oggenc && [ -f "tone$secs.wav" ]; then quiet oggenc -Q "tone$secs.wav" -o "tone$secs.ogg"; fi
  done
  # Broadcast and phone video.
  ff -f lavfi -i "testsrc=duration=3:size=160x120:rate=10" -f lavfi -i "sine=duration=3" -c:v mpeg2video -c:a mp2 \
     "clip3.ts"
  ff -f lavfi -i "testsrc=duration=2:size=160x120:rate=10" -c:v libx264 -f mpegts "clip2.ts"
  ff -f lavfi -i "testsrc=duration=3:size=176x144:rate=10" -f lavfi -i "sine=duration=3" -c:v h263 -c:a aac \
     -ar 8000 "clip3.3gp"
fi

# Documents, archives, databases.
python3 - <<'PY'
import zipfile
def ooxml_free_zip(name, mimetype, files):
    with zipfile.ZipFile(name, "w") as z:
        z.writestr(zipfile.ZipInfo("mimetype"), mimetype)  # stored, first: as OpenDocument and EPUB want
        for path, text in files:
            z.writestr(path, text, compress_type=zipfile.ZIP_DEFLATED)
body = "<p>" + "A page of text for the carving bench. " * 200 + "</p>"
ooxml_free_zip("letter.odt", "application/vnd.oasis.opendocument.text",
               [("content.xml", "<office:document-content>" + body + "</office:document-content>"),
                ("META-INF/manifest.xml", "<manifest/>")])
ooxml_free_zip("sheet.ods", "application/vnd.oasis.opendocument.spreadsheet",
               [("content.xml", "<office:document-content>" + body + "</office:document-content>"),
                ("META-INF/manifest.xml", "<manifest/>")])
ooxml_free_zip("book.epub", "application/epub+zip",
               [("META-INF/container.xml", "<container/>"), ("OEBPS/ch1.xhtml", body)])
with zipfile.ZipFile("bundle.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("notes.txt", body * 3)
    z.writestr("more/readme.txt", "readme " * 500)
PY
for f in pic320.png tone1.wav; do
  if [ -f "$f" ]; then
    have 7z && quiet 7z a -bd "packed_$f.7z" "$f"
    gzip -9 -c "$f" > "packed_$f.gz"
  fi
done
# What an office suite writes: text, sheets and slides in both Office formats,
# OpenDocument and PDF (a linearized copy too).
if have soffice; then
  python3 - <<'PY'
rows = "".join(f"<tr><td>{i}</td><td>{i * i}</td></tr>" for i in range(200))
open("report.html", "w").write("<html><body><h1>Trip report</h1><p>" + "Notes from the field, day by day. " * 300
                               + "</p><table>" + rows + "</table></body></html>")
open("figures.csv", "w").write("a,b,c\n" + "".join(f"{i},{i * 7},item {i}\n" for i in range(1, 301)))
slides = "".join(f'<draw:page draw:name="s{i}" draw:master-page-name="Default"><draw:frame svg:x="2cm" svg:y="2cm" '
                 f'svg:width="20cm" svg:height="3cm"><draw:text-box><text:p>Slide {i}: quarterly figures</text:p>'
                 f'</draw:text-box></draw:frame></draw:page>' for i in range(1, 9))
ns = " ".join(f'xmlns:{k}="urn:oasis:names:tc:opendocument:xmlns:{v}"' for k, v in
              (("office", "office:1.0"), ("draw", "drawing:1.0"), ("text", "text:1.0"),
               ("svg", "svg-compatible:1.0"), ("style", "style:1.0")))
open("deck.fodp", "w").write(f'<?xml version="1.0" encoding="UTF-8"?><office:document {ns} office:version="1.2" '
                             'office:mimetype="application/vnd.oasis.opendocument.presentation"><office:master-styles>'
                             '<style:master-page style:name="Default"/></office:master-styles><office:body>'
                             f'<office:presentation>{slides}</office:presentation></office:body></office:document>')
PY
  office() { HOME="$work/office-home" quiet soffice --headless --convert-to "$1" "$2"; }
  for to in "doc:MS Word 97" "docx:MS Word 2007 XML" odt pdf; do office "$to" report.html; done
  for to in xls xlsx ods; do office "$to" figures.csv; done
  for to in ppt pptx odp; do office "$to" deck.fodp; done
  rm -f report.html figures.csv deck.fodp
  if have qpdf && [ -f report.pdf ]; then quiet qpdf --linearize report.pdf report-linearized.pdf; fi
fi
# Windows programs and a library, with and without their symbol table.
if have x86_64-w64-mingw32-gcc; then
  printf '#include <stdio.h>\nint main(void) { puts("carving bench"); return 0; }\n' > hello.c
  quiet x86_64-w64-mingw32-gcc -O2 hello.c -o hello.exe
  quiet x86_64-w64-mingw32-gcc -O2 -s hello.c -o hello-stripped.exe
  quiet x86_64-w64-mingw32-gcc -O2 -shared hello.c -o hello.dll
  rm -f hello.c
fi
if have sqlite3; then
  quiet sqlite3 small.db "create table t(a, b); insert into t values (1, 'one'), (2, 'two');"
  quiet sqlite3 large.db "create table t(a, b); with recursive n(i) as (select 1 union all select i + 1 from n
                            where i < 20000) insert into t select i, hex(randomblob(16)) from n;"
fi
find "$made" -type f -empty -delete

# The layout: every sample of a carvable family, corpus and made, shuffled.
python3 - "$corpus" "$work" "$seed" <<'PY'
import hashlib, os, random, sys
corpus, work, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(seed)
carvable = {"jpg", "jpeg", "png", "gif", "bmp", "tif", "tiff", "psd", "ico", "webp", "heic", "avif", "cr2", "cr3",
            "nef", "arw", "dng", "orf", "rw2", "raf", "mp3", "wav", "flac", "ogg", "m4a", "mp4", "mov", "avi",
            "mkv", "webm", "flv", "3gp", "pdf", "doc", "xls", "ppt", "docx", "xlsx", "pptx", "odt", "ods", "odp",
            "epub", "zip", "rar", "7z", "gz", "exe", "dll", "db", "sqlite", "jar", "apk", "msg", "ts", "mts"}
samples = []
truth = os.path.join(corpus, "_truth/media_files.tsv")
if os.path.exists(truth):
    for line in open(truth, encoding="utf-8"):
        if line.startswith("#"): continue
        f = line.rstrip("\n").split("\t")
        if len(f) < 3: continue
        ext = os.path.splitext(f[0])[1].lower().lstrip(".")
        if ext in carvable and 0 < int(f[1]) <= 8 << 20:
            samples.append((os.path.join(corpus, f[0]), ext))
made = os.path.join(work, "made")
for name in sorted(os.listdir(made)):
    samples.append((os.path.join(made, name), os.path.splitext(name)[1].lower().lstrip(".")))
rng.shuffle(samples)
with open(os.path.join(work, "raw.img"), "wb") as img, open(os.path.join(work, "planted.tsv"), "w") as out:
    img.write(rng.randbytes(512 * rng.randint(1, 64)))
    for path, ext in samples:
        data = open(path, "rb").read()
        sha = hashlib.sha256(data).hexdigest()
        out.write(f"{sha}\t{ext}\t{os.path.relpath(path, corpus if path.startswith(corpus) else work)}"
                  f"\t{img.tell() // 512}\t{len(data)}\n")
        img.write(data)
        slack = (-len(data)) % 512
        noisy = rng.random() < 0.5
        img.write(rng.randbytes(slack) if noisy else b"\0" * slack)
        # A third back to back; else a gap of noise or zeros, 1 to 200 sectors.
        r = rng.random()
        if r < 0.33:
            continue
        gap = 512 * rng.randint(1, 200)
        img.write(rng.randbytes(gap) if r < 0.8 else b"\0" * gap)
    img.write(b"\0" * (1 << 20))
print(f"{len(samples)} files planted in {os.path.getsize(os.path.join(work, 'raw.img')) >> 20} MiB")
PY
VELMIRA_PREPARED=1 VELMIRA_CORPUS="$corpus" "$here/bench/carve_vs_photorec.sh" "$work"
