#!/usr/bin/env bash
# The main job on a machine without serial hardware: builds the jar and runs
# its demo, an echo exchange on a virtual port inside the virtual serial lab.
source "$(dirname "$0")/env.sh"
configure_and_build "$BUILD_DIR"
exec "$JAVA_HOME/bin/java" -jar "$BUILD_DIR/serialslots.jar" demo "$@"
