#!/usr/bin/env bash
# Runs the fuzzer longer than the test suite does, inside the lab:
#   ./scripts/fuzz.sh [SECONDS]      (default 300)
# New inputs collect in build-asan/fuzz/corpus/ops; a crash leaves its input
# in build-asan/ and makes this exit non-zero.
source "$(dirname "$0")/env.sh"
install_test_tools
configure_and_build "$SANITIZE_DIR" -DCMAKE_CXX_COMPILER=clang++ \
  -DSERIALSLOTS_SANITIZE=address,undefined -DSERIALSLOTS_FUZZ=ON
cd "$SANITIZE_DIR"
./serial-lab -- ./fuzz/ops_fuzzer -max_total_time="${1:-300}" \
  -print_final_stats=1 -error_exitcode=1 -timeout_exitcode=1 \
  fuzz/corpus/ops "$PROJECT_DIR/fuzz/corpus/ops" 2>&1 |
  grep -E '^stat::(number_of_executed_units|new_units_added)|^Done|ERROR|SUMMARY|crash-' || true
exit "${PIPESTATUS[0]}"
