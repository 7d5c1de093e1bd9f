package bench;

import core.SerialPort;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.Arrays;
import java.util.Locale;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import lab.SerialLab;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.SerialTimeoutException;

/**
 * The connection API against the raw system calls in C, on lab ptys: bulk
 * writes to /dev/ttyS3, which drains; wake-up, the time from the far end of
 * /dev/ttyS4 sending a byte until a blocked read returns it; and the CPU a
 * thread blocked in read() uses, beside the one-byte API's polling loop.
 */
public final class ConnectionBenchmark {

    private static final int BLOCK = 1 << 16;
    private static final int BLOCKS = Integer.getInteger("bench.blocks", 16);
    private static final int WAKE_ROUNDS = Integer.getInteger("bench.wakeRounds", 5);
    private static final int WAKES_PER_ROUND = Integer.getInteger("bench.wakesPerRound", 2000);
    private static final long IDLE_NANOS = 5_000_000_000L;

    private ConnectionBenchmark() {
    }

    public static void main(String[] args) throws Throwable {
        SerialPort.load();
        System.out.println("| measure | subject | figure | raw C | paired ratio |");
        System.out.println("|---|---|---:|---:|---:|");
        int rawBulk = RawIo.open("/dev/ttyS3");
        try (SerialConnection bulk = SerialConnection.openShared("/dev/ttyS3", LineSettings.of(115200))) {
            OutputStream out = bulk.getOutputStream();
            byte[] block = new byte[BLOCK];
            PerByteBenchmark.Row row = PerByteBenchmark.paired("bulk", "", BLOCKS, n -> RawIo.bulkBlock(rawBulk, BLOCK, n),
                    n -> {
                        long start = System.nanoTime();
                        for (int i = 0; i < n; i++) {
                            out.write(block);
                        }
                        return System.nanoTime() - start;
                    });
            System.out.printf(Locale.ROOT, "| bulk write, 64 KiB blocks | serialslots | %.0f MB/s | %.0f MB/s | %.3f of raw |%n",
                    BLOCK / row.nsPerByte() * 1e3, BLOCK / row.rawNsPerByte() * 1e3, 1 / row.ratio());
        }
        RawIo.close(rawBulk);

        SerialLab.FarEnd far = SerialLab.attach("/dev/ttyS4");
        int rawWake = RawIo.open("/dev/ttyS4");
        ExecutorService reader = Executors.newSingleThreadExecutor();
        try (SerialConnection wake = SerialConnection.openShared("/dev/ttyS4", LineSettings.of(115200))) {
            InputStream in = wake.getInputStream();
            Callable<Long> read = () -> {
                in.read();
                return System.nanoTime();
            };
            wakeRow(reader, far, "serialslots read(), platform thread", () -> RawIo.awaitByte(rawWake), read);
            ExecutorService virtual = virtualThreads();
            if (virtual != null) {
                wakeRow(virtual, far, "serialslots read(), virtual thread", () -> RawIo.awaitByte(rawWake), read);
                virtual.shutdownNow();
            }
            if (PerByteBenchmark.Jssc.available()) {
                Object jssc = PerByteBenchmark.Jssc.open("/dev/ttyS4");
                wakeRow(reader, far, "jSSC readBytes(1, 5000)", () -> RawIo.awaitByte(rawWake),
                        () -> PerByteBenchmark.Jssc.awaitByte(jssc, 5000));
                PerByteBenchmark.Jssc.close(jssc);
            }
            silenceRow(far, wake);
            idleRows(reader, wake);
        } finally {
            reader.shutdownNow();
            RawIo.close(rawWake);
            far.close();
        }
    }

    /**
     * Wake-ups of a blocked reader against one blocked in C's poll(), wake by
     * wake in turn: p50 and p99 over WAKE_ROUNDS rounds of WAKES_PER_ROUND,
     * and the paired ratio of each round's p50 (its median over the rounds).
     */
    private static void wakeRow(ExecutorService reader, SerialLab.FarEnd far, String subject, Callable<Long> raw,
            Callable<Long> timed) throws Exception {
        int wakes = WAKE_ROUNDS * WAKES_PER_ROUND;
        double[] rawNs = new double[wakes];
        double[] timedNs = new double[wakes];
        double[] ratios = new double[WAKE_ROUNDS];
        for (int i = -200; i < wakes; i++) {
            long rawLatency = wakeOnce(reader, far, raw);
            long timedLatency = wakeOnce(reader, far, timed);
            if (i >= 0) {
                rawNs[i] = rawLatency;
                timedNs[i] = timedLatency;
            }
        }
        for (int round = 0; round < WAKE_ROUNDS; round++) {
            int from = round * WAKES_PER_ROUND;
            ratios[round] = percentile(Arrays.copyOfRange(timedNs, from, from + WAKES_PER_ROUND), 50)
                    / percentile(Arrays.copyOfRange(rawNs, from, from + WAKES_PER_ROUND), 50);
        }
        System.out.printf(Locale.ROOT,
                "| wake-up, far end to read() returning | %s | p50 %.1f µs, p99 %.1f µs | p50 %.1f µs, p99 %.1f µs "
                        + "| p50 %.3fx, p99 %.3fx |%n",
                subject, percentile(timedNs, 50) / 1e3, percentile(timedNs, 99) / 1e3, percentile(rawNs, 50) / 1e3,
                percentile(rawNs, 99) / 1e3, PerByteBenchmark.median(ratios),
                percentile(timedNs, 99) / percentile(rawNs, 99));
    }

