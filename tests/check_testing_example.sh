#!/bin/sh
# The README's testing example as a user runs it: compiled against the jar
# and JUnit 5, its tests run by JUnit's console in a plain JVM (no lab, no
# native library) as a user without root.
set -eu
jar=$1
junit=$2
java_home=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$java_home/bin/javac" -Xlint:all,-try -Werror -d "$work/classes" -cp "$jar:$junit" \
  $(find "$(dirname "$0")/../examples/testing/src" -name '*.java')
chmod -R a+rX "$work"
run=""
[ "$(id -u)" = 0 ] && run="setpriv --reuid=65534 --regid=65534 --clear-groups"
$run "$java_home/bin/java" -Dserialslots.library=/nonexistent -jar "$junit" --disable-banner \
  --class-path "$work/classes:$jar" --select-package example --fail-if-no-tests
