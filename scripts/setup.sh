#!/usr/bin/env bash
# Installs what Velmira needs to build and test (Debian 12 packages: the
# command-line tools, and Qt 6 and libudev for the desktop program), builds
# it in build/, and runs the first job on a small image made here:
# velmira-cli probe on a fresh FAT32 image.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config git
  libgtest-dev googletest libgmock-dev libbenchmark-dev
  libblkid-dev libmount-dev libudev-dev
  dosfstools mtools ntfs-3g e2fsprogs fdisk exfatprogs exfat-fuse
  strace clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
  dpkg-dev groff-base
  qt6-image-formats-plugins qt6-translations-l10n  # Qt's own dialogs in the chosen language
  gddrescue  # ddrescuelog reads the map that the image copy writes, in a test
  zip  # makes the OpenDocument, EPUB and Java archives of the carving tests
  # Encoders that make the audio files of the carving tests.
  ffmpeg
  flac
  lame
  opus-tools
  twolame
  vorbis-tools
  libheif-examples  # heif-enc makes HEIC and AVIF pictures for the carving tests
  webp  # cwebp makes WebP pictures for the carving tests
  time  # /usr/bin/time gives a command's peak memory, in a test
  zlib1g-dev  # decodes gzip streams to find where a carved one ends
  p7zip-full  # makes 7z archives for the carving tests
  gcab  # makes cabinet files for the carving tests
  sqlite3  # makes databases for the carving tests
  xz-utils  # makes xz streams for the carving tests
  bzip2  # makes bzip2 streams for the carving tests
  libjpeg-turbo-progs  # cjpeg writes progressive and restart-marked JPEGs for the carving tests
  libtiff-tools  # tiffcp writes tiled, BigTIFF and big-endian TIFFs for the carving tests
  libxml2-utils  # xmllint checks the DFXML report in a test
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Run as root:  apt-get update && apt-get install -y ${missing[*]}" >&2
    echo "then run scripts/setup.sh again." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
# Release, as packagers build it; VELMIRA_WERROR=ON in the environment (CI
# sets it) makes every warning an error.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELMIRA_WERROR="${VELMIRA_WERROR:-OFF}"
cmake --build build -j"$jobs"

# The first job: a camera card whose photos were deleted, and their recovery.
demo=build/demo-card.img
out=build/demo-recovered
rm -rf "$demo" "$out" build/demo-files
mkdir -p build/demo-files
truncate -s 40M "$demo"
PATH="$PATH:/sbin:/usr/sbin" mkfs.vfat -F 32 -n DEMO "$demo" >/dev/null
for i in 1 2 3 4; do
  { printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00'; head -c $((40000 * i)) /dev/urandom; printf '\xff\xd9'; } \
    > "build/demo-files/IMG_000$i.JPG"
done
export MTOOLS_SKIP_CHECK=1
mmd -i "$demo" ::/DCIM ::/DCIM/100DEMO
mcopy -i "$demo" build/demo-files/*.JPG ::/DCIM/100DEMO/
mdel -i "$demo" ::/DCIM/100DEMO/IMG_0001.JPG ::/DCIM/100DEMO/IMG_0003.JPG
./build/velmira-cli probe "$demo"
./build/velmira-cli recover "$demo" --list
# The listing was a deep scan of the card: --continue uses its results again.
./build/velmira-cli recover "$demo" --continue --to "$out"
cmp "$out/photo/!mg_0001.jpg" build/demo-files/IMG_0001.JPG
cmp "$out/photo/!mg_0003.jpg" build/demo-files/IMG_0003.JPG
echo "Recovered the two deleted demo photos byte for byte into $out/photo/."
