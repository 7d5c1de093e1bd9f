#!/bin/sh
# The example project built as a stranger's project would be: the artifacts
# installed by scripts/install-maven.sh into a local repository, Maven with
# every repository mirrored to Debian's own (/usr/share/maven-repo, no
# network), then the program run in the lab against an echoing port.
set -eu
build=$1
project=$2
java=$3
. "$(dirname "$0")/maven_offline.sh"
cp -R "$project/examples/maven" "$work/example"
(cd "$work/example" && mvn_offline package)
jar=$(ls "$work"/repository/org/serialslots/serialslots/*/serialslots-*[0-9].jar)
"$build/serial-lab" --echo /dev/ttyUSB0 -- "$java" -Djava.library.path=/nonexistent \
  --enable-native-access=ALL-UNNAMED -cp "$work/example/target/serial-echo-1.0.jar:$jar" \
  example.SerialEcho /dev/ttyUSB0 "hello from Maven"
