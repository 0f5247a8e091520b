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

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/disc-manifest-bench}
rounds=${2:-7}

need=()
command -v md5sum >/dev/null || need+=(coreutils)
command -v rhash >/dev/null || need+=(rhash)
command -v hashdeep >/dev/null || need+=(hashdeep)
[ -x /usr/bin/time ] || need+=(time)
command -v bc >/dev/null || need+=(bc)
command -v cmake >/dev/null || need+=(cmake g++ make)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi

cmake -S "$repo" -B "$repo/build-release" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$repo/build-release" -j2 >/dev/null
tool="$repo/build-release/disc-manifest"

mkdir -p "$work"
if [ ! -f "$work/big/file.bin" ]; then
  echo "making a 1 GiB file of random bytes" >&2
  mkdir -p "$work/big"
  head -c $((1 << 30)) /dev/urandom > "$work/big/file.bin.part"
  mv "$work/big/file.bin.part" "$work/big/file.bin"
fi
if [ ! -f "$work/tree.done" ]; then
  echo "making a tree of 20,000 files in 400 folders" >&2
  rm -rf "$work/tree"
  perl -e '
    my ($top) = @ARGV;
    open(my $rnd, "<:raw", "/dev/urandom") or die;
    for my $d (0 .. 399) {
      my $dir = sprintf("%s/d%03d/s%02d", $top, $d % 20, int($d / 20));
      system("mkdir", "-p", $dir) == 0 or die;
      for my $f (0 .. 49) {
        my $n = (($d * 50 + $f) * 2654435761) % 8193;
        read($rnd, my $bytes, $n) == $n or die;
        open(my $out, ">:raw", "$dir/f$f.dat") or die;
        print $out $bytes;
        close($out);
      }
    }' "$work/tree"
  touch "$work/tree.done"
fi

# The commands, by label. The tool reads its answers from a file.
printf '%s\n' "$work/big/" bench "$work/big.xml" > "$work/answers-big"
printf '%s\n' "$work/tree/" bench "$work/tree.xml" > "$work/answers-tree"
declare -A cmd
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

# Runs one command; appends its wall microseconds and peak KiB to its
# records. GNU time runs the program itself (for the pipeline, the shell
# that runs it), so the peak is the program's own.
declare -A secs kib
measure() {
  local label=$1 start end
  start=$(date +%s%N)
  eval "/usr/bin/time -f %M -o '$work/peak' ${cmd[$label]}" > /dev/null
  end=$(date +%s%N)
  secs[$label]+="$(( (end - start) / 1000 )) "
  kib[$label]+="$(tail -n 1 "$work/peak") "
}

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
largest() { tr ' ' '\n' | grep . | sort -n | tail -n 1; }

echo "warming the page cache" >&2
cat "$work/big/file.bin" > /dev/null
find "$work/tree" -type f -exec cat {} + > /dev/null
for label in "${labels[@]}"; do measure "$label"; done
secs=(); kib=()

for ((round = 1; round <= rounds; ++round)); do
  echo "round $round of $rounds" >&2
  for label in "${labels[@]}"; do measure "$label"; done
done

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo "machine: $cpu, $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB; $rounds rounds, medians"
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
