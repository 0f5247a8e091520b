#!/usr/bin/env bash
# Times disc-catalog at scale where discs share their names (backups of one
# shelf, yearly copies of one server), on both stores, and prints each
# command's time and peak memory, with the plans the server chose:
#
#   bench/shared-names-catalog.sh [WORK_DIR] [DISCS] [ROUNDS]
#
# DISCS (default 200) is the scale: that many manifests of the same 10,000
# pathnames (bench/shared-names-manifests.pl), 2,000,000 records at 200 and
# 20,000,000 at 2,000 (hours: each add alone then takes most of one). They
# are made once in WORK_DIR (default /tmp/disc-manifest-bench), again when
# the generator or DISCS changes, and added to a catalog file and to a
# throwaway PostgreSQL server of stock settings on this machine (its data in
# WORK_DIR, run as user postgres, reached over its Unix socket on port
# BENCH_PG_PORT, default 5433, stopped at the end). Every question is then
# asked of both once, their answers compared (a difference fails the run),
# then timed in ROUNDS (default 5) alternating rounds: medians of the
# elapsed and of the processor time, and the largest peak RSS of the
# rounds. add, merge and remove are timed once, at the end. Last, each
# question is asked of the server once more with auto_explain, and the plan
# of every statement it ran is printed (EXPLAIN ANALYZE, BUFFERS).
set -euo pipefail

