#!/usr/bin/env bash
# CI, after .ci/run: the packages. Makes the .deb and the .tar.gz in a
# build folder of their own (build-pkg), checks what they hold, unpacks the
# .deb into a temporary root and runs the programs and the manual pages
# from there; then makes the Windows zips in the win32 and win64 preset
# builds and checks what they hold.
#
# Run from the repository root. The Windows builds are taken from
# DISC_MANIFEST_WIN32_BUILD and DISC_MANIFEST_WIN64_BUILD (default
# build/win32 and build/win64, where .ci/run builds them); they must have
# been configured from their presets.
#
# One command a line: set -e stops the script at the first command that
# fails, but not inside an && chain, so no step is chained.
set -euo pipefail

build=build-pkg
win32_build=${DISC_MANIFEST_WIN32_BUILD:-build/win32}
win64_build=${DISC_MANIFEST_WIN64_BUILD:-build/win64}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { printf 'package-check: %s\n' "$*"; }

# Fails, saying what was looked for, unless the file $1 has a line that
# matches the extended regular expression $2.
must_match() {
  if ! grep -Eq -- "$2" "$1"; then
    printf 'package-check: %s has no line matching %s\n' "$1" "$2" >&2
    exit 1
  fi
}

# Fails, showing the file $1, unless it is empty; $2 says what it holds.
must_be_empty() {
  if [ -s "$1" ]; then
    printf 'package-check: %s:\n' "$2" >&2
    cat "$1" >&2
    exit 1
  fi
}

