#!/usr/bin/env bash
# The main job on a machine without serial hardware: builds everything and
# runs the tool inside the virtual serial lab, where ptys stand at a few of
# the library's device paths.
source "$(dirname "$0")/env.sh"
configure_and_build
cd "$BUILD_DIR"
exec ./tools/lab/serial-lab --echo /dev/ttyS1 --echo /dev/ttyUSB0 -- \
  "$JAVA_HOME/bin/java" -Dserialslots.library="$BUILD_DIR/libserialslots.so" \
  -cp "$BUILD_DIR/serialslots-tool.jar:$BUILD_DIR/serialslots-classes.jar" tool.SerialTool list "$@"
