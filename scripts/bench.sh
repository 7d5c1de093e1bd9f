#!/usr/bin/env bash
# The benchmarks: the name lookup with Google Benchmark, then, inside the lab,
# single bytes through the library, the raw system call and jSSC, and the
# connection's bulk writes, wake-up (platform and virtual threads) and idle CPU
# against raw C and jSSC, events against an epoll loop in C and jSSC, and
# remote ports through ser2net against a raw TCP client of ser2net, bulk
# reads with and without marks on bad bytes, a
# virtual device beside a lab pty, and the Netty channel against the
# blocking stream.
source "$(dirname "$0")/env.sh"
install_test_tools
# jSSC (libjssc-java) is the benchmark's peer.
[ -f /usr/share/java/jssc.jar ] || install_packages libjssc-java
BUILD_DIR=$PROJECT_DIR/build-release
configure_and_build "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DSERIALSLOTS_TESTS=OFF
cd "$BUILD_DIR"

echo "== name lookup (ns per call) =="
./benchmarks/lookup_benchmark --benchmark_min_time=0.05 --benchmark_format=console 2>/dev/null |
  awk '/^findPort|^compareEveryName/ { split($1, a, "/"); t[a[1]] = t[a[1]] " " $2;
         if ($2 > max[a[1]]) max[a[1]] = $2; if (!(a[1] in min) || $2 < min[a[1]]) min[a[1]] = $2 }
       END { for (k in max) printf "%-17s min %5.1f ns  max %5.1f ns over the 82 names and 7 misses\n", k, min[k], max[k] }'

# Virtual threads need JDK 21 or newer: the newest installed runs the
# connection and event benchmarks, where there is one.
newest_java=$JAVA_HOME/bin/java
for release in /usr/lib/jvm/*/release; do
  major=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$release")
  if [ "${major:-0}" -ge 21 ] && [ -x "$(dirname "$release")/bin/java" ]; then
    newest_java=$(dirname "$release")/bin/java
  fi
done

# bench JAVA BENCHMARK: runs bench.BENCHMARK in the lab, with drains and an
# echo at the paths the benchmarks use.
bench() {
  ./serial-lab --drain /dev/ttyS1 --drain /dev/ttyUSB40 --echo /dev/ttyS2 --drain /dev/ttyS3 -- \
    "$1" --enable-native-access=ALL-UNNAMED \
    -Dserialslots.library="${SERIALSLOTS_LIBRARY:-$(library_in "$BUILD_DIR")}" \
    -Djava.library.path="$BUILD_DIR/benchmarks:$BUILD_DIR/tools/lab-harness:/usr/lib/jni" \
    -cp "$BUILD_DIR/benchmarks/serialslots-bench.jar:$BUILD_DIR/serialslots.jar:$BUILD_DIR/tools/lab-harness/seriallab.jar:/usr/share/java/jssc.jar" \
    "bench.$2"
}
echo "== one byte per call (paired with raw system calls on the same pty) =="
bench "$JAVA_HOME/bin/java" PerByteBenchmark
echo "== the connection: bulk writes, wake-up and idle CPU ($("$newest_java" -version 2>&1 | head -n1)) =="
bench "$newest_java" ConnectionBenchmark
echo "== events: latency over 1, 64 and 256 ports, idle, throughput =="
bench "$newest_java" EventBenchmark
echo "== a virtual device beside a lab pty =="
bench "$newest_java" VirtualBenchmark
echo "== bulk reads: plain, on a marking line, and marked =="
bench "$newest_java" MarkedReadBenchmark
echo "== frames: lines through a virtual device, framed by the library and by hand =="
bench "$newest_java" FrameBenchmark
echo "== remote ports: RFC 2217 through ser2net, paired with raw TCP through ser2net =="
bench "$newest_java" RemoteBenchmark
echo "== the Netty channel against the blocking stream on the same ptys =="
netty_drains=()
for i in $(seq 100 163); do netty_drains+=(--drain "/dev/ttyUSB$i"); done
./serial-lab --echo /dev/ttyS2 --drain /dev/ttyS3 "${netty_drains[@]}" -- \
  "$JAVA_HOME/bin/java" --enable-native-access=ALL-UNNAMED \
  -Dserialslots.library="${SERIALSLOTS_LIBRARY:-$(library_in "$BUILD_DIR")}" \
  -Djava.library.path="$BUILD_DIR/benchmarks:$BUILD_DIR/tools/lab-harness" \
  -cp "$BUILD_DIR/benchmarks/serialslots-bench-netty.jar:$BUILD_DIR/benchmarks/serialslots-bench.jar:$BUILD_DIR/serialslots.jar:$BUILD_DIR/serialslots-netty.jar:/usr/share/java/netty-common.jar:/usr/share/java/netty-buffer.jar:/usr/share/java/netty-transport.jar:/usr/share/java/netty-resolver.jar" \
  bench.NettyBenchmark
