#!/usr/bin/env bash
# Makes SQLite's single-file source, sqlite3.c and sqlite3.h, for the
# Windows programs from Debian's own sqlite3 source package, and keeps it in
# a cache folder that every later configure of every build reuses.
#
#   cmake/sqlite-source.sh CACHE LOG
#
# The version is the source version of the system's libsqlite3-dev, so that
# the Windows programs carry the SQLite the Linux programs link; where that
# package is not installed, its candidate (what `apt-get install` would
# install). The result is CACHE/sqlite3-VERSION/ with sqlite3.c, sqlite3.h,
# the package's .dsc and debian-version. When it is there, nothing else is
# done: no network, no tool beyond dpkg-query and apt-cache.
#
# Otherwise the source is fetched with apt-get, through a deb-src entry for
# each deb entry of the system's sources, given to apt in private folders
# for this one call: the system's apt configuration and lists stay as they
# are. apt checks every downloaded file against the Sources index of the
# signed Release file, and dpkg-source -x checks the tarballs against the
# .dsc before it unpacks them and applies Debian's patches. The tree holds
# SQLite's full source, not the single file, so `configure && make sqlite3.c`
# makes it: that needs tclsh and a C compiler for the build machine. The
# sources, the build and apt's private lists are removed afterwards.
#
# Standard output gets one line, and nothing else: on success the folder,
# a TAB and a note (empty, or why another version was taken); on failure
# the reason, with exit status 1. Everything the tools print goes to LOG.
set -uo pipefail
# apt's messages are read below.
export LC_ALL=C

cache=$1
log=$2
exec 3>&1 >"$log" 2>&1

fail() {
  echo "$*" >&3
  exit 1
}

# What went wrong, in apt's own words, which name the mirror and the
# reason: the first index it could not fetch, else its first error.
apt_reason() {
  { grep -E '^(E|W): Failed to fetch' "$1"; grep '^E: ' "$1"; } | head -1 | cut -c4- | tr -s ' '
}

step() {
  echo "== $(date '+%H:%M:%S') $*"
}

# Debian versions may hold an epoch's colon, which no folder name should.
folder_for() {
  printf '%s/sqlite3-%s' "$cache" "${1//:/_}"
}

# Ends with FOLDER, and a note when it holds another version than wanted.
found() {
  local folder version note=
  folder=$(readlink -f "$1")
  step "using $folder"
  version=$(cat "$folder/debian-version")
  if [ -z "$wanted" ]; then
    note=" (libsqlite3-dev has no version here: the newest source taken)"
  elif [ "$version" != "$wanted" ]; then
    note=" (the mirror has not $wanted, the version of libsqlite3-dev)"
  fi
  printf '%s\t%s\n' "$folder" "$note" >&3
  exit 0
}

step "looking for the version of libsqlite3-dev"
source_name=sqlite3
wanted=
installed=$(dpkg-query -W -f '${db:Status-Abbrev}|${source:Package}|${source:Version}' libsqlite3-dev 2>/dev/null)
if [[ $installed == ii* ]]; then
  IFS='|' read -r _ source_name wanted <<<"$installed"
  echo "libsqlite3-dev is installed, from $source_name $wanted"
else
  # Not installed: the candidate's record names its source and, when it
  # differs from the binary's, the source's version.
  record=$(apt-cache show --no-all-versions libsqlite3-dev 2>/dev/null)
  version=$(sed -n 's/^Version: //p' <<<"$record" | head -1)
  source_field=$(sed -n 's/^Source: //p' <<<"$record" | head -1)
  if [ -n "$source_field" ]; then
    source_name=${source_field%% *}
    if [[ $source_field == *'('*')'* ]]; then
      version=${source_field#*(}
      version=${version%)*}
    fi
  fi
  wanted=$version
  echo "libsqlite3-dev is not installed; its candidate comes from $source_name ${wanted:-(none)}"
fi

if [ -n "$wanted" ] && [ -f "$(folder_for "$wanted")/sqlite3.c" ]; then
  found "$(folder_for "$wanted")"
fi

# Fetching and making it needs these.
command -v apt-get >/dev/null || fail "no apt-get to fetch Debian's $source_name source with"
command -v dpkg-source >/dev/null || fail "no dpkg-source to unpack Debian's $source_name source (Debian: dpkg-dev)"
tclsh=
for candidate in tclsh8.7 tclsh8.6 tclsh8.5 tclsh; do
  command -v "$candidate" >/dev/null && tclsh=$candidate && break
done
[ -n "$tclsh" ] || fail "no tclsh to make sqlite3.c with (Debian: tcl)"
command -v make >/dev/null || fail "no make to make sqlite3.c with (Debian: make)"
command -v cc >/dev/null || command -v gcc >/dev/null ||
  fail "no C compiler for this machine to make sqlite3.c with (Debian: gcc)"

