#!/usr/bin/env bash
# Makes the image reader's corpus: small images of a small tree, made by
# the writers the tests use, each kept from its sector 16 on (the fuzz
# target puts sixteen sectors of zeros before its input) and without the
# zeros at its end. Made where it is needed (CI, a test), not kept in the
# repository: images carry 32 KiB and more of zeros, and writers differ
# from version to version.
#
#   fuzz/image-corpus.sh OUT_DIR [RUNNER]
#
# With RUNNER (the target built to run once over each file), runs it over
# the corpus. Writers that are missing are left out; with none at all, the
# script says so and ends with status 77, which CTest takes as a skip.
set -euo pipefail

out=$1
runner=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Which step failed, where set -e ends the script.
trap 'echo "image-corpus.sh: line $LINENO: $BASH_COMMAND: status $?" >&2' ERR
mkdir -p "$out"

tree="$work/tree"
mkdir -p "$tree/Docs/Deeper" "$tree/Ελληνικά"
printf 'read me\n' > "$tree/README"
: > "$tree/empty.txt"
printf 'x%.0s' $(seq 1 3000) > "$tree/Docs/Deeper/bytes.bin"
printf 'notes' > "$tree/Docs/notes.txt"
printf 'a' > "$tree/Ελληνικά/αρχείο.txt"
ln -s Docs/notes.txt "$tree/link"
ln -s ../../outside "$tree/Docs/out"

# Keeps |$1|'s bytes from sector 16 on, without its trailing zeros, as
# corpus file |$2|.
keep() {
  tail -c +32769 "$1" | perl -0777 -pe 's/\0+\z//' > "$out/$2"
}

# One command a line: set -e stops the script at a writer that fails, as
# it would not inside an && chain. A writer that is missing is left out.
made=0
if command -v genisoimage >/dev/null; then
  genisoimage -quiet -no-pad -J -R -o "$work/g.iso" "$tree"
  keep "$work/g.iso" genisoimage-joliet-rr
  genisoimage -quiet -no-pad -iso-level 1 -o "$work/l1.iso" "$tree" 2>/dev/null
  keep "$work/l1.iso" genisoimage-level1
  genisoimage -quiet -no-pad -J -R -udf -o "$work/u.iso" "$tree"
  keep "$work/u.iso" genisoimage-udf
  # Deep enough for Rock Ridge to relocate folders.
  mkdir -p "$work/deep/1/2/3/4/5/6/7/8/9/10"
  printf 'deep' > "$work/deep/1/2/3/4/5/6/7/8/9/10/f"
  genisoimage -quiet -no-pad -R -o "$work/d.iso" "$work/deep"
  keep "$work/d.iso" genisoimage-relocated
  made=$((made + 4))
fi
if command -v xorriso >/dev/null; then
  xorriso -as mkisofs -quiet -no-pad -J -R -o "$work/x.iso" "$tree" 2>/dev/null
  keep "$work/x.iso" xorriso-links
  made=$((made + 1))
fi
if /usr/bin/python3 -c 'import pycdlib' 2>/dev/null; then
  rm "$tree/link" "$tree/Docs/out"
  /usr/bin/python3 "$here/../tests/image_tools.py" make "$work/p.iso" "$tree" udf
  keep "$work/p.iso" pycdlib-udf
  made=$((made + 1))
fi
if command -v mkudffs >/dev/null; then
  # An empty UDF 2.50 file system of a CD-R: a virtual partition, its
  # allocation table in the last sector.
  truncate -s 2M "$work/v.udf"
  mkudffs --media-type=cdr --udfrev=0x0250 "$work/v.udf" >/dev/null 2>&1
  keep "$work/v.udf" mkudffs-cdr-vat
  # Hard disks' UDF: blocks of 512 and 4096 bytes, the volume found by its
  # anchor at block 256 of that size; and a rewritable disc's 1.50, its
  # hidden Non-Allocatable Space file in the root.
  mkudffs --media-type=hd --blocksize=512 --new-file "$work/h512.udf" 1001 >/dev/null 2>&1
  keep "$work/h512.udf" mkudffs-hd-512
  mkudffs --media-type=hd --blocksize=4096 --new-file "$work/h4096.udf" 300 >/dev/null 2>&1
  keep "$work/h4096.udf" mkudffs-hd-4096
  mkudffs --media-type=dvdrw --udfrev=0x0150 --new-file "$work/rw.udf" 3000 >/dev/null 2>&1
  keep "$work/rw.udf" mkudffs-dvdrw-150
  made=$((made + 4))
fi
if command -v udfclient >/dev/null && command -v newfs_udf >/dev/null; then
  # Files in 512-byte blocks, in a volume that ends inside a 2048-byte
  # sector. (newfs_udf needs a few thousand blocks; udfclient writes one
  # folder per session.)
  truncate -s $((8001 * 512)) "$work/n512.udf"
  newfs_udf -b 512 -L corpus "$work/n512.udf" >/dev/null 2>&1
  # awk reads to the end: a reader that ended early could fail the
  # pipeline where udfclient wrote after it (SIGPIPE, under pipefail).
  volume=$(printf 'ls\nquit\n' | udfclient -b 512 "$work/n512.udf" 2>/dev/null | awk '/^d.*:/ && !found++ { print $NF }')
  printf 'cd %s\nmkdir Docs\nsync\nquit\n' "$volume" | udfclient -b 512 -W "$work/n512.udf" >/dev/null 2>&1
  printf 'cd %s\ncd Docs\nlcd %s\nput notes.txt\nsync\nquit\n' "$volume" "$tree/Docs" |
    udfclient -b 512 -W "$work/n512.udf" >/dev/null 2>&1
  keep "$work/n512.udf" udfclient-512
  made=$((made + 1))
fi
# Cue sheets of a disc in sessions, as imaging tools write them.
printf 'REM SESSION 01\r\nFILE "d.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\nREM LEAD-OUT 01:30:00\r\nREM SESSION 02\r\nREM LEAD-IN 01:00:00\r\nFILE "e.bin" BINARY\r\n  TRACK 02 MODE1/2352\r\n    PREGAP 00:02:00\r\n    INDEX 01 00:00:00\r\n' > "$out/cue-sessions"
printf 'FILE d.bin BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:02:00\nREM SESSION 02\nTRACK 02 MODE2/2352\nINDEX 00 04:00:00\nINDEX 01 04:02:00\nFILE f.bin BINARY\nINDEX 02 00:00:00\nPOSTGAP 00:02:00\n' > "$out/cue-enhanced"
if [ "$made" = 0 ]; then
  echo "image-corpus.sh: no image writer installed (genisoimage, xorriso, python3-pycdlib, udftools)" >&2
  exit 77
fi
if [ -n "$runner" ]; then
  "$runner" "$out"/*
fi
