# Sourced by the project's scripts: installs what the demo needs where a fresh
# Debian machine lacks it (install_test_tools adds what the tests need),
# settles the JDK (17) and configures and builds into $BUILD_DIR.
set -eu

PROJECT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=$PROJECT_DIR/build
SANITIZE_DIR=$PROJECT_DIR/build-asan
TSAN_DIR=$PROJECT_DIR/build-tsan

# as_root COMMAND [ARG]...: as root already, or through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# install_packages [--no-install-recommends] PACKAGE...: from Debian's archive,
# quietly, after refreshing the package lists.
install_packages() {
  local options=()
  if [ "$1" = --no-install-recommends ]; then
    options+=("$1")
    shift
  fi
  echo "Installing: $*"
  as_root apt-get update -qq
  as_root apt-get install -y -qq "${options[@]}" "$@" >/dev/null
}

# What the demo needs: a compiler, CMake and a JDK 17.
need_packages=()
command -v cmake >/dev/null || need_packages+=(cmake)
command -v g++ >/dev/null || need_packages+=(g++)
[ -x /usr/lib/jvm/java-17-openjdk-amd64/bin/javac ] || need_packages+=(openjdk-17-jdk-headless)
[ ${#need_packages[@]} -eq 0 ] || install_packages "${need_packages[@]}"

# install_test_tools: what the test suite, the sanitizers, the fuzzer and the
# benchmarks need besides.
install_test_tools() {
  local need=()
  command -v nm >/dev/null || need+=(binutils)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/share/java/junit-platform-console-standalone.jar ] || need+=(junit5)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  command -v clang++ >/dev/null || need+=(clang)
  command -v valgrind >/dev/null || need+=(valgrind)
  command -v dpkg-deb >/dev/null || need+=(dpkg)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    need+=(libclang-rt-dev)
  # Maven and the plugins the example project builds with, from Debian.
  command -v mvn >/dev/null || need+=(maven)
  local plugins=/usr/share/maven-repo/org/apache/maven/plugins
  [ -d $plugins/maven-compiler-plugin ] || need+=(libmaven-compiler-plugin-java)
  [ -d $plugins/maven-resources-plugin ] || need+=(libmaven-resources-plugin-java)
  [ -d $plugins/maven-jar-plugin ] || need+=(libmaven-jar-plugin-java)
  [ -d $plugins/maven-surefire-plugin ] || need+=(libsurefire-java)
  # Netty 4.1, which the Netty channel is built and tested against.
  [ -f /usr/share/java/netty-transport.jar ] || need+=(libnetty-java)
  [ ${#need[@]} -eq 0 ] || install_packages "${need[@]}"
  # ser2net serves lab ports to the remote-port tests, each started by its
  # test. The package's own service would serve the host's ttyS0: it is
  # installed without being started.
  if ! command -v ser2net >/dev/null; then
    local policy=/usr/sbin/policy-rc.d own_policy=false
    if [ ! -e $policy ]; then
      printf '#!/bin/sh\nexit 101\n' | as_root tee $policy >/dev/null
      as_root chmod +x $policy
      own_policy=true
    fi
    install_packages --no-install-recommends ser2net ||
      echo "ser2net could not be installed: the remote-port tests will be skipped" >&2
    ! $own_policy || as_root rm -f $policy
  fi
}

# Several JDKs may be installed and none may be the default: use 17.
export JAVA_HOME=${SERIALSLOTS_JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
export PATH="$JAVA_HOME/bin:$PATH"

# configure_and_build DIR [CMAKE_ARG]...: output goes to DIR/build.log, shown
# only when the build fails; BUILD_TARGETS, where set, names the targets.
configure_and_build() {
  local dir=$1
  shift
  local log="$dir/build.log"
  mkdir -p "$dir"
  if ! { cmake -S "$PROJECT_DIR" -B "$dir" -DJAVA_HOME="$JAVA_HOME" "$@" &&
         cmake --build "$dir" -j "$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "build failed (log: $log)" >&2
    return 1
  fi
}

# library_in DIR: the library a build in DIR made (libserialslots-VERSION.so).
library_in() {
  ls -t "$1"/libserialslots-[0-9]*.so | head -n1
}

# The cross builds the jar carries besides this machine's: "TRIPLET PLATFORM DEBIAN_ARCH".
CROSS_TARGETS=("aarch64-linux-gnu linux-aarch64 arm64" "arm-linux-gnueabihf linux-arm armhf")

# build_cross: installs the cross toolchains and qemu-user when missing, then
# builds the library, the lab launcher and the C++ tests for each target into
# build-PLATFORM, and sets FOREIGN_BUILDS for the host build's jar. Needs the
# host build's lab launcher, in $BUILD_DIR.
build_cross() {
  local missing=() target triplet platform arch
  for target in "${CROSS_TARGETS[@]}"; do
    read -r triplet platform arch <<<"$target"
    command -v "$triplet-g++" >/dev/null || missing+=("g++-$triplet")
    # Debian's JVM for the target, which the Java suite runs on under qemu-user.
    if [ ! -x "/usr/lib/jvm/java-17-openjdk-$arch/bin/java" ]; then
      dpkg --print-foreign-architectures | grep -qx "$arch" || as_root dpkg --add-architecture "$arch"
      missing+=("openjdk-17-jre-headless:$arch")
    fi
  done
  command -v qemu-aarch64 >/dev/null && command -v qemu-arm >/dev/null || missing+=(qemu-user)
  [ ${#missing[@]} -eq 0 ] || install_packages --no-install-recommends "${missing[@]}"
  FOREIGN_BUILDS=""
  for target in "${CROSS_TARGETS[@]}"; do
    read -r triplet platform arch <<<"$target"
    configure_and_build "$PROJECT_DIR/build-$platform" \
      -DCMAKE_TOOLCHAIN_FILE="$PROJECT_DIR/cmake/$triplet.cmake" \
      -DSERIALSLOTS_HOST_LAB="$BUILD_DIR/serial-lab"
    FOREIGN_BUILDS+="${FOREIGN_BUILDS:+;}$platform=$PROJECT_DIR/build-$platform"
  done
}