    static double percentile(double[] values, int percent) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[Math.min(sorted.length - 1, sorted.length * percent / 100)];
    }

    /** A virtual thread per task on JDK 21 and newer, else null. */
    static ExecutorService virtualThreads() {
        try {
            return (ExecutorService) Executors.class.getMethod("newVirtualThreadPerTaskExecutor").invoke(null);
        } catch (ReflectiveOperationException e) {
            return null;
        }
    }

    private static long wakeOnce(ExecutorService reader, SerialLab.FarEnd far, Callable<Long> await) throws Exception {
        Future<Long> returned = reader.submit(await);
        Thread.sleep(1);  // the reader is blocked by now
        long sent = System.nanoTime();
        far.inject((byte) 0x55);
        return returned.get() - sent;
    }

    /**
     * How long after a frame's last byte readUntilIdle returns, asked for
     * Modbus RTU's 1.75 ms: the far end sends 8-byte frames.
     */
    private static void silenceRow(SerialLab.FarEnd far, SerialConnection connection) throws Exception {
        int idleMicros = 1750;
        double[] late = new double[2000];
        byte[] frame = new byte[8];
        byte[] buffer = new byte[64];
        connection.setReadTimeout(5_000);
        ExecutorService sender = Executors.newSingleThreadExecutor();
        for (int i = -200; i < late.length; i++) {
            Future<Long> sent = sender.submit(() -> {
                Thread.sleep(1);
                far.inject(frame);
                return System.nanoTime();
            });
            connection.readUntilIdle(buffer, 0, buffer.length, idleMicros);
            long returned = System.nanoTime();
            if (i >= 0) {
                late[i] = returned - sent.get() - idleMicros * 1e3;
            }
        }
        sender.shutdownNow();
        connection.setReadTimeout(0);
        System.out.printf(Locale.ROOT, "| frame read, 1.75 ms silence asked | readUntilIdle() returning after the "
                + "silence | p50 +%.0f µs, p99 +%.0f µs late | | |%n", percentile(late, 50) / 1e3,
                percentile(late, 99) / 1e3);
    }

    /** CPU used by a thread blocked in read() for 5 s, and by the one-byte API's polling loops. */
    private static void idleRows(ExecutorService reader, SerialConnection wake) throws Exception {
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        wake.setReadTimeout((int) (IDLE_NANOS / 1_000_000));
        idleRow(reader, threads, "serialslots read(), 5 s timeout", () -> {
            try {
                wake.getInputStream().read();
            } catch (SerialTimeoutException expected) {
                // the 5 s passed with nothing received
            }
            return null;
        });
        SerialPort.openPortC("COM4", "115200", "8", "1", "N");
        idleRow(reader, threads, "readDataInt() polling loop", () -> {
            for (long end = System.nanoTime() + IDLE_NANOS; System.nanoTime() < end;) {
                SerialPort.readDataInt("COM4");
            }
            return null;
        });
        idleRow(reader, threads, "readDataInt() every 1 ms", () -> {
            for (long end = System.nanoTime() + IDLE_NANOS; System.nanoTime() < end;) {
                SerialPort.readDataInt("COM4");
                Thread.sleep(1);
            }
            return null;
        });
        SerialPort.closePortC("COM4");
    }

    private static void idleRow(ExecutorService reader, ThreadMXBean threads, String subject, Callable<Void> wait)
            throws Exception {
        double share = reader.submit(() -> {
            long cpu = threads.getCurrentThreadCpuTime();
            long start = System.nanoTime();
            wait.call();
            return (double) (threads.getCurrentThreadCpuTime() - cpu) / (System.nanoTime() - start);
        }).get();
        System.out.printf(Locale.ROOT, "| idle, nothing received for 5 s | %s | %.2f%% of a core | | |%n", subject,
                share * 100);
    }
}
