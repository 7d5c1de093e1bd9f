#!/usr/bin/env bash
# Installs org.serialslots:serialslots (the jar, its sources and javadoc and
# its POM) into the user's local Maven repository, where Maven and Gradle
# (mavenLocal()) find it:
#   scripts/install-maven.sh [BUILD_DIR]
# MAVEN_LOCAL_REPOSITORY names another repository than ~/.m2/repository.
source "$(dirname "$0")/env.sh"
if [ $# -gt 0 ]; then BUILD_DIR=$(cd "$1" && pwd); else configure_and_build "$BUILD_DIR"; fi
repository=${MAVEN_LOCAL_REPOSITORY:-$HOME/.m2/repository}
mkdir -p "$repository"
cp -R "$BUILD_DIR/maven-repo/." "$repository/"
echo "installed org.serialslots:serialslots into $repository"
