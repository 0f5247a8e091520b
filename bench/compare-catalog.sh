#!/usr/bin/env bash
# Times disc-catalog against its peers (the sqlite3 shell, grep, md5sum,
# disc-verify) on the same data, in the same run, and prints each figure as
# a ratio to the peer's, next to the goal the catalog is built for.
#
#   bench/compare-catalog.sh [WORK_DIR] [ROUNDS] [SERVER_ROUNDS]
#
# WORK_DIR (default /tmp/disc-manifest-bench) receives, made once and kept:
# 200 synthetic manifests of 10,000 records each and the same records as a
# TAB-separated file (bench/synthetic-manifests.pl, made again when that
# script changes); 1,000 files of 100 KiB, half of them on a disc of their
# own; a tree of 1,000 files of 100 KiB to 1 MiB; and the data of
# common.sh (its tree of 20,000 small files is the second tree to
# identify). Each run makes a catalog of the 200 manifests and the three
# discs, runs every command once to check its answer (a wrong one fails
# the run; this round also fills the page cache), then times alternating
# rounds, ROUNDS (default 5) times. Each figure is the median, of the
# elapsed time and of the processor time (user and system) apart, since
# other work on the machine stretches the first; "spread" is the range of
# the rounds over the median, and peak memory the largest resident set of
# a run.
#
# Where disc-catalog speaks to PostgreSQL and the server's programs are
# installed (Debian: postgresql-15), the same catalog is also put on a
# throwaway server on this machine, reached over its Unix socket (its data
# in WORK_DIR, run as user postgres, stopped at the end), against psql
# loading the same records the plain way: \copy of the TAB-separated file
# into one table, then a B-tree index on md5 and a pg_trgm index on
# pathname. Those commands are timed in the first SERVER_ROUNDS rounds
# (default 1): each add takes most of a minute.
set -euo pipefail

work=${1:-/tmp/disc-manifest-bench}
rounds=${2:-5}
server_rounds=${3:-1}

# The peer and the library the catalog is built on, before common.sh builds.
need=()
command -v sqlite3 >/dev/null || need+=(sqlite3)
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
catalog="$build/disc-catalog"
verify="$build/disc-verify"
if [ ! -x "$catalog" ]; then
  echo "compare-catalog.sh: $catalog was not built (is libsqlite3-dev installed?)" >&2
  exit 1
fi

fail() {
  echo "compare-catalog.sh: $*" >&2
  exit 1
}

data="$work/catalog"
manifests="$data/manifests"
extra="$data/extra"
out="$data/out"
mkdir -p "$data" "$extra" "$out"

