#!/usr/bin/env bash
# The whole test suite: C++ and Java tests, inside the virtual serial lab.
source "$(dirname "$0")/env.sh"
configure_and_build
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 900 "$@"
