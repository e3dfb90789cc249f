#!/bin/sh
# Checks the dynamic symbol table of the shared library against its version
# script: every name the script lists is exported, every exported name is
# listed, and every one has C linkage.
#   check_exports.sh <libtessio32.so> <tessio32.map>
set -eu
lib=$1
map=$2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u > "$tmp/defined"
sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);[[:space:]]*$/\1/p' "$map" | sort -u > "$tmp/listed"

status=0
if [ ! -s "$tmp/listed" ]; then
  echo "no names read from $map"
  status=1
fi
extra=$(comm -23 "$tmp/defined" "$tmp/listed")
if [ -n "$extra" ]; then
  echo "exported but not in $map:"
  echo "$extra"
  status=1
fi
missing=$(comm -13 "$tmp/defined" "$tmp/listed")
if [ -n "$missing" ]; then
  echo "listed in $map but not exported:"
  echo "$missing"
  status=1
fi
if grep -q '^_Z' "$tmp/defined"; then
  echo "C++-mangled exports:"
  grep '^_Z' "$tmp/defined"
  status=1
fi
[ $status -eq 0 ] && echo "exports: $(wc -l < "$tmp/defined") names, all listed, all C"
exit $status
