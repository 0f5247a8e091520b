# Sourced by the comparison scripts: the peers, a release build, the data,
# and timing by alternating rounds.
#
# Expects $work (the data folder) to be set. Sets $repo and $build, makes
# $work/big/file.bin (1 GiB of random bytes) and $work/tree (20,000 files of
# 0 to 8 KiB in 400 folders), both made once and kept.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build-release"

need=()
command -v md5sum >/dev/null || need+=(coreutils)
command -v rhash >/dev/null || need+=(rhash)
command -v hashdeep >/dev/null || need+=(hashdeep)
command -v diff >/dev/null || need+=(diffutils)
[ -x /usr/bin/time ] || need+=(time)
command -v bc >/dev/null || need+=(bc)
command -v cmake >/dev/null || need+=(cmake g++ make)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

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

# The commands, by label, and the order a round runs them in.
declare -A cmd
labels=()

# Runs one command; appends its wall microseconds, peak KiB and processor
# microseconds (user and system) to its records. GNU time runs the program
# itself (for a pipeline, the shell that runs it), so the peak is the
# program's own.
declare -A secs kib cpu
measure() {
  local label=$1 start end peak user system
  # Microseconds from bash 5 itself: starting date(1) would cost more than
  # some of the commands timed.
  start=${EPOCHREALTIME//[.,]/}
  eval "/usr/bin/time -f '%M %U %S' -o '$work/peak' ${cmd[$label]}" > /dev/null || true
  end=${EPOCHREALTIME//[.,]/}
  secs[$label]+="$((10#$end - 10#$start)) "
  read -r peak user system < <(tail -n 1 "$work/peak")
  kib[$label]+="$peak "
  cpu[$label]+="$(echo "($user + $system) * 1000000 / 1" | bc) "
}

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
largest() { tr ' ' '\n' | grep . | sort -n | tail -n 1; }

# Warms the page cache, runs every command once unmeasured, then $1 rounds.
run_rounds() {
  local rounds=$1 round label
  echo "warming the page cache" >&2
  cat "$work/big/file.bin" > /dev/null
  find "$work/tree" -type f -exec cat {} + > /dev/null
  for label in "${labels[@]}"; do measure "$label"; done
  secs=()
  kib=()
  cpu=()
  for ((round = 1; round <= rounds; ++round)); do
    echo "round $round of $rounds" >&2
    for label in "${labels[@]}"; do measure "$label"; done
  done
}

machine_line() {
  local cpu
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
  echo "machine: $cpu, $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB; $1 rounds, medians"
}

# Prints the line of |label| as NAME, seconds, its time divided by that of
# the label |base|, and its peak RSS.
report_line() {
  local label=$1 base=$2 name=$3 us base_us
  us=$(echo "${secs[$label]}" | median)
  base_us=$(echo "${secs[$base]}" | median)
  printf '  %-36s %9.3f %10.2f %12s\n' "$name" "$(echo "$us / 1000000" | bc -l)" \
    "$(echo "$us / $base_us" | bc -l)" "$(echo "${kib[$label]}" | largest)"
}