# The one version, as project() in CMakeLists.txt gives it.
version=$(sed -n 's/^project(disc_manifest VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo 'package-check: no version in the project() line of CMakeLists.txt' >&2
  exit 1
fi
step "version $version"

# --- Linux: the .deb and the .tar.gz ------------------------------------

step "building in $build"
# The packages' maintainer, taken as Debian's own tools take it.
export DEBFULLNAME='Package Check' DEBEMAIL='package-check@example.org'
rm -f "$build/CMakeCache.txt"
cmake -S . -B "$build" -DBUILD_TESTING=OFF -DDISC_MANIFEST_WERROR=ON
cmake --build "$build" -j2
cpack --config "$build/CPackConfig.cmake" -B "$build"

arch=$(dpkg --print-architecture)
deb="$build/disc-manifest_${version}_${arch}.deb"
tarball="$build/disc-manifest-${version}-Linux-$(uname -m).tar.gz"
ls -l "$deb" "$tarball"

step "dpkg-deb --info $deb"
dpkg-deb --info "$deb" > "$work/info.txt"
cat "$work/info.txt"
printf '%s\n' " Architecture: $arch" ' Package: disc-manifest' ' Section: utils' " Version: $version" > "$work/fields.expected"
grep -E '^ (Architecture|Package|Section|Version):' "$work/info.txt" | sort > "$work/fields.txt"
diff -u "$work/fields.expected" "$work/fields.txt"
must_match "$work/info.txt" '^ Maintainer: Package Check <package-check@example\.org>$'
must_match "$work/info.txt" '^ Description: .+'
must_match "$work/info.txt" '^  .+'  # the long description

step "tar -tzf $tarball"
top="disc-manifest-${version}-Linux-$(uname -m)"
tar -tzf "$tarball" | grep -v '/$' | sort > "$work/tar.txt"
# The guides, docs/*.md, go beside the README in docs/.
guides=(docs/*.md)
{
  printf "$top/%s\n" bin/disc-catalog bin/disc-manifest bin/disc-verify \
    share/bash-completion/completions/disc-catalog share/bash-completion/completions/disc-manifest \
    share/bash-completion/completions/disc-verify share/doc/disc-manifest/LICENSE \
    share/doc/disc-manifest/README.md share/man/man1/disc-catalog.1 share/man/man1/disc-manifest.1 \
    share/man/man1/disc-verify.1
  printf "$top/share/doc/disc-manifest/%s\n" "${guides[@]}"
} | sort > "$work/tar.expected"
diff -u "$work/tar.expected" "$work/tar.txt"

step "unpacking $deb into a temporary root"
root="$work/root"
dpkg -x "$deb" "$root"
bin="$root/usr/bin"

# Dependencies as dpkg-shlibdeps found them: none for static programs,
# the C library at least for dynamic ones (disc-catalog, where it speaks to
# PostgreSQL, is linked dynamically to load libpq).
readelf -d "$bin/disc-manifest" "$bin/disc-verify" > "$work/dynamic.txt"
readelf -d "$bin/disc-catalog" > "$work/catalog-dynamic.txt"
dpkg-deb --field "$deb" Depends | sed '/^$/d' > "$work/depends.txt"
static=yes
if grep -q '(NEEDED)' "$work/dynamic.txt"; then
  static=no
  step "dynamically linked; Depends: $(cat "$work/depends.txt")"
  must_match "$work/depends.txt" '(^|, )libc6( |,|$)'
elif grep -q '(NEEDED)' "$work/catalog-dynamic.txt"; then
  step "disc-catalog dynamically linked; Depends: $(cat "$work/depends.txt")"
  must_match "$work/depends.txt" '(^|, )libc6( |,|$)'
else
  step "statically linked; Depends: none"
  must_be_empty "$work/depends.txt" "static programs, yet the package depends on"
fi
# disc-catalog loads libpq while it runs, for a catalog on a server alone:
# the package recommends it, and depends on nothing for it.
if grep -q 'libpq.so.5' "$bin/disc-catalog"; then
  dpkg-deb --field "$deb" Recommends > "$work/recommends.txt"
  must_match "$work/recommends.txt" '(^|, )libpq5( |,|$)'
fi

step "dpkg-deb --contents $deb"
dpkg-deb --contents "$deb" > "$work/contents.txt"
cat "$work/contents.txt"
# Every file with its mode and owner: the two programs, their pages
# gzipped, the README and its guides, and what Debian asks for (the licence as the
# copyright file, a changelog, and for static programs lintian's override
# of its word on them); no tests, benchmarks or libraries.
awk '$1 !~ /^d/ { print $1, $2, $6 }' "$work/contents.txt" | sort -k 3 > "$work/files.txt"
cat > "$work/files.expected" <<'EOF'
-rwxr-xr-x root/root ./usr/bin/disc-catalog
-rwxr-xr-x root/root ./usr/bin/disc-manifest
-rwxr-xr-x root/root ./usr/bin/disc-verify
-rw-r--r-- root/root ./usr/share/bash-completion/completions/disc-catalog
-rw-r--r-- root/root ./usr/share/bash-completion/completions/disc-manifest
-rw-r--r-- root/root ./usr/share/bash-completion/completions/disc-verify
-rw-r--r-- root/root ./usr/share/doc/disc-manifest/README.md
-rw-r--r-- root/root ./usr/share/doc/disc-manifest/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/disc-manifest/copyright
EOF
if [ "$static" = yes ]; then
  echo '-rw-r--r-- root/root ./usr/share/lintian/overrides/disc-manifest' >> "$work/files.expected"
fi
printf '%s\n' '-rw-r--r-- root/root ./usr/share/man/man1/disc-catalog.1.gz' \
  '-rw-r--r-- root/root ./usr/share/man/man1/disc-manifest.1.gz' \
  '-rw-r--r-- root/root ./usr/share/man/man1/disc-verify.1.gz' >> "$work/files.expected"
printf -- '-rw-r--r-- root/root ./usr/share/doc/disc-manifest/%s\n' "${guides[@]}" >> "$work/files.expected"
sort -k 3 -o "$work/files.expected" "$work/files.expected"
diff -u "$work/files.expected" "$work/files.txt"

step "lintian $deb"
# Fails on any error or warning; the override, for static programs, may
# silence statically-linked-binary and nothing else.
lintian --fail-on error,warning "$deb"
if [ "$static" = yes ]; then
  # grep's status 1 (no line left) is what is wanted; 2, a failure, fails.
  grep -Ev '^(#|$|disc-manifest: statically-linked-binary )' "$root/usr/share/lintian/overrides/disc-manifest" \
    > "$work/overrides.txt" || [ $? -eq 1 ]
  must_be_empty "$work/overrides.txt" "lintian overrides beyond statically-linked-binary"
fi

step "the copyright file and the changelog"
doc="$root/usr/share/doc/disc-manifest"
must_match "$doc/copyright" '^Copyright: 2026 The disc-manifest authors$'
# The licence's terms, as LICENSE has them.
sed 's/^ //; s/^\.$//' "$doc/copyright" | sed -n '/^Permission is hereby granted/,$p' > "$work/terms.txt"
sed -n '/^Permission is hereby granted/,$p' LICENSE > "$work/terms.expected"
diff -u "$work/terms.expected" "$work/terms.txt"
# The changelog's latest entry is this version's.
zcat "$doc/changelog.gz" | head -1 > "$work/changelog-head.txt"
printf 'disc-manifest (%s) unstable; urgency=medium\n' "$version" > "$work/changelog-head.expected"
diff -u "$work/changelog-head.expected" "$work/changelog-head.txt"

step "installed bash completions"
for program in disc-manifest disc-verify disc-catalog; do
  bash -c "source '$root/usr/share/bash-completion/completions/$program' && complete -p $program" \
    > "$work/complete.txt"
  printf 'complete -F _%s %s\n' "${program//-/_}" "$program" > "$work/complete.expected"
  diff -u "$work/complete.expected" "$work/complete.txt"
done

step "installed disc-verify --version"
"$bin/disc-verify" --version > "$work/version.txt"
printf 'disc-verify %s\n' "$version" > "$work/version.expected"
diff -u "$work/version.expected" "$work/version.txt"

step "installed disc-manifest with piped answers"
mkdir -p "$work/tree/V"
printf 'hello' > "$work/tree/A.TXT"
printf 'abc' > "$work/tree/V/B.BIN"
printf '%s\n' "$work/tree/" 'Package check' "$work/tree.xml" | "$bin/disc-manifest" > "$work/trace.txt" 2> "$work/trace-errors.txt"
must_be_empty "$work/trace-errors.txt" "disc-manifest wrote to standard error"
must_match "$work/trace.txt" "^Target file is $work/tree/V\\\\\\*\\.\$"
printf '%s\r\n' '<root>' '<key_disc name="Package check">' \
  '<key_file pathname="A.TXT" length="5" md5="5d41402abc4b2a76b9719d911017c592" />' \
  '<key_file pathname="V\B.BIN" length="3" md5="900150983cd24fb0d6963f7d28e17f72" />' \
  '</key_disc>' '</root>' > "$work/tree.expected"
cmp "$work/tree.expected" "$work/tree.xml"

step "installed disc-verify over the same tree"
"$bin/disc-verify" "$work/tree.xml" "$work/tree" > "$work/report.txt"
printf '%s\n' 'OK A.TXT' 'OK V\B.BIN' \
  'Summary: 2 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new' > "$work/report.expected"
diff -u "$work/report.expected" "$work/report.txt"

step "installed disc-catalog over the same manifest"
"$bin/disc-catalog" --catalog "$work/catalog.db" add "$work/tree.xml" > "$work/added.txt"
printf 'added\t1\t2\tPackage check\n' > "$work/added.expected"
diff -u "$work/added.expected" "$work/added.txt"
"$bin/disc-catalog" --catalog "$work/catalog.db" export 1 > "$work/exported.xml"
cmp "$work/tree.xml" "$work/exported.xml"
"$bin/disc-catalog" --catalog "$work/catalog.db" identify "$work/tree" > "$work/identified.txt"
printf '1\t100.0\t2\t2\tPackage check\n' > "$work/identified.expected"
diff -u "$work/identified.expected" "$work/identified.txt"

for page in disc-manifest disc-verify disc-catalog; do
  installed="$root/usr/share/man/man1/$page.1.gz"
  step "man -l $installed"
  # The page the tarball has, gzipped.
  zcat "$installed" > "$work/$page.1"
  tar -xzOf "$tarball" "$top/share/man/man1/$page.1" > "$work/$page-plain.1"
  cmp "$work/$page-plain.1" "$work/$page.1"
  MANPAGER=cat MANWIDTH=80 man --warnings -l "$installed" > "$work/$page.txt" 2> "$work/$page-warnings.txt"
  must_be_empty "$work/$page-warnings.txt" "man warns about $page.1"
  must_match "$work/$page.txt" '^NAME$'
  # The footer names the version the page was made with.
  must_match "$work/$page.txt" "^disc-manifest ${version//./\\.} .*$(tr a-z A-Z <<<"$page")\\(1\\)\$"
  step "linting $page.1"
  groff -man -ww -z "$work/$page.1" 2> "$work/$page-groff.txt"
  must_be_empty "$work/$page-groff.txt" "groff warns about $page.1"
  mandoc -Tlint "$work/$page.1"
done

# --- Windows: the zips ----------------------------------------------------

for target in win32 win64; do
  if [ "$target" = win32 ]; then
    dir=$win32_build
    triple=i686-w64-mingw32
    format=pei-i386
  else
    dir=$win64_build
    triple=x86_64-w64-mingw32
    format=pei-x86-64
  fi
  step "the $target zip, in $dir"
  cmake --build "$dir" -j2
  cpack --config "$dir/CPackConfig.cmake" -B "$dir"
  zip="$dir/disc-manifest-${version}-${target}.zip"
  ls -l "$zip"
  top="disc-manifest-${version}-${target}"
  unzip -Z1 "$zip" | grep -v '/$' | sort > "$work/$target-zip.txt"
  printf "$top/%s\n" LICENSE.txt README.txt disc-catalog.exe disc-manifest.exe disc-verify.exe "${guides[@]}" |
    sort > "$work/$target-zip.expected"
  diff -u "$work/$target-zip.expected" "$work/$target-zip.txt"
  unzip -q "$zip" -d "$work/$target"
  # README.txt and LICENSE.txt are README.md and LICENSE with every line
  # ended by CR LF, and so is each guide in docs/.
  texts=(README.md:README.txt LICENSE:LICENSE.txt)
  for guide in "${guides[@]}"; do
    texts+=("$guide:$guide")
  done
  for text in "${texts[@]}"; do
    source=${text%%:*}
    copy="$work/$target/$top/${text#*:}"
    sed 's/$/\r/' "$source" > "$work/$target-${source//\//-}.expected"
    cmp "$work/$target-${source//\//-}.expected" "$copy"
    if grep -q $'[^\r]$\|^$' "$copy"; then
      echo "package-check: $copy has a line without CR LF" >&2
      exit 1
    fi
  done
  # Console programs of the right kind that need no DLL beyond the system's.
  for program in disc-manifest disc-verify disc-catalog; do
    "$triple-objdump" -f -p "$work/$target/$top/$program.exe" > "$work/$target-$program.txt"
    must_match "$work/$target-$program.txt" "file format $format\$"
    must_match "$work/$target-$program.txt" '^Subsystem.*\(Windows CUI\)$'
    grep 'DLL Name:' "$work/$target-$program.txt" | awk '{ print $3 }' | sort > "$work/$target-$program-dlls.txt"
    printf '%s\n' KERNEL32.dll msvcrt.dll > "$work/$target-dlls.expected"
    diff -u "$work/$target-dlls.expected" "$work/$target-$program-dlls.txt"
  done
done

step "all packages checked"
