# The synthetic manifests the catalog's benchmarks share (sourced by
# compare-catalog.sh and compare-web.sh).

# Makes 200 manifests of 10,000 records in $2/manifests, with their
# records as TAB-separated lines (bench/synthetic-manifests.pl of the
# repository $1), again only when that generator changed; prints the
# generator's digest, which names what was made.
make_synthetic_manifests() {
  local repo=$1 data=$2
  local generator="$repo/bench/synthetic-manifests.pl"
  local stamp
  stamp=$(md5sum < "$generator" | cut -c1-32)
  if [ "$(cat "$data/manifests.done" 2>/dev/null)" != "$stamp" ]; then
    echo "making 200 manifests of 10,000 records" >&2
    rm -rf "$data/manifests" "$data/manifests.done"
    perl "$generator" "$data/manifests" 200 10000 >&2
    echo "$stamp" > "$data/manifests.done"
  fi
  echo "$stamp"
}