mkdir -p "$cache" || fail "cannot create the cache folder $cache"
# A second configure (the other preset, say) waits for the first and then
# finds its result; results appear whole, by a rename.
if command -v flock >/dev/null; then
  exec 9>"$cache/.sqlite3.lock" || fail "cannot write in the cache folder $cache"
  step "waiting for the lock"
  flock -w 1800 9 || fail "another configure has held $cache/.sqlite3.lock for 30 minutes"
  # What a configure that was killed left behind: no other is at work now.
  rm -rf "$cache"/.work.*
fi
if [ -n "$wanted" ] && [ -f "$(folder_for "$wanted")/sqlite3.c" ]; then
  found "$(folder_for "$wanted")"
fi

work=$(mktemp -d "$cache/.work.XXXXXX") || fail "cannot write in the cache folder $cache"
trap 'rm -rf "$work"' EXIT

# apt in private folders: a deb-src entry for each deb entry of the system.
# Entries that are no Debian mirror may have no sources; their failure does
# not matter as long as the package is found.
step "writing the deb-src entries"
etc=$work/apt/etc
mkdir -p "$etc/sources.list.d" "$work/apt/state/lists/partial" "$work/apt/cache/archives/partial" "$work/dl"
list=/etc/apt/sources.list
parts=/etc/apt/sources.list.d
eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
: >"$etc/sources.list"
for file in "$list" "$parts"/*.list; do
  [ -f "$file" ] && sed -n 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$file" >>"$etc/sources.list"
done
for file in "$parts"/*.sources; do
  [ -f "$file" ] && sed 's/^Types:.*/Types: deb-src/I' "$file" >"$etc/sources.list.d/$(basename "$file")"
done
cat "$etc/sources.list" "$etc/sources.list.d/"*.sources 2>/dev/null
apt=(-o "Dir::Etc::SourceList=$etc/sources.list"
     -o "Dir::Etc::SourceParts=$etc/sources.list.d"
     -o "Dir::State=$work/apt/state"
     -o "Dir::Cache=$work/apt/cache"
     -o Acquire::http::Timeout=30 -o Acquire::https::Timeout=30 -o Acquire::Retries=1
     -q)

step "apt-get update (private lists)"
apt-get "${apt[@]}" update 2>&1 | tee "$work/update.log"

# The wanted version; where the mirror no longer has it (a newer one has
# replaced it), the newest there is, and the one line says so.
cd "$work/dl" || fail "cannot enter $work/dl"
got=
: >"$work/source.log"
if [ -n "$wanted" ]; then
  step "apt-get source $source_name=$wanted"
  apt-get "${apt[@]}" source --download-only "$source_name=$wanted" 2>&1 | tee "$work/source.log" && got=yes
fi
if [ -z "$got" ]; then
  rm -f ./*
  step "apt-get source $source_name (the newest)"
  if ! apt-get "${apt[@]}" source --download-only "$source_name" 2>&1 | tee -a "$work/source.log"; then
    reason=$(apt_reason "$work/update.log")
    [ -n "$reason" ] || reason=$(apt_reason "$work/source.log")
    fail "cannot fetch Debian's $source_name source: ${reason:-apt-get source failed}"
  fi
fi
dscs=(./*.dsc)
dsc=${dscs[0]}
[ -f "$dsc" ] || fail "apt-get source fetched no .dsc of $source_name"
version=$(sed -n 's/^Version: //p' "$dsc" | head -1)
result=$(folder_for "$version")
# Another version than wanted: later configures find it under the wanted
# one's name too, and fetch nothing.
substitute() {
  if [ -n "$wanted" ] && [ "$version" != "$wanted" ]; then
    ln -sfn "$(basename "$result")" "$(folder_for "$wanted")"
  fi
}
if [ -f "$result/sqlite3.c" ]; then
  substitute
  found "$result"
fi

step "dpkg-source -x $dsc"
dpkg-source -x "$dsc" "$work/src" || fail "dpkg-source could not unpack $(basename "$dsc")"

step "configure"
mkdir "$work/build"
cd "$work/build" || fail "cannot enter $work/build"
# Only the generators are built, for this machine, with its own compiler
# and no flags of the caller's: the parser that lemon writes must not
# depend on them.
if ! env -u CC -u CFLAGS -u CPPFLAGS -u LDFLAGS -u MAKEFLAGS -u MFLAGS TCLSH_CMD="$tclsh" \
     "$work/src/configure" --disable-tcl --disable-readline --disable-editline; then
  cat config.log
  fail "SQLite's configure failed"
fi
step "make sqlite3.c"
env -u MAKEFLAGS -u MFLAGS make sqlite3.c || fail "make sqlite3.c failed"

step "keeping the result"
mkdir "$work/result"
cp sqlite3.c sqlite3.h "$work/dl/$(basename "$dsc")" "$work/result/" ||
  fail "cannot copy the result into $work/result"
echo "$version" >"$work/result/debian-version"
mv -T "$work/result" "$result" || fail "cannot rename $work/result to $result"
substitute
found "$result"