# The synthetic manifests and their records as TAB-separated lines, made
# again when the generator changes.
# shellcheck source=bench/synthetic-data.sh
source "$repo/bench/synthetic-data.sh"
make_synthetic_manifests "$repo" "$data" > /dev/null
manifest_bytes=$(cat "$manifests"/*.xml | wc -c)

# 1,000 files of 100 KiB of random bytes; the even ones are also on a disc
# of their own (links to the same files), so half are catalogued.
if [ ! -f "$data/which.done" ]; then
  echo "making 1,000 files of 100 KiB" >&2
  rm -rf "$data/which" "$data/which-disc"
  mkdir -p "$data/which" "$data/which-disc"
  perl -e '
    my ($dir) = @ARGV;
    open(my $rnd, "<:raw", "/dev/urandom") or die;
    for my $i (0 .. 999) {
      read($rnd, my $bytes, 102400) == 102400 or die;
      open(my $out, ">:raw", sprintf("%s/file%04d.bin", $dir, $i)) or die;
      print $out $bytes;
      close($out) or die;
    }' "$data/which"
  for ((i = 0; i < 1000; i += 2)); do
    ln "$data/which/$(printf 'file%04d.bin' $i)" "$data/which-disc/"
  done
  touch "$data/which.done"
fi

# 1,000 files of 100 KiB to 1 MiB (about 550 MB) in 20 folders.
if [ ! -f "$data/big-tree.done" ]; then
  echo "making a tree of 1,000 files of 100 KiB to 1 MiB" >&2
  rm -rf "$data/big-tree"
  perl -e '
    my ($top) = @ARGV;
    open(my $rnd, "<:raw", "/dev/urandom") or die;
    for my $d (0 .. 19) {
      my $dir = sprintf("%s/Folder %02d", $top, $d);
      system("mkdir", "-p", $dir) == 0 or die;
      for my $f (0 .. 49) {
        my $n = 102400 + (($d * 50 + $f) * 2654435761) % (924 * 1024 + 1);
        read($rnd, my $bytes, $n) == $n or die;
        open(my $out, ">:raw", sprintf("%s/Clip %04d.bin", $dir, $d * 50 + $f)) or die;
        print $out $bytes;
        close($out) or die;
      }
    }' "$data/big-tree"
  touch "$data/big-tree.done"
fi

echo "making the manifests of the three discs and the catalog" >&2
printf '%s\n' "$data/which-disc/" "which disc" "$extra/which-disc.xml" | "$build/disc-manifest" > /dev/null
printf '%s\n' "$data/big-tree/" "1,000 files of 100 KiB to 1 MiB" "$extra/big-tree.xml" |
  "$build/disc-manifest" > /dev/null
printf '%s\n' "$work/tree/" "20,000 files of 0 to 8 KiB" "$extra/small-tree.xml" |
  "$build/disc-manifest" > /dev/null
query="$data/query.db"
rm -f "$query" "$query-wal" "$query-shm"
"$catalog" --catalog "$query" add -q "$manifests"/*.xml
added=$("$catalog" --catalog "$query" add "$extra/which-disc.xml" "$extra/big-tree.xml" \
        "$extra/small-tree.xml")
big_disc=$(echo "$added" | awk -F'\t' 'NR == 2 {print $2}')
small_disc=$(echo "$added" | awk -F'\t' 'NR == 3 {print $2}')
[ "$(echo "$added" | cut -f1 | sort -u)" = added ] || fail "add of the three discs: $added"
if [ "$big_disc" != 202 ] || [ "$small_disc" != 203 ]; then fail "add of the three discs: $added"; fi

# The sqlite3 shell's import of the same records into one naive table, with
# its indexes made after the import or before it.
for when in after before; do
  {
    echo "CREATE TABLE file (disc INTEGER, pathname TEXT, length INTEGER, md5 TEXT);"
    [ $when = before ] && echo "CREATE INDEX file_md5 ON file (md5);" &&
      echo "CREATE INDEX file_pathname ON file (pathname);"
    echo ".mode tabs"
    echo ".import '$manifests/records.tsv' file"
    [ $when = after ] && echo "CREATE INDEX file_md5 ON file (md5);" &&
      echo "CREATE INDEX file_pathname ON file (pathname);"
    true
  } > "$data/import-$when.sql"
done

# A digest in the middle of the catalog, and how many records hold it.
hex=$(awk -F'\t' '$1 == 100 && $3 > 0 && ++n == 5000 {print $4; exit}' "$manifests/records.tsv")
places=$(cat "$manifests"/*.xml "$extra"/*.xml | grep -c -F "$hex")

db="$data/add.db"
naive="$data/naive"
all="'$manifests'/*.xml '$extra'/*.xml"
cmd[sqlite-after]="sh -c \"rm -f '$naive-after.db' && exec sqlite3 '$naive-after.db' < '$data/import-after.sql'\""
cmd[add]="sh -c \"rm -f '$db' '$db-wal' '$db-shm' && exec '$catalog' --catalog '$db' add -q '$manifests'/*.xml\""
cmd[sqlite-before]="sh -c \"rm -f '$naive-before.db' && exec sqlite3 '$naive-before.db' < '$data/import-before.sql'\""
# GNU grep stops at the first match when its output is /dev/null: every
# command here writes to a file.
cmd[grep-find]="grep -F -i report2639 $all > '$out/grep-find'"
cmd[find]="'$catalog' --catalog '$query' find '*report2639*' > '$out/find'"
cmd[like]="sqlite3 '$naive-after.db' \"SELECT * FROM file WHERE pathname LIKE '%report2639%';\" > '$out/like'"
cmd[grep-md5]="grep -F $hex $all > '$out/grep-md5'"
cmd[which-md5]="'$catalog' --catalog '$query' which --md5 $hex > '$out/which-md5'"
cmd[md5sum-files]="md5sum '$data'/which/*.bin > '$out/md5sum-files'"
cmd[which-files]="'$catalog' --catalog '$query' which '$data/which' > '$out/which-files'"
cmd[verify-big]="'$verify' -j1 -q '$extra/big-tree.xml' '$data/big-tree' > '$out/verify-big'"
cmd[identify-big]="'$catalog' --catalog '$query' identify '$data/big-tree' > '$out/identify-big'"
cmd[identify-full-big]="'$catalog' --catalog '$query' identify --full '$data/big-tree' > '$out/identify-full-big'"
cmd[verify-small]="'$verify' -j1 -q '$extra/small-tree.xml' '$work/tree' > '$out/verify-small'"
cmd[identify-small]="'$catalog' --catalog '$query' identify '$work/tree' > '$out/identify-small'"
cmd[identify-full-small]="'$catalog' --catalog '$query' identify --full '$work/tree' > '$out/identify-full-small'"
# What timing a command costs by itself: starting a program under GNU time.
cmd[true]="true"
labels=(true sqlite-after add sqlite-before grep-find find like grep-md5 which-md5 md5sum-files
        which-files verify-big identify-big identify-full-big verify-small identify-small
        identify-full-small)

# The same catalog on a PostgreSQL server, and the psql peer.
# shellcheck source=bench/pg-server.sh
source "$(dirname "$0")/pg-server.sh"
server_labels=()
if [ -n "$pg_bin" ] && command -v psql >/dev/null &&
   ! "$catalog" --catalog postgresql:// list 2>&1 | grep -q 'built without PostgreSQL'; then
  start_bench_server "$data/server" 5432
  in_schema() { echo "$pg_uri&options=-csearch_path%3D$1"; }
  # pg_trgm where the peer finds it, and so every catalog of the database.
  psql -X -q "$pg_uri" -c 'CREATE EXTENSION IF NOT EXISTS pg_trgm'
  psql -X -q "$pg_uri" -c 'DROP SCHEMA IF EXISTS bench_query CASCADE' -c 'DROP SCHEMA IF EXISTS bench_add CASCADE'
  "$catalog" --catalog "$(in_schema bench_query)" add -q "$manifests"/*.xml
  "$catalog" --catalog "$(in_schema bench_query)" add -q "$extra/which-disc.xml" "$extra/big-tree.xml" \
    "$extra/small-tree.xml"
  cat > "$data/psql-load.sql" <<SQL
DROP TABLE IF EXISTS peer_file;
CREATE TABLE peer_file (disc integer, pathname text, length bigint, md5 text);
\copy peer_file FROM '$manifests/records.tsv' WITH (FORMAT csv, DELIMITER E'\t', QUOTE E'\b')
CREATE INDEX peer_file_md5 ON peer_file (md5);
CREATE INDEX peer_file_pathname ON peer_file USING gin (pathname gin_trgm_ops);
SQL
  query_uri=$(in_schema bench_query)
  add_uri=$(in_schema bench_add)
  cmd[psql-load]="psql -X -q -v ON_ERROR_STOP=1 '$pg_uri' -f '$data/psql-load.sql'"
  cmd[server-add]="sh -c \"psql -X -q '$pg_uri' -c 'DROP SCHEMA IF EXISTS bench_add CASCADE' && exec '$catalog' --catalog '$add_uri' add -q '$manifests'/*.xml\""
  cmd[server-find]="'$catalog' --catalog '$query_uri' find '*report2639*' > '$out/server-find'"
  cmd[server-which-md5]="'$catalog' --catalog '$query_uri' which --md5 $hex > '$out/server-which-md5'"
  cmd[server-identify-big]="'$catalog' --catalog '$query_uri' identify '$data/big-tree' > '$out/server-identify-big'"
  cmd[copies]="'$catalog' --catalog '$query' copies > '$out/copies'"
  cmd[server-copies]="'$catalog' --catalog '$query_uri' copies > '$out/server-copies'"
  cmd[server-list]="'$catalog' --catalog '$query_uri' list > '$out/server-list'"
  cmd[server-export]="'$catalog' --catalog '$query_uri' export 100 > '$out/server-export'"
  cmd[server-copies-files]="'$catalog' --catalog '$query_uri' copies --files > '$out/server-copies-files'"
  cmd[server-find-all]="'$catalog' --catalog '$query_uri' find '*' > '$out/server-find-all'"
  cmd[server-which-files]="'$catalog' --catalog '$query_uri' which '$data/which' > '$out/server-which-files'"
  cmd[server-identify-small]="'$catalog' --catalog '$query_uri' identify '$work/tree' > '$out/server-identify-small'"
  server_labels=(psql-load server-add server-find server-which-md5 server-identify-big copies server-copies
                 server-list server-export server-copies-files server-find-all server-which-files
                 server-identify-small)
else
  echo "no PostgreSQL server programs, or disc-catalog built without PostgreSQL: no server figures" >&2
fi

# Every command once, with its status and its answer checked, before any is
# timed: a wrong answer fails the run.
echo "checking the answers" >&2
status() {
  local label=$1 want=$2 got=0
  eval "${cmd[$label]}" || got=$?
  [ "$got" = "$want" ] || fail "${cmd[$label]}: exit status $got, not $want"
}
lines() { grep -c . "$1" || true; }
for label in sqlite-after add sqlite-before grep-find like grep-md5 md5sum-files verify-big verify-small; do
  status "$label" 0
done
status find 0
status which-md5 0
status which-files 1
if [ -f "$db-wal" ]; then fail "add left $db-wal behind"; fi
listed=$("$catalog" --catalog "$db" list | awk -F'\t' '{n++; files += $2} END {print n, files}')
[ "$listed" = "200 2000000" ] || fail "list after add: $listed discs and files, not 200 2000000"
[ "$(lines "$out/find")" = "$(lines "$out/grep-find")" ] ||
  fail "find '*report2639*' gave $(lines "$out/find") lines, grep $(lines "$out/grep-find"): see $out"
[ "$(lines "$out/find")" = "$(lines "$out/like")" ] ||
  fail "find '*report2639*' gave $(lines "$out/find") lines, the LIKE scan $(lines "$out/like"): see $out"
if [ "$(lines "$out/which-md5")" != "$places" ] ||
   [ "$(grep -c "^found	$hex	" "$out/which-md5")" != "$places" ]; then
  fail "which --md5 $hex: $places places expected, got: $(cat "$out/which-md5")"
fi
if [ "$(grep -c '^found	.*	201	' "$out/which-files")" != 500 ] ||
   [ "$(grep -c '^unknown	' "$out/which-files")" != 500 ]; then
  fail "which $data/which: 500 files found on disc 201 and 500 unknown expected: see $out/which-files"
fi
for set in big small; do
  disc=${set}_disc
  for label in identify-$set identify-full-$set; do
    status "$label" 0
    first=$(head -n 1 "$out/$label")
    [ "$(echo "$first" | cut -f1-2)" = "${!disc}	100.0" ] ||
      fail "${cmd[$label]}: the first line is '$first', not disc ${!disc} with 100.0"
  done
done
if [ ${#server_labels[@]} -gt 0 ]; then
  for label in psql-load server-add server-which-md5 copies server-copies server-list server-export \
               server-copies-files server-find-all; do
    status "$label" 0
  done
  status server-find 0
  status server-identify-big 0
  status server-which-files 1
  status server-identify-small 0
  for pair in find:server-find which-md5:server-which-md5 identify-big:server-identify-big copies:server-copies \
              which-files:server-which-files identify-small:server-identify-small; do
    cmp -s "$out/${pair%%:*}" "$out/${pair#*:}" || fail "${pair#*:} differs from ${pair%%:*}: see $out"
  done
  "$catalog" --catalog "$query" export 100 | cmp -s - "$out/server-export" || fail "server-export differs"
  server_size=$(psql -X -At "$pg_uri" -c "SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c JOIN pg_namespace n
    ON n.oid = c.relnamespace WHERE n.nspname = 'bench_add' AND c.relkind IN ('r', 'p')")
  peer_size=$(psql -X -At "$pg_uri" -c "SELECT pg_total_relation_size('peer_file')")
  peer_table=$(psql -X -At "$pg_uri" -c "SELECT pg_table_size('peer_file')")
  peer_md5=$(psql -X -At "$pg_uri" -c "SELECT pg_relation_size('peer_file_md5')")
  peer_trgm=$(psql -X -At "$pg_uri" -c "SELECT pg_relation_size('peer_file_pathname')")
  server_tables=$(psql -X -At "$pg_uri" -c "SELECT string_agg(c.relname || ' ' || pg_size_pretty(pg_total_relation_size(c.oid)),
    ', ' ORDER BY c.relname) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
    WHERE n.nspname = 'bench_add' AND c.relkind IN ('r', 'p')")
  server_indexes=$(psql -X -At "$pg_uri" -c "SELECT string_agg(c.relname || ' ' || pg_size_pretty(pg_relation_size(c.oid)),
    ', ' ORDER BY c.relname) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
    WHERE n.nspname = 'bench_add' AND c.relkind = 'i'")
fi
catalog_bytes=$(stat -c %s "$db")
naive_after_bytes=$(stat -c %s "$naive-after.db")
naive_before_bytes=$(stat -c %s "$naive-before.db")

# The check above was the warm-up round: every file is in the page cache.
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
secs=()
kib=()
cpu=()
for ((round = 1; round <= rounds; ++round)); do
  echo "round $round of $rounds" >&2
  for label in "${labels[@]}"; do measure "$label"; done
  if [ "$round" -le "$server_rounds" ]; then
    for label in "${server_labels[@]}"; do measure "$label"; done
  fi
done
if [ -f "$db-wal" ]; then fail "add left $db-wal behind"; fi

machine_line "$rounds"
echo "load average (1, 5, 15 min) before the rounds: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "data: 200 manifests, $(cat "$manifests/stats.txt")"
echo "every command but add asks a catalog of these 200 discs and 3 more (1,500 + 20,000 records)"
echo "wall: elapsed seconds; cpu: user + system seconds (GNU time counts hundredths); x peer:"
echo "the ratio of the medians to the first line's; spread: (slowest - fastest round) / median of"
echo "the wall times. The goals are on the wall ratio; ! marks a peak RSS above 64 MiB."
printf 'Starting a program under GNU time, which every figure holds, takes %.3f s (true).\n' \
  "$(echo "$(echo "${secs[true]}" | median) / 1000000" | bc -l)"

# Prints the line of |label|: its median wall and processor seconds, each
# as a ratio to the median of |base|, the spread of its rounds, its peak
# RSS, and the goal for the wall ratio with whether it is met.
line() {
  local label=$1 base=$2 name=$3 goal=${4:-} us base_us cpu_us base_cpu spread ratio peak
  local mark=" " verdict=""
  us=$(echo "${secs[$label]}" | median)
  base_us=$(echo "${secs[$base]}" | median)
  cpu_us=$(echo "${cpu[$label]}" | median)
  base_cpu=$(echo "${cpu[$base]}" | median)
  spread=$(echo "${secs[$label]}" | tr ' ' '\n' | grep . | sort -n |
           awk -v m="$us" '{v[NR]=$1} END {printf "%.0f%%", 100 * (v[NR] - v[1]) / m}')
  ratio=$(echo "$us / $base_us" | bc -l)
  peak=$(echo "${kib[$label]}" | largest)
  [ "$peak" -gt 65536 ] && mark="!"
  if [ -n "$goal" ]; then
    if [ "$(echo "$ratio <= $goal" | bc -l)" = 1 ]; then verdict="<= $goal met"; else verdict="<= $goal MISSED"; fi
  fi
  printf '  %-40s %8.3f %6.2f %6s %8.3f %6.2f %8.1f%s  %s\n' "$name" "$(echo "$us / 1000000" | bc -l)" \
    "$ratio" "$spread" "$(echo "$cpu_us / 1000000" | bc -l)" \
    "$(echo "if ($base_cpu == 0) 0 else $cpu_us / $base_cpu" | bc -l)" \
    "$(echo "$peak / 1024" | bc -l)" "$mark" "$verdict"
}
header() {
  echo
  echo "$1"
  printf '  %-40s %8s %6s %6s %8s %6s %9s  %s\n' program "wall s" "x peer" spread "cpu s" "x peer" \
    "peak MiB" goal
}
header "add of the 200 manifests (2,000,000 records) into a new catalog"
line sqlite-after sqlite-after "sqlite3 .import, then CREATE INDEX x2"
line sqlite-before sqlite-after "sqlite3 CREATE INDEX x2, then .import"
line add sqlite-after "disc-catalog add -q" 1.0
echo
echo "size after add"
printf '  %-40s %12s %8s  %s\n' file bytes "x manifests" goal
size_line() {
  local verdict=""
  [ -n "${4:-}" ] && if [ "$(echo "$2 / $manifest_bytes <= $4" | bc -l)" = 1 ]; then
    verdict="<= $4 met"; else verdict="<= $4 MISSED"; fi
  printf '  %-40s %12d %8.2f     %s\n' "$1" "$2" "$(echo "$2 / $manifest_bytes" | bc -l)" "$verdict"
}
size_line "the 200 manifests" "$manifest_bytes"
size_line "sqlite3 table, indexes after" "$naive_after_bytes"
size_line "sqlite3 table, indexes before" "$naive_before_bytes"
size_line "disc-catalog (no -wal left)" "$catalog_bytes" 0.75
header "find of a substring: $(lines "$out/find") files match *report2639*"
line grep-find grep-find "grep -F -i report2639 (203 manifests)"
line like grep-find "sqlite3 LIKE '%report2639%' (naive)"
line find grep-find "disc-catalog find '*report2639*'" 1.0
header "one digest, on $places records"
line grep-md5 grep-md5 "grep -F HEX (203 manifests)"
line which-md5 grep-md5 "disc-catalog which --md5 HEX" 0.25
header "1,000 files of 100 KiB, 500 of them catalogued"
line md5sum-files md5sum-files "md5sum DIR/*"
line which-files md5sum-files "disc-catalog which DIR" 1.05
header "identify: 1,000 files of 100 KiB to 1 MiB (disc $big_disc)"
line verify-big verify-big "disc-verify -j1 -q MANIFEST TREE"
line identify-big verify-big "disc-catalog identify" 0.25
line identify-full-big verify-big "disc-catalog identify --full" 1.1
header "identify: 20,000 files of 0 to 8 KiB in 400 folders (disc $small_disc)"
line verify-small verify-small "disc-verify -j1 -q MANIFEST TREE"
line identify-small verify-small "disc-catalog identify" 0.6
line identify-full-small verify-small "disc-catalog identify --full" 1.1

if [ ${#server_labels[@]} -gt 0 ]; then
  echo
  echo "ON A POSTGRESQL SERVER ($("$pg_bin/postgres" --version), this machine, Unix socket; stock settings),"
  echo "the first $server_rounds round(s)"
  header "add of the 200 manifests (2,000,000 records) into a new schema"
  line psql-load psql-load "psql \\copy, then CREATE INDEX md5, trgm"
  line server-add psql-load "disc-catalog add -q" 0.75
  echo
  echo "size on the server (pg_total_relation_size of every table, indexes included)"
  printf '  %-40s %12d %8s\n' "psql's table with its two indexes" "$peer_size" 1.00
  printf '    (table %d, md5 index %d, trigram index %d)\n' "$peer_table" "$peer_md5" "$peer_trgm"
  verdict=$(echo "$server_size / $peer_size <= 0.75" | bc -l)
  printf '  %-40s %12d %8.2f  <= 0.75 %s\n' "disc-catalog's schema" "$server_size" \
    "$(echo "$server_size / $peer_size" | bc -l)" "$([ "$verdict" = 1 ] && echo met || echo MISSED)"
  echo "    tables: $server_tables"
  echo "    indexes: $server_indexes"
  header "find of a substring: $(lines "$out/server-find") files match *report2639*"
  line server-find grep-find "disc-catalog find (server)" 0.25
  header "one digest, on $places records"
  line server-which-md5 grep-md5 "disc-catalog which --md5 HEX (server)" 0.25
  header "identify: 1,000 files of 100 KiB to 1 MiB (disc $big_disc)"
  line server-identify-big verify-big "disc-catalog identify (server)" 0.25
  header "copies: content held on no other disc"
  line copies copies "disc-catalog copies (file)"
  line server-copies copies "disc-catalog copies (server)" 1.5
  header "the other commands on the server (x the file catalog's find, which, identify)"
  line server-list server-list "list"
  line server-export server-list "export 100 (10,000 records)"
  line server-copies-files copies "copies --files ($(lines "$out/server-copies-files") lines)"
  line server-find-all find "find '*' ($(lines "$out/server-find-all") lines)"
  line server-which-files which-files "which DIR (1,000 files of 100 KiB)"
  line server-identify-small identify-small "identify (20,000 files of 0 to 8 KiB)"
fi
