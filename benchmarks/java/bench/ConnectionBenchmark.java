package bench;

import core.SerialPort;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
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
    private static final int WAKE_ROUNDS = Integer.getInteger("bench.wakeRounds", 401);
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
            wakeRow(reader, far, "serialslots read()", () -> RawIo.awaitByte(rawWake), () -> {
                in.read();
                return System.nanoTime();
            });
            if (PerByteBenchmark.Jssc.available()) {
                Object jssc = PerByteBenchmark.Jssc.open("/dev/ttyS4");
                wakeRow(reader, far, "jSSC readBytes(1, 5000)", () -> RawIo.awaitByte(rawWake),
                        () -> PerByteBenchmark.Jssc.awaitByte(jssc, 5000));
                PerByteBenchmark.Jssc.close(jssc);
            }
            idleRows(reader, wake);
        } finally {
            reader.shutdownNow();
            RawIo.close(rawWake);
            far.close();
        }
    }

    /** Median wake-up of a blocked reader against a reader blocked in C's poll(), paired round by round. */
    private static void wakeRow(ExecutorService reader, SerialLab.FarEnd far, String subject, Callable<Long> raw,
            Callable<Long> timed) throws Exception {
        double[] rawNs = new double[WAKE_ROUNDS];
        double[] timedNs = new double[WAKE_ROUNDS];
        double[] ratios = new double[WAKE_ROUNDS];
        for (int round = -20; round < WAKE_ROUNDS; round++) {
            long rawLatency = wakeOnce(reader, far, raw);
            long timedLatency = wakeOnce(reader, far, timed);
            if (round >= 0) {
                rawNs[round] = rawLatency;
                timedNs[round] = timedLatency;
                ratios[round] = (double) timedLatency / rawLatency;
            }
        }
        System.out.printf(Locale.ROOT, "| wake-up, far end to read() returning | %s | %.1f µs | %.1f µs | %.3fx |%n",
                subject, PerByteBenchmark.median(timedNs) / 1e3, PerByteBenchmark.median(rawNs) / 1e3,
                PerByteBenchmark.median(ratios));
    }

    private static long wakeOnce(ExecutorService reader, SerialLab.FarEnd far, Callable<Long> await) throws Exception {
        Future<Long> returned = reader.submit(await);
        Thread.sleep(2);  // the reader is blocked by now
        long sent = System.nanoTime();
        far.inject((byte) 0x55);
        return returned.get() - sent;
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