work=${1:-/tmp/disc-manifest-bench}
discs=${2:-200}
rounds=${3:-5}
port=${BENCH_PG_PORT:-5433}

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-release"
need=()
[ -x /usr/bin/time ] || need+=(time)
command -v bc >/dev/null || need+=(bc)
command -v psql >/dev/null || need+=(postgresql-15)
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
[ -f /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target disc-catalog >/dev/null
catalog="$build/disc-catalog"

fail() {
  echo "shared-names-catalog.sh: $*" >&2
  exit 1
}

data="$work/shared-names"
manifests="$data/manifests"
out="$data/out"
mkdir -p "$data" "$out"
stamp="$(md5sum < "$repo/bench/shared-names-manifests.pl" | cut -c1-32) $discs"
if [ "$(cat "$data/manifests.done" 2>/dev/null)" != "$stamp" ]; then
  echo "making $discs manifests of the same 10,000 names" >&2
  rm -rf "$manifests" "$data/manifests.done" "$data/catalog.db" "$data/catalog.done"
  perl "$repo/bench/shared-names-manifests.pl" "$manifests" "$discs" 10000
  echo "$stamp" > "$data/manifests.done"
fi
records=$((discs * 10000))
middle=$(printf '%s/disc-%04d.xml' "$manifests" $((discs / 2)))
last=$(printf '%s/disc-%04d.xml' "$manifests" "$discs")

# The server, with its own data folder.
# shellcheck source=bench/pg-server.sh
source "$(dirname "$0")/pg-server.sh"
pg_dir="$data/server"
start_bench_server "$pg_dir" "$port"
server="$pg_uri&options=-csearch_path%3Dbench_shared"
file="$data/catalog.db"
psql -X -q "$pg_uri" -c 'CREATE EXTENSION IF NOT EXISTS pg_trgm'

# Peak RSS in KiB, processor and elapsed microseconds of each run, by label.
declare -A cmd secs kib cpu
measure() {
  local label=$1 start end peak user system
  start=${EPOCHREALTIME//[.,]/}
  eval "/usr/bin/time -f '%M %U %S' -o '$data/peak' ${cmd[$label]}" > /dev/null || true
  end=${EPOCHREALTIME//[.,]/}
  secs[$label]+="$((10#$end - 10#$start)) "
  read -r peak user system < <(tail -n 1 "$data/peak")
  kib[$label]+="$peak "
  cpu[$label]+="$(echo "($user + $system) * 1000000 / 1" | bc) "
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
largest() { tr ' ' '\n' | grep . | sort -n | tail -n 1; }

# Both catalogs, made once for these manifests; the adds are timed then.
if [ "$(cat "$data/catalog.done" 2>/dev/null)" != "$stamp" ]; then
  echo "adding $records records to both catalogs" >&2
  rm -f "$file" "$file-wal" "$file-shm"
  psql -X -q "$pg_uri" -c 'DROP SCHEMA IF EXISTS bench_shared CASCADE'
  cmd[file-add]="'$catalog' --catalog '$file' add -q '$manifests'/*.xml"
  cmd[server-add]="'$catalog' --catalog '$server' add -q '$manifests'/*.xml"
  measure file-add
  measure server-add
  echo "${secs[file-add]}${kib[file-add]}${cpu[file-add]}${secs[server-add]}${kib[server-add]}${cpu[server-add]}" \
    > "$data/add-figures"
  echo "$stamp" > "$data/catalog.done"
fi
read -r a b c d e f < "$data/add-figures"
secs[file-add]="$a " kib[file-add]="$b " cpu[file-add]="$c "
secs[server-add]="$d " kib[server-add]="$e " cpu[server-add]="$f "
[ "$("$catalog" --catalog "$file" list | wc -l)" = "$discs" ] || fail "the catalog file lacks discs"
[ "$("$catalog" --catalog "$server" list | wc -l)" = "$discs" ] || fail "the server's catalog lacks discs"

# A digest of the middle disc, on some discs.
hex=$(sed -n '1000s/.*md5="\([0-9a-f]*\)".*/\1/p' "$middle")
questions=(list find-few find-many which identify copies copies-files check)
declare -A asked=(
  [list]="list" [find-few]="find '*01234*'" [find-many]="find '*final*'" [which]="which --md5 $hex"
  [identify]="identify '$middle'" [copies]="copies" [copies-files]="copies --files" [check]="check")
labels=(grep)
cmd[grep]="grep -F -i final '$manifests'/*.xml > '$out/grep'"
for q in "${questions[@]}"; do
  cmd[file-$q]="'$catalog' --catalog '$file' ${asked[$q]} > '$out/file-$q'"
  cmd[server-$q]="'$catalog' --catalog '$server' ${asked[$q]} > '$out/server-$q'"
  labels+=("file-$q" "server-$q")
done

echo "checking the answers" >&2
for label in "${labels[@]}"; do eval "${cmd[$label]}" || true; done
for q in "${questions[@]}"; do
  cmp -s "$out/file-$q" "$out/server-$q" || fail "${asked[$q]}: the server's answer differs from the file's: see $out"
done
[ "$(wc -l < "$out/file-find-many")" = "$(wc -l < "$out/grep")" ] || fail "find '*final*' and grep differ in lines"
[ "$(head -n 1 "$out/file-identify" | cut -f1)" = "$((discs / 2))" ] || fail "identify: not disc $((discs / 2)) first"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((round = 1; round <= rounds; ++round)); do
  echo "round $round of $rounds" >&2
  for label in "${labels[@]}"; do measure "$label"; done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# Once: merge of the whole catalog into a new one, of each store into the
# other's, and remove of the last disc (added again after).
rm -f "$data/merged.db" "$data/merged.db-wal" "$data/merged.db-shm"
psql -X -q "$pg_uri" -c 'DROP SCHEMA IF EXISTS bench_merged CASCADE'
cmd[file-merge]="'$catalog' --catalog '$data/merged.db' merge -q '$server'"
cmd[server-merge]="'$catalog' --catalog '$pg_uri&options=-csearch_path%3Dbench_merged' merge -q '$file'"
cmd[file-remove]="'$catalog' --catalog '$file' remove $("$catalog" --catalog "$file" list | tail -n 1 | cut -f1)"
cmd[server-remove]="'$catalog' --catalog '$server' remove $("$catalog" --catalog "$server" list | tail -n 1 | cut -f1)"
for label in file-merge server-merge file-remove server-remove; do measure "$label"; done
"$catalog" --catalog "$file" add -q "$last"
"$catalog" --catalog "$server" add -q "$last"
rm -f "$data/merged.db" "$data/merged.db-wal" "$data/merged.db-shm"
psql -X -q "$pg_uri" -c 'DROP SCHEMA bench_merged CASCADE'

file_bytes=$(stat -c %s "$file")
server_bytes=$(psql -X -At "$pg_uri" -c "SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c JOIN pg_namespace n
  ON n.oid = c.relnamespace WHERE n.nspname = 'bench_shared' AND c.relkind = 'r'")
manifest_bytes=$(cat "$manifests"/*.xml | wc -c)

cpu_model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo "machine: $cpu_model, $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB; load average (1, 5, 15 min)"
echo "before the rounds: $load_before; after: $load_after"
echo "data: $(cat "$manifests/stats.txt")"
echo "server: $("$pg_bin/postgres" --version), stock settings, Unix socket"
echo "wall: median elapsed seconds of $rounds rounds; cpu: user + system; x grep: the wall over grep's;"
echo "peak: the largest RSS of the rounds, ! above 64 MiB. add, merge, remove: one run each."
printf '\n  %-44s %8s %7s %8s %9s\n' command "wall s" "x grep" "cpu s" "peak MiB"
line() {
  local label=$1 name=$2 us base cpu_us peak mark=" "
  us=$(echo "${secs[$label]}" | median)
  base=$(echo "${secs[grep]:-0}" | median)
  cpu_us=$(echo "${cpu[$label]}" | median)
  peak=$(echo "${kib[$label]}" | largest)
  [ "$peak" -gt 65536 ] && mark="!"
  printf '  %-44s %8.3f %7s %8.3f %8.1f%s\n' "$name" "$(echo "$us / 1000000" | bc -l)" \
    "$([ -n "$base" ] && [ "$base" != 0 ] && printf '%.2f' "$(echo "$us / $base" | bc -l)")" \
    "$(echo "$cpu_us / 1000000" | bc -l)" "$(echo "$peak / 1024" | bc -l)" "$mark"
}
line grep "grep -F -i final (all manifests)"
for q in "${questions[@]}"; do
  for store in file server; do
    line "$store-$q" "$store: ${asked[$q]//$manifests\//} ($(wc -l < "$out/$store-$q") lines)"
  done
done
for label in file-add server-add file-merge server-merge file-remove server-remove; do
  line "$label" "${label%%-*}: ${label#*-}"
done
verdict() { if [ "$(echo "$1" | bc -l)" = 1 ]; then echo met; else echo MISSED; fi; }
m() { echo "${secs[$1]}" | median; }
echo
echo "goals for find '*final*': server <= file: $(verdict "$(m server-find-many) <= $(m file-find-many)");" \
     "server <= 0.5 x grep: $(verdict "$(m server-find-many) <= 0.5 * $(m grep)");" \
     "file <= 1.0 x grep: $(verdict "$(m file-find-many) <= $(m grep)")"
printf 'size: manifests %d bytes; catalog file %d (%.2f x); server tables and indexes %d (%.2f x)\n' \
  "$manifest_bytes" "$file_bytes" "$(echo "$file_bytes / $manifest_bytes" | bc -l)" "$server_bytes" \
  "$(echo "$server_bytes / $manifest_bytes" | bc -l)"

# The plans: each question once more, auto_explain logging the plan of
# every statement the client runs, as it ran.
explain="$server%20-csession_preload_libraries%3Dauto_explain%20-cauto_explain.log_min_duration%3D0"
explain+="%20-cauto_explain.log_analyze%3Don%20-cauto_explain.log_buffers%3Don"
echo
echo "THE SERVER'S PLANS (auto_explain: EXPLAIN ANALYZE, BUFFERS of each statement)"
for q in "${questions[@]}"; do
  from=$(wc -l < "$pg_dir/server.log")
  eval "'$catalog' --catalog '$explain' ${asked[$q]}" > /dev/null || true
  sleep 1
  echo
  echo "== ${asked[$q]//$manifests\//}"
  tail -n +$((from + 1)) "$pg_dir/server.log" | sed -n '/LOG:  duration: .* plan:/,$p' |
    sed -e 's/^.*LOG:  duration: \(.*\) plan:$/-- \1:/' | cut -c1-200
done
