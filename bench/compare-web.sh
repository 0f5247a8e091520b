#!/usr/bin/env bash
# Times disc-catalog serve as a browser asks it: each request of the page
# over HTTP (curl, whole request, on this machine's loopback), on the
# catalog of 200 synthetic manifests of 10,000 records (2,000,000 records;
# bench/synthetic-manifests.pl, shared with compare-catalog.sh), next to
# grep -F -i over the same manifests and the goal of the search: at most
# 100 ms for 3 characters or more.
#
#   bench/compare-web.sh [WORK_DIR] [ROUNDS]
#
# WORK_DIR (default /tmp/disc-manifest-bench) keeps the manifests and the
# catalog between runs. Each request is sent once to check its answer,
# then ROUNDS times (default 10); the figures are the median and the
# slowest of those, in milliseconds, and the server's resident memory.
set -euo pipefail

work=${1:-/tmp/disc-manifest-bench}
rounds=${2:-10}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${DISC_CATALOG_BUILD:-$repo/build-release}

command -v curl >/dev/null || { echo "compare-web.sh: curl is needed (Debian: curl)" >&2; exit 1; }
if [ ! -x "$build/disc-catalog" ] || [ -z "${DISC_CATALOG_BUILD:-}" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target disc-catalog >/dev/null
fi
catalog_program="$build/disc-catalog"

data="$work/catalog"
manifests="$data/manifests"
mkdir -p "$data" "$work/web"
# shellcheck source=bench/synthetic-data.sh
source "$repo/bench/synthetic-data.sh"
stamp=$(make_synthetic_manifests "$repo" "$data")
catalog="$work/web/catalog.db"
if [ "$(cat "$work/web/catalog.done" 2>/dev/null)" != "$stamp" ]; then
  echo "adding them to $catalog" >&2
  rm -f "$catalog" "$catalog"-*
  "$catalog_program" --catalog "$catalog" add -q "$manifests"/*.xml
  echo "$stamp" > "$work/web/catalog.done"
fi

errors="$work/web/serve.err"
started=$(date +%s.%N)
"$catalog_program" --catalog "$catalog" serve --listen 127.0.0.1:0 2> "$errors" &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
until grep -q 'at http://' "$errors"; do
  kill -0 "$server" 2>/dev/null || { cat "$errors" >&2; exit 1; }
  sleep 0.05
done
ready=$(date +%s.%N)
url=$(sed -n 's|.* at \(http://[0-9.:]*\)/$|\1|p' "$errors")

# The median and the slowest of ROUNDS requests of $1, in milliseconds.
time_request() {
  local target=$1 times=()
  curl -s -f -o /dev/null "$url$target" || { echo "compare-web.sh: $target failed" >&2; exit 1; }
  for ((i = 0; i < rounds; i++)); do
    times+=("$(curl -s -o /dev/null -w '%{time_total}' "$url$target")")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 * 1000 } END { printf "%8.1f %8.1f", t[int((NR + 1) / 2)], t[NR] }'
}

count_of() { curl -s "$url$1" | grep -o '"count":[0-9]*' | cut -d: -f2; }

printf 'disc-catalog serve on %s records; %s rounds; load average %s\n' \
  "$(cat "$manifests"/*.xml | grep -c '<key_file')" "$rounds" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'ready in %.2f s (the names of every disc read into memory)\n' "$(echo "$ready - $started" | bc)"
printf '%-46s %8s %8s  %s\n' "request" "median" "slowest" "goal"
for text in report2639 2639 dsc rep zzzq; do
  printf '%-46s %s  %s\n' "find '$text' ($(count_of "/api/find?text=$text&limit=50") files)" \
    "$(time_request "/api/find?text=$text&limit=50")" "<= 100 ms"
done
for text in 'backup\2004' 'old pc\dsc'; do
  target="/api/find?text=$(printf '%s' "$text" | sed 's/ /%20/g; s/\\/%5C/g')&limit=50"
  printf '%-46s %s\n' "find '$text' ($(count_of "$target") files, whole pathnames)" "$(time_request "$target")"
done
md5=$(awk -F'md5="' 'NF > 1 { print substr($2, 1, 32); exit }' "$(find -L "$manifests" -name '*.xml' | sort | head -n 1)")
printf '%-46s %s\n' "which (md5 and length)" "$(time_request "/api/which?md5=$md5")"
printf '%-46s %s\n' "discs" "$(time_request /api/discs)"
printf '%-46s %s\n' "a disc's files (10,000)" "$(time_request /api/discs/7/files)"
printf '%-46s %s\n' "a disc's manifest" "$(time_request /api/discs/7/manifest)"
printf '%-46s %s\n' "copies (give-away list)" "$(time_request /api/copies)"
printf '%-46s %s\n' "the page" "$(time_request /)"
peer_start=$(date +%s.%N)
grep -F -i -c report2639 "$manifests"/*.xml > /dev/null || true
peer_end=$(date +%s.%N)
printf '%-46s %8.1f\n' "peer: grep -F -i report2639 (200 manifests)" "$(echo "($peer_end - $peer_start) * 1000" | bc)"
printf 'server resident memory: %s\n' "$(grep VmRSS "/proc/$server/status" | awk '{ printf "%.0f MiB", $2 / 1024 }')"
kill -TERM "$server"
wait "$server"
trap - EXIT
