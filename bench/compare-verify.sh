#!/usr/bin/env bash
# Times disc-verify against md5sum -c and diff on the same data, in the
# same run, and prints each run's time as a ratio to the peer's.
#
#   bench/compare-verify.sh [WORK_DIR] [ROUNDS]
#
# WORK_DIR (default /tmp/disc-manifest-bench) holds the data of
# compare-peers.sh, made here too if it is missing: the 20,000-file tree and
# the 1 GiB file, each with its manifest and md5sum's list; and two
# manifests of 1,000,000 records that differ at every 1,000th record (a
# digest changed, a path moved, a record missing, a record new). Runs
# alternate, ROUNDS (default 7) times after a warm-up round; each figure is
# the median, and peak memory the largest resident set of a run.
set -euo pipefail

work=${1:-/tmp/disc-manifest-bench}
rounds=${2:-7}
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
verify="$build/disc-verify"

echo "making the manifests and md5sum's lists" >&2
for set in tree big; do
  printf '%s\n' "$work/$set/" bench "$work/$set.xml" | "$build/disc-manifest" > /dev/null
done
(cd "$work/tree" && find . -type f -printf '%P\0' | sort -z | xargs -0 md5sum) > "$work/tree.md5"
(cd "$work/big" && md5sum file.bin) > "$work/big.md5"
if [ ! -f "$work/records-b.xml" ]; then
  for variant in a b; do
    perl -e '
      my ($variant) = @ARGV;
      srand(7);
      print "<root>\r\n<key_disc name=\"bench\">\r\n";
      for my $i (0 .. 999999) {
        my $d = int($i / 50);
        my $length = int(rand(100000));
        my $md5 = sprintf("%08x%08x%08x%08x", map { int(rand(2**32)) } 1 .. 4);
        my $path = sprintf("dir%05d\\sub%02d\\file-%07d.dat", $d / 20, $d % 20, $i);
        my $k = $i % 1000;
        if ($variant eq "b") {
          if ($k == 1) { $md5 = "0" x 32; }
          elsif ($k == 2) { $path .= ".moved"; }
          elsif ($k == 3) { next; }
        }
        printf "<key_file pathname=\"%s\" length=\"%d\" md5=\"%s\" />\r\n", $path, $length, $md5;
        if ($variant eq "b" && $k == 4) {
          printf "<key_file pathname=\"%s.new\" length=\"17\" md5=\"%s\" />\r\n", $path, "1" x 32;
        }
      }
      print "</key_disc>\r\n</root>\r\n";' "$variant" > "$work/records-$variant.xml.part"
    mv "$work/records-$variant.xml.part" "$work/records-$variant.xml"
  done
fi

cmd[md5sum-tree]="sh -c \"cd '$work/tree' && exec md5sum -c --quiet '$work/tree.md5'\""
cmd[verify1-tree]="'$verify' -q '$work/tree.xml' '$work/tree'"
cmd[verify2-tree]="'$verify' -q -j2 '$work/tree.xml' '$work/tree'"
cmd[md5sum-big]="sh -c \"cd '$work/big' && exec md5sum -c --quiet '$work/big.md5'\""
cmd[verify-big]="'$verify' -q '$work/big.xml' '$work/big'"
cmd[diff-records]="diff '$work/records-a.xml' '$work/records-b.xml'"
cmd[verify-records]="'$verify' '$work/records-a.xml' '$work/records-b.xml'"
labels=(md5sum-tree verify1-tree verify2-tree md5sum-big verify-big diff-records verify-records)

run_rounds "$rounds"
machine_line "$rounds"
header() {
  echo
  echo "$1"
  printf '  %-36s %9s %10s %12s\n' program seconds "x peer" "peak RSS KiB"
}
header "20,000 files of 0 to 8 KiB in 400 folders"
report_line md5sum-tree md5sum-tree "md5sum -c --quiet"
report_line verify1-tree md5sum-tree "disc-verify -q (-j1)"
report_line verify2-tree md5sum-tree "disc-verify -q -j2"
header "1 GiB file"
report_line md5sum-big md5sum-big "md5sum -c --quiet"
report_line verify-big md5sum-big "disc-verify -q"
header "two manifests of 1,000,000 records"
report_line diff-records diff-records "diff"
report_line verify-records diff-records "disc-verify (every line written)"
