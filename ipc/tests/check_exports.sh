#!/bin/sh
# Checks the dynamic symbol table of the shared library: every defined name
# is listed in the version script and has C linkage, and the names given on
# the command line after the two paths are all there.
#   check_exports.sh <libtessio32.so> <tessio32.map> [required names...]
set -eu
lib=$1
map=$2
shift 2

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
if grep -q '^_Z' "$tmp/defined"; then
  echo "C++-mangled exports:"
  grep '^_Z' "$tmp/defined"
  status=1
fi
for name in "$@"; do
  if ! grep -qx "$name" "$tmp/defined"; then
    echo "missing export: $name"
    status=1
  fi
done
[ $status -eq 0 ] && echo "exports: $(wc -l < "$tmp/defined") names, all listed, all C"
exit $status
