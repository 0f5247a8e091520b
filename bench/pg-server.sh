# Sourced by the benches that time the catalog on a server: a PostgreSQL
# server of their own, its data in a folder kept from run to run, reached
# over a socket in that folder, and stopped when the script ends.
#
#   start_bench_server DIR PORT    starts it; sets $pg_uri
#
# $pg_bin is the newest installed server's programs, or empty.

pg_bin=$(find /usr/lib/postgresql -maxdepth 2 -name bin -type d 2>/dev/null | sort -V | tail -n 1)

# The server refuses to run as root.
as_postgres() {
  if [ "$(id -u)" = 0 ]; then setpriv --reuid=postgres --regid=postgres --init-groups "$@"; else "$@"; fi
}

start_bench_server() {
  local dir=$1 port=$2
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown postgres "$dir"
    as_postgres "$pg_bin/initdb" -D "$dir/data" -U postgres --auth-local=trust -E UTF8 --locale=C.UTF-8 > /dev/null
  fi
  as_postgres "$pg_bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w start \
    -o "-k $dir -p $port -c listen_addresses=" > /dev/null
  # shellcheck disable=SC2064 # the folder as it is now
  trap "as_postgres '$pg_bin/pg_ctl' -D '$dir/data' -m fast -w stop > /dev/null" EXIT
  pg_uri="postgresql://postgres@/postgres?host=$dir&port=$port"
}
