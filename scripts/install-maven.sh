#!/usr/bin/env bash
# Installs org.serialslots:serialslots and, where it was built,
# org.serialslots:serialslots-netty (each jar with its sources, javadoc and
# POM) into the user's local Maven repository, where Maven and Gradle
# (mavenLocal()) find them:
#   scripts/install-maven.sh [BUILD_DIR]
# MAVEN_LOCAL_REPOSITORY names another repository than ~/.m2/repository.
source "$(dirname "$0")/env.sh"
if [ $# -gt 0 ]; then BUILD_DIR=$(cd "$1" && pwd); else configure_and_build "$BUILD_DIR"; fi
repository=${MAVEN_LOCAL_REPOSITORY:-$HOME/.m2/repository}
mkdir -p "$repository"
cp -R "$BUILD_DIR/maven-repo/." "$repository/"
echo "installed $(ls "$BUILD_DIR/maven-repo/org/serialslots" | sed "s/^/org.serialslots:/" | paste -sd " ") into $repository"
