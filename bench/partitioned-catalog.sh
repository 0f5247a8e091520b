#!/usr/bin/env bash
# Times a catalog on a PostgreSQL server whose large tables, file and
# folder, are hash-partitioned by disc (the layout Citus spreads over
# servers), against the same catalog unpartitioned, on the data of
# compare-catalog.sh (run that first):
#
#   bench/partitioned-catalog.sh [WORK_DIR] [PARTITIONS]
#
# WORK_DIR is compare-catalog.sh's (default /tmp/disc-manifest-bench): its
# 200 synthetic manifests, its trees and its server's data folder. The
# server is started as user postgres and stopped at the end. Each command
# runs twice; the second run's elapsed seconds are printed.
set -euo pipefail

work=${1:-/tmp/disc-manifest-bench}
partitions=${2:-8}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
catalog="$repo/build-release/disc-catalog"
data="$work/catalog"
pg_dir="$data/server"
pg_bin=$(find /usr/lib/postgresql -maxdepth 2 -name bin -type d | sort -V | tail -n 1)
[ -x "$catalog" ] && [ -f "$pg_dir/data/PG_VERSION" ] || {
  echo "partitioned-catalog.sh: run bench/compare-catalog.sh $work first" >&2
  exit 1
}
as_postgres() {
  if [ "$(id -u)" = 0 ]; then setpriv --reuid=postgres --regid=postgres --init-groups "$@"; else "$@"; fi
}
as_postgres "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w start \
  -o "-k $pg_dir -p 5432 -c listen_addresses=" > /dev/null
trap 'as_postgres "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast -w stop > /dev/null' EXIT
db="postgresql://postgres@/postgres?host=$pg_dir&port=5432"
uri="$db&options=-csearch_path%3Dbench_part"
manifests=("$data"/manifests/*.xml)
sql() { psql -X -q -v ON_ERROR_STOP=1 "$db" -c "$1"; }

sql 'CREATE EXTENSION IF NOT EXISTS pg_trgm'
sql 'DROP SCHEMA IF EXISTS bench_part CASCADE' 2> /dev/null
"$catalog" --catalog "$uri" add -q "${manifests[0]}"
# The large tables made again, hash-partitioned by disc key, with their
# indexes on the partitioned tables (the catalog builds none of its own
# on a partitioned table).
trgm=$(psql -X -At "$db" -c "SELECT quote_ident(n.nspname) FROM pg_extension e
  JOIN pg_namespace n ON n.oid = e.extnamespace WHERE extname = 'pg_trgm'")
for table in file folder; do
  sql "ALTER TABLE bench_part.$table RENAME TO ${table}_whole"
  sql "CREATE TABLE bench_part.$table (LIKE bench_part.${table}_whole) PARTITION BY HASH (disc)"
  for ((p = 0; p < partitions; ++p)); do
    sql "CREATE TABLE bench_part.${table}_$p PARTITION OF bench_part.$table
         FOR VALUES WITH (MODULUS $partitions, REMAINDER $p)"
  done
  sql "INSERT INTO bench_part.$table SELECT * FROM bench_part.${table}_whole"
  sql "DROP TABLE bench_part.${table}_whole"
done
sql "ALTER TABLE bench_part.folder ADD PRIMARY KEY (disc, id);
     CREATE INDEX ON bench_part.file (disc);
     CREATE INDEX ON bench_part.file (md5, length, disc);
     CREATE INDEX ON bench_part.file USING gin ((translate(encode(name, 'escape'),
       'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz')) $trgm.gin_trgm_ops)"
start=${EPOCHREALTIME/[.,]/}
"$catalog" --catalog "$uri" add -q "${manifests[@]:1}"
end=${EPOCHREALTIME/[.,]/}
printf '%-44s %8.3f\n' "add of 199 manifests, indexes in place" "$(echo "($end - $start) / 1000000" | bc -l)"
sql 'VACUUM (ANALYZE) bench_part.file'
size=$(psql -X -At "$db" -c "SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c JOIN pg_namespace n
  ON n.oid = c.relnamespace WHERE n.nspname = 'bench_part' AND c.relkind IN ('r', 'p') AND NOT c.relispartition")
size_parts=$(psql -X -At "$db" -c "SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c JOIN pg_namespace n
  ON n.oid = c.relnamespace WHERE n.nspname = 'bench_part' AND c.relkind = 'r'")
echo "size: $size_parts bytes in every table and partition, indexes included ($size outside the partitions)"
hex=$(awk -F'\t' '$1 == 100 && $3 > 0 && ++n == 5000 {print $4; exit}' "$data/manifests/records.tsv")
time_it() {
  local name=$1 start end
  shift
  "$catalog" --catalog "$uri" "$@" > "$data/out/part-$name" || true
  start=${EPOCHREALTIME/[.,]/}
  "$catalog" --catalog "$uri" "$@" > "$data/out/part-$name" || true
  end=${EPOCHREALTIME/[.,]/}
  printf '%-44s %8.3f\n' "$name" "$(echo "($end - $start) / 1000000" | bc -l)"
}
time_it "find '*report2639*'" find '*report2639*'
time_it "which --md5 HEX" which --md5 "$hex"
time_it "list" list
time_it "export 100" export 100
time_it "copies" copies
time_it "identify (a disc of the 200)" identify "${manifests[99]}"
