#!/usr/bin/env bash
# Mutation run: which single-edit faults in src/ (or, with --language java,
# in java/) the plain suite lets through. Not part of the test suite: it
# takes long.
#   ./scripts/mutants.sh [--language cpp|java] [--sample N] [--seed S] [--list]
# Builds in build-mutants/ (a scratch copy of the tracked files); the log of
# every build and test is build-mutants/mutants.log.
source "$(dirname "$0")/env.sh"
install_test_tools
exec python3 "$PROJECT_DIR/tools/mutants/mutants.py" --java-home "$JAVA_HOME" "$@"
