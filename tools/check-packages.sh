#!/usr/bin/env bash
# Installs a Linux build into a temporary prefix, builds the Debian package
# from it and the .zip from a Windows build, and checks what they hold: the .deb unpacked into a temporary root
# runs and has its manual and its library dependencies; the .zip holds the
# executable, the README and the licence.
# Usage: tools/check-packages.sh LINUX_BUILD [WINDOWS_BUILD]
set -euo pipefail
linux=$(realpath "$1")
fail() { echo "FAIL: $*"; exit 1; }

prefix=$(mktemp -d)
cmake --install "$linux" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/quillon" ] || fail "cmake --install put no bin/quillon"
[ -f "$prefix/share/man/man1/quillon.1" ] || fail "cmake --install put no share/man/man1/quillon.1"
[ -f "$prefix/share/doc/quillon/csv-format.md" ] || fail "cmake --install put no share/doc/quillon/csv-format.md"
# The Python module, where it was built, goes where the system's Python
# looks below the prefix, and imports from there.
if [ -d "$linux/python/quillon" ]; then
  module=$(ls -d "$prefix"/lib/python3*/dist-packages 2>/dev/null | head -1)
  [ -f "$module/quillon/__init__.py" ] || fail "cmake --install put no Python module"
  PYTHONPATH="$module" /usr/bin/python3 -c 'import quillon' ||
    fail "the installed Python module does not import"
fi
rm -rf "$prefix"

(cd "$linux" && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$linux"/quillon_*.deb)
dpkg-deb -I "$deb"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
"$root/usr/bin/quillon" --help >/dev/null || fail "quillon --help from the package failed"
[ -f "$root/usr/share/man/man1/quillon.1.gz" ] || fail "no manual at /usr/share/man/man1/quillon.1.gz"
[ -f "$root/usr/share/doc/quillon/csv-format.md" ] || fail "no /usr/share/doc/quillon/csv-format.md"
MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/quillon.1.gz" >/dev/null
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *zlib1g*) ;; *) fail "Depends lacks zlib1g: $depends" ;; esac
echo "deb: $(basename "$deb") holds $(dpkg-deb -c "$deb" | grep -c '^-') files, Depends: $depends"

if [ $# -ge 2 ]; then
  win=$(realpath "$2")
  (cd "$win" && rm -f ./*.zip && cpack -G ZIP >/dev/null)
  zip=$(ls "$win"/quillon-*.zip)
  listing=$(unzip -l "$zip")
  for file in quillon.exe README.md LICENSE zoneinfo/America/Chicago zoneinfo/Australia/Sydney; do
    grep -q "/$file\$" <<<"$listing" || fail "$zip lacks $file"
  done
  echo "zip: $(basename "$zip"):"
  grep -v "/zoneinfo/" <<<"$listing"
  echo "and $(grep -c "/zoneinfo/.*[^/]$" <<<"$listing") zone files"
fi
