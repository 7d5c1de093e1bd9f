#!/usr/bin/env bash
# The whole test suite, inside the virtual serial lab:
#   1. the plain build: C++ tests (also under valgrind memcheck), Java tests
#      in a real JVM with -Xcheck:jni, the tool, the demo and a short soak;
#   2. a clang build with AddressSanitizer and UndefinedBehaviorSanitizer:
#      the C++ tests again, and each fuzzer for a few seconds.
source "$(dirname "$0")/env.sh"
status=0

configure_and_build "$BUILD_DIR"
(cd "$BUILD_DIR" && ctest --output-on-failure "$@") || status=1

configure_and_build "$SANITIZE_DIR" -DCMAKE_CXX_COMPILER=clang++ \
  -DSERIALSLOTS_SANITIZE=address,undefined -DSERIALSLOTS_FUZZ=ON
(cd "$SANITIZE_DIR" && ctest --output-on-failure "$@") || status=1

exit $status
