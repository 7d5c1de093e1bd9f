#!/bin/sh
# The library must export the JNI natives and startPort(int), and nothing else.
set -eu
library=$1
expected=$2
nm=${3:-nm}  # the target's nm for a cross build
actual=$("$nm" -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$actual" != "$(sort "$expected")" ]; then
  echo "exported symbols differ from $expected:"
  printf '%s\n' "$actual" | diff "$expected" - || true
  exit 1
fi
echo "exports ok: $(printf '%s\n' "$actual" | wc -l) symbols"
