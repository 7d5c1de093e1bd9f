# Sourced by the project's scripts: installs what a fresh Debian machine lacks,
# settles the JDK (17) and configures and builds into $BUILD_DIR.
set -eu

PROJECT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=$PROJECT_DIR/build
SANITIZE_DIR=$PROJECT_DIR/build-asan

need_packages=()
command -v cmake >/dev/null || need_packages+=(cmake)
command -v g++ >/dev/null || need_packages+=(g++)
command -v nm >/dev/null || need_packages+=(binutils)
[ -f /usr/include/gtest/gtest.h ] || need_packages+=(libgtest-dev)
[ -f /usr/share/java/junit-platform-console-standalone.jar ] || need_packages+=(junit5)
[ -x /usr/lib/jvm/java-17-openjdk-amd64/bin/javac ] || need_packages+=(openjdk-17-jdk-headless)
[ -f /usr/include/benchmark/benchmark.h ] || need_packages+=(libbenchmark-dev)
command -v clang++ >/dev/null || need_packages+=(clang)
command -v valgrind >/dev/null || need_packages+=(valgrind)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need_packages+=(libclang-rt-dev)
if [ ${#need_packages[@]} -gt 0 ]; then
  echo "Installing: ${need_packages[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo_cmd=(); else sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${need_packages[@]}" >/dev/null
fi

# Several JDKs may be installed and none may be the default: use 17.
export JAVA_HOME=${SERIALSLOTS_JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
export PATH="$JAVA_HOME/bin:$PATH"

# configure_and_build DIR [CMAKE_ARG]...: output goes to DIR/build.log, shown
# only when the build fails.
configure_and_build() {
  local dir=$1
  shift
  local log="$dir/build.log"
  mkdir -p "$dir"
  if ! { cmake -S "$PROJECT_DIR" -B "$dir" -DJAVA_HOME="$JAVA_HOME" "$@" &&
         cmake --build "$dir" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "build failed (log: $log)" >&2
    return 1
  fi
}
