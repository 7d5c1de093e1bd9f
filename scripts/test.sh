#!/usr/bin/env bash
# The whole test suite:
#   1. cross builds for linux-aarch64 and linux-arm: their C++ tests, exported
#      symbols and Java suite (but for the tool's tests) under qemu-user;
#   2. the plain build, whose jar carries all three platforms: C++ tests (also
#      under valgrind memcheck), Java tests and the demo in a real JVM with
#      -Xcheck:jni on every installed JDK from 17, the tool, the Debian package,
#      a short soak, and the hardware suite of both Java APIs on Linux's own
#      8250 and ftdi_sio drivers in a small virtual machine
#      (scripts/hardware-test.sh);
#   3. a clang build with AddressSanitizer and UndefinedBehaviorSanitizer:
#      the C++ tests again, and the fuzzer for a few seconds;
#   4. a clang build with ThreadSanitizer: the C++ tests once more (the
#      connection's locks, its close against its waiting calls, the guardian).
source "$(dirname "$0")/env.sh"
install_test_tools
status=0

configure_and_build "$BUILD_DIR"
build_cross
# Each emulated suite keeps about one core busy: the two run side by side.
cross_runs=()
for target in "${CROSS_TARGETS[@]}"; do
  read -r triplet platform arch <<<"$target"
  (cd "$PROJECT_DIR/build-$platform" && ctest --output-on-failure "$@") \
    >"$PROJECT_DIR/build-$platform/ctest.log" 2>&1 &
  cross_runs+=("$!=$platform")
done
for run in "${cross_runs[@]}"; do
  wait "${run%%=*}" || status=1
  cat "$PROJECT_DIR/build-${run#*=}/ctest.log"
done

configure_and_build "$BUILD_DIR" -DSERIALSLOTS_FOREIGN_BUILDS="$FOREIGN_BUILDS"
(cd "$BUILD_DIR" && ctest --output-on-failure "$@") || status=1

BUILD_TARGETS="serialslots_cpp_tests ops_fuzzer serial-lab" configure_and_build "$SANITIZE_DIR" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DSERIALSLOTS_SANITIZE=address,undefined -DSERIALSLOTS_FUZZ=ON
(cd "$SANITIZE_DIR" && ctest --output-on-failure "$@") || status=1

BUILD_TARGETS="serialslots_cpp_tests serial-lab" configure_and_build "$TSAN_DIR" \
  -DCMAKE_CXX_COMPILER=clang++ -DSERIALSLOTS_SANITIZE=thread
(cd "$TSAN_DIR" && ctest -R '^cpp_tests$' --output-on-failure "$@") || status=1

exit $status
