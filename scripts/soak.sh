#!/usr/bin/env bash
# The long soak: 100,000 open/write/read/close cycles over five slots, then
# 10,000 failed and 10,000 rejected opens, then 100,000 cycles of the
# connection API (open, listen, write, read the echo, close; every tenth a close
# racing a waiting read) on ptys and on a virtual device, and 2,000 over RFC
# 2217 through ser2net, in a JVM with -Xcheck:jni inside the lab.
# Descriptors, threads and resident memory at the end must match the warm-up.
#   ./scripts/soak.sh [CYCLES [FAILED [REJECTED]]]
source "$(dirname "$0")/env.sh"
install_test_tools
configure_and_build "$BUILD_DIR"
cd "$BUILD_DIR"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
./serial-lab -- "$JAVA_HOME/bin/java" -Xcheck:jni -Xms64m -Xmx64m -XX:+AlwaysPreTouch \
  -Dserialslots.library="$(library_in "$BUILD_DIR")" -Djava.library.path="$BUILD_DIR/tools/lab-harness" \
  -cp tests/serialslots-soak.jar:serialslots-classes.jar:tools/lab-harness/seriallab.jar \
  soak.SoakRun "${1:-100000}" "${2:-10000}" "${3:-10000}" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if grep -q "in native method" "$log"; then
  echo "soak: the JVM's JNI checks reported the lines above"
  status=1
fi
exit "$status"
