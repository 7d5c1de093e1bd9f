#!/usr/bin/env bash
# Runs each fuzzer longer than the test suite does, inside the lab:
#   ./scripts/fuzz.sh [SECONDS_EACH]      (default 300)
# New inputs collect in build-asan/fuzz/corpus/; a crash leaves its input in
# build-asan/ and makes this exit non-zero.
source "$(dirname "$0")/env.sh"
configure_and_build "$SANITIZE_DIR" -DCMAKE_CXX_COMPILER=clang++ \
  -DSERIALSLOTS_SANITIZE=address,undefined -DSERIALSLOTS_FUZZ=ON
cd "$SANITIZE_DIR"
status=0
for name in lookup line natives; do
  echo "== $name: ${1:-300} s =="
  ./tools/lab/serial-lab -- "./fuzz/${name}_fuzzer" -max_total_time="${1:-300}" \
    -print_final_stats=1 -error_exitcode=1 -timeout_exitcode=1 \
    "fuzz/corpus/$name" "$PROJECT_DIR/fuzz/corpus/$name" 2>&1 |
    grep -E '^stat::(number_of_executed_units|new_units_added)|^Done|ERROR|SUMMARY|crash-' || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done
exit $status
