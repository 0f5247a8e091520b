#!/usr/bin/env bash
# Times disc-manifest against md5sum, rhash and hashdeep on the same data,
# in the same run, and prints each peer's figures as ratios to the tool's.
#
#   bench/compare-peers.sh [WORK_DIR] [ROUNDS]
#
# WORK_DIR (default /tmp/disc-manifest-bench) receives a 1 GiB file of
# random bytes and a tree of 20,000 files of 0 to 8 KiB in 400 folders; both
# are made once and kept. Runs alternate between the programs, ROUNDS
# (default 7) times, after a warm-up round that fills the page cache; each
# figure is the median. Peak memory is the largest resident set of a run.
set -euo pipefail

work=${1:-/tmp/disc-manifest-bench}
rounds=${2:-7}
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
tool="$build/disc-manifest"

# The commands, by label. The tool reads its answers from a file.
printf '%s\n' "$work/big/" bench "$work/big.xml" > "$work/answers-big"
printf '%s\n' "$work/tree/" bench "$work/tree.xml" > "$work/answers-tree"
cmd[tool-big]="'$tool' < '$work/answers-big'"
cmd[md5sum-big]="md5sum '$work/big/file.bin'"
cmd[rhash-big]="rhash --md5 '$work/big/file.bin'"
cmd[hashdeep1-big]="hashdeep -j0 -c md5 '$work/big/file.bin'"
cmd[tool-tree]="'$tool' < '$work/answers-tree'"
cmd[md5sum-tree]="sh -c \"find '$work/tree' -type f -print0 | xargs -0 md5sum\""
cmd[rhash-tree]="rhash -r --md5 '$work/tree'"
cmd[hashdeep1-tree]="hashdeep -r -j0 -c md5 '$work/tree'"
cmd[hashdeep-tree]="hashdeep -r -c md5 '$work/tree'"
labels=(tool-big md5sum-big rhash-big hashdeep1-big
        tool-tree md5sum-tree rhash-tree hashdeep1-tree hashdeep-tree)

run_rounds "$rounds"
machine_line "$rounds"
for set in big tree; do
  tool_us=$(echo "${secs[tool-$set]}" | median)
  echo
  if [ "$set" = big ]; then echo "1 GiB file"; else echo "20,000 files in 400 folders"; fi
  printf '  %-34s %9s %10s %12s\n' program seconds "tool/peer" "peak RSS KiB"
  for label in "${labels[@]}"; do
    [[ $label == *-$set ]] || continue
    us=$(echo "${secs[$label]}" | median)
    name=${label%-$set}
    case $name in
      tool) name="disc-manifest" ;;
      md5sum) [ "$set" = tree ] && name="find | xargs md5sum" ;;
      rhash) [ "$set" = tree ] && name="rhash -r --md5" || name="rhash --md5" ;;
      hashdeep1) name="hashdeep -j0 -c md5 (1 thread)" ;;
      hashdeep) name="hashdeep -c md5 ($(nproc) threads)" ;;
    esac
    printf '  %-34s %9.3f %10.2f %12s\n' "$name" "$(echo "$us / 1000000" | bc -l)" \
      "$(echo "$tool_us / $us" | bc -l)" "$(echo "${kib[$label]}" | largest)"
  done
done
