#!/usr/bin/env bash
# Runs the manifest tool PROGRAM over a sparse file of 4 GiB + 3 bytes and
# checks its record: a 32-bit build must still see the whole file.
#   tests/large-file-check.sh PROGRAM
set -euo pipefail
program=$1
# A kernel without 32-bit support runs no 32-bit program: a static one
# then runs under qemu's user-mode emulation (Debian: qemu-user).
run=()
if ! "$program" --version > /dev/null 2>&1; then
  if ! command -v qemu-i386 > /dev/null; then
    echo "large-file-check: $program does not run here, and there is no qemu-i386 to run it with" >&2
    exit 1
  fi
  run=(qemu-i386)
  echo "large-file-check: this kernel runs no 32-bit program; running $program under qemu-i386"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/d"
truncate -s 4294967296 "$work/d/big.iso"
printf end >> "$work/d/big.iso"
printf '%s\n' "$work/d/" big "$work/m" | "${run[@]}" "$program" > /dev/null
expected=$(printf '<root>\r\n<key_disc name="big">\r\n<key_file pathname="big.iso" length="4294967299" md5="29f9fe6f34f27cd12fbdee8ce0645c90" />\r\n</key_disc>\r\n</root>\r\n')
if [ "$(cat "$work/m")" != "$expected" ]; then
  echo "large-file-check: $program recorded the file of 4 GiB + 3 bytes wrongly:" >&2
  cat "$work/m" >&2
  exit 1
fi
echo "large-file-check: $program records a file of 4 GiB + 3 bytes whole"
