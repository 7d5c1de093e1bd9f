#!/bin/sh
# The Netty example built as a stranger's project would be (see
# check_maven_example.sh), then run in the lab as a line server on a pty
# whose far end a small client holds: it asks, and checks each answer.
set -eu
build=$1
project=$2
java=$3
[ -d "$build/maven-repo/org/serialslots/serialslots-netty" ] || { echo "no Netty channel built: skipped"; exit 77; }
. "$(dirname "$0")/maven_offline.sh"
cp -R "$project/examples/netty" "$work/example"
(cd "$work/example" && mvn_offline package)
classpath="$work/example/target/serial-line-server-1.0.jar"
for jar in $(find "$work/repository" -name '*.jar' ! -name '*-sources.jar' ! -name '*-javadoc.jar' \
             \( -path '*/org/serialslots/*' -o -path '*/io/netty/*' \)); do
  classpath="$classpath:$jar"
done
"$build/serial-lab" -- python3 - "$java" "$classpath" <<'PY'
import os, select, subprocess, sys, time

java, classpath = sys.argv[1], sys.argv[2]
master, slave = os.openpty()
os.symlink(os.ttyname(slave), "/dev/ttyUSB0")
server = subprocess.Popen([java, "-Djava.library.path=/nonexistent", "--enable-native-access=ALL-UNNAMED",
                           "-cp", classpath, "example.LineServer", "/dev/ttyUSB0"],
                          stdout=subprocess.PIPE, text=True)
assert server.stdout.readline().startswith("serving"), "the server did not start"
os.write(master, b"PING\r\nECHO hello from Netty\nWHAT\nBYE\n")
answers, deadline = b"", time.monotonic() + 10
while answers.count(b"\n") < 4 and select.select([master], [], [], max(0, deadline - time.monotonic()))[0]:
    answers += os.read(master, 256)
print("answered: " + " | ".join(answers.decode().replace("\r", "").split("\n")[:4]))
sys.exit(server.wait(10) or (answers.replace(b"\r", b"") != b"PONG\nhello from Netty\nERR unknown command\nBYE\n"))
PY
