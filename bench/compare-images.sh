#!/usr/bin/env bash
# Times disc-manifest reading disc images, against what it would take
# without: md5sum of the image file, disc-manifest of the same tree on
# disk, and extracting the image with bsdtar and then running
# disc-manifest on what it wrote. Whole processes, in the same run,
# outputs in files; prints each time, its ratio to the peer's and the
# peak resident set.
#
#   bench/compare-images.sh [WORK_DIR] [ROUNDS]
#
# WORK_DIR (default /tmp/disc-manifest-bench) holds the data of
# common.sh: a 1 GiB file of random bytes and a tree of 20,000 files of 0
# to 8 KiB in 400 folders; this script adds images of each, made once by
# genisoimage (Joliet and Rock Ridge), and of the tree with UDF beside them
# (-udf: read through UDF, the default view), kept in WORK_DIR/images. Runs
# alternate between the programs, ROUNDS (default 5) times, after a round
# that fills the page cache; each figure is the median.
set -euo pipefail

work=${1:-/tmp/disc-manifest-bench}
rounds=${2:-5}
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
tool="$build/disc-manifest"

need=()
command -v genisoimage >/dev/null || need+=(genisoimage)
command -v bsdtar >/dev/null || need+=(libarchive-tools)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi

images="$work/images"
mkdir -p "$images"
for set in big tree; do
  if [ ! -f "$images/$set.iso" ]; then
    echo "making an image of $work/$set" >&2
    genisoimage -quiet -J -R -o "$images/$set.iso.part" "$work/$set"
    mv "$images/$set.iso.part" "$images/$set.iso"
  fi
done
if [ ! -f "$images/tree-udf.iso" ]; then
  echo "making an image of $work/tree with UDF" >&2
  genisoimage -quiet -J -R -udf -o "$images/tree-udf.iso.part" "$work/tree"
  mv "$images/tree-udf.iso.part" "$images/tree-udf.iso"
fi

printf '%s\n' "$images/big.iso" bench "$work/big-image.xml" > "$work/answers-big-image"
printf '%s\n' "$images/tree.iso" bench "$work/tree-image.xml" > "$work/answers-tree-image"
printf '%s\n' "$images/tree-udf.iso" bench "$work/tree-udf.xml" > "$work/answers-tree-udf"
printf '%s\n' "$work/tree/" bench "$work/tree-disk.xml" > "$work/answers-tree-disk"
printf '%s\n' "$work/extracted/" bench "$work/tree-extracted.xml" > "$work/answers-tree-extracted"
cmd[image-big]="'$tool' < '$work/answers-big-image'"
cmd[md5sum-big]="md5sum '$images/big.iso'"
cmd[image-tree]="'$tool' < '$work/answers-tree-image'"
cmd[udf-tree]="'$tool' < '$work/answers-tree-udf'"
cmd[disk-tree]="'$tool' < '$work/answers-tree-disk'"
cmd[bsdtar-tree]="sh -c \"rm -rf '$work/extracted' && mkdir '$work/extracted' && bsdtar -xf '$images/tree.iso' -C '$work/extracted' && '$tool' < '$work/answers-tree-extracted'\""
labels=(image-big md5sum-big image-tree udf-tree disk-tree bsdtar-tree)

cat "$images/big.iso" "$images/tree.iso" "$images/tree-udf.iso" > /dev/null
run_rounds "$rounds"
machine_line "$rounds"
echo
echo "1 GiB image of one file"
printf '  %-36s %9s %10s %12s\n' program seconds "x peer" "peak RSS KiB"
report_line image-big md5sum-big "disc-manifest of the image"
report_line md5sum-big md5sum-big "md5sum of the image file"
echo
echo "image of 20,000 files of 0 to 8 KiB in 400 folders"
printf '  %-36s %9s %10s %12s\n' program seconds "x peer" "peak RSS KiB"
report_line image-tree disk-tree "disc-manifest of the image"
report_line udf-tree disk-tree "disc-manifest of its -udf image"
report_line disk-tree disk-tree "disc-manifest of the tree on disk"
report_line image-tree bsdtar-tree "disc-manifest of the image"
report_line bsdtar-tree bsdtar-tree "bsdtar -xf, then disc-manifest"

# The image's manifest holds the tree's records, in another order.
records() { grep '<key_file' "$1" | sort; }
if [ "$(records "$work/tree-image.xml")" = "$(records "$work/tree-disk.xml")" ] &&
   [ "$(records "$work/tree-udf.xml")" = "$(records "$work/tree-disk.xml")" ] &&
   [ "$(records "$work/tree-image.xml")" = "$(records "$work/tree-extracted.xml")" ]; then
  echo "the four manifests of the tree hold the same records"
else
  echo "the manifests of the tree differ" >&2
  exit 1
fi
