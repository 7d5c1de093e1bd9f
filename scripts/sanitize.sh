#!/usr/bin/env bash
# The C++ suite under a sanitizer of choice, inside the lab:
#   ./scripts/sanitize.sh thread              (ThreadSanitizer)
#   ./scripts/sanitize.sh address,undefined   (also part of ./scripts/test.sh)
source "$(dirname "$0")/env.sh"
install_test_tools
sanitizers=${1:-thread}
dir="$PROJECT_DIR/build-${sanitizers//,/-}"
configure_and_build "$dir" -DCMAKE_CXX_COMPILER=clang++ -DSERIALSLOTS_SANITIZE="$sanitizers"
cd "$dir"
ctest --output-on-failure -R '^cpp_tests$'
