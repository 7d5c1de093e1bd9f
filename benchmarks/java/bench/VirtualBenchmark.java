package bench;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.Locale;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.VirtualDevice;

/**
 * A virtual device beside a lab pty, in one run: the echo round trip of one
 * byte (the pty's far end at /dev/ttyS2 echoes; the virtual device's far end
 * is a thread that echoes), and bulk writes of 64 KiB blocks (the lab drains
 * /dev/ttyS3; a thread drains the virtual device).
 */
public final class VirtualBenchmark {

    static final int ECHOES = Integer.getInteger("bench.echoes", 5000);
    static final int BLOCK = 1 << 16;
    static final int BLOCKS = Integer.getInteger("bench.blocks", 256);

    private VirtualBenchmark() {
    }

    public static void main(String[] args) throws Exception {
        System.out.println("| measure | virtual device | lab pty | ratio |");
        System.out.println("|---|---:|---:|---:|");
        try (VirtualDevice device = VirtualDevice.create("bench")) {
            Thread echo = farEnd(device, true);
            double[] virtual;
            double[] pty;
            try (SerialConnection port = SerialConnection.open(device.name(), LineSettings.of(115200));
                    SerialConnection lab = SerialConnection.openShared("/dev/ttyS2", LineSettings.of(115200))) {
                virtual = echoes(port);
                pty = echoes(lab);
            }
            echo.interrupt();
            for (int p : new int[] {50, 99}) {
                double v = ConnectionBenchmark.percentile(virtual, p) / 1e3;
                double l = ConnectionBenchmark.percentile(pty, p) / 1e3;
                System.out.printf(Locale.ROOT, "| echo round trip, one byte, p%d | %.1f µs | %.1f µs | %.2fx |%n", p, v, l,
                        v / l);
            }
        }
        try (VirtualDevice device = VirtualDevice.create("bulk")) {
            farEnd(device, false);
            double virtual;
            double pty;
            try (SerialConnection port = SerialConnection.open(device.name(), LineSettings.of(115200));
                    SerialConnection lab = SerialConnection.openShared("/dev/ttyS3", LineSettings.of(115200))) {
                bulk(port, BLOCKS / 8);
                bulk(lab, BLOCKS / 8);
                virtual = bulk(port, BLOCKS);
                pty = bulk(lab, BLOCKS);
            }
            System.out.printf(Locale.ROOT, "| bulk write, 64 KiB blocks | %.0f MB/s | %.0f MB/s | %.2f |%n", virtual, pty,
                    virtual / pty);
        }
    }

    /** A thread that reads what the device is sent and, with `echo`, sends it back. */
    private static Thread farEnd(VirtualDevice device, boolean echo) {
        Thread thread = new Thread(() -> {
            byte[] buffer = new byte[BLOCK];
            try {
                InputStream in = device.input();
                OutputStream out = device.output();
                for (int got; (got = in.read(buffer)) > 0;) {
                    if (echo) {
                        out.write(buffer, 0, got);
                    }
                }
            } catch (IOException ended) {
                // the device was closed
            }
        });
        thread.setDaemon(true);
        thread.start();
        return thread;
    }

    /** Round trips of one byte, in ns. */
    static double[] echoes(SerialConnection port) throws IOException {
        double[] times = new double[ECHOES];
        port.setReadTimeout(2000);
        for (int i = -ECHOES / 10; i < ECHOES; i++) {
            long start = System.nanoTime();
            port.getOutputStream().write(i);
            port.getInputStream().read();
            if (i >= 0) {
                times[i] = System.nanoTime() - start;
            }
        }
        return times;
    }

    /** MB/s of `blocks` writes of 64 KiB, drained. */
    static double bulk(SerialConnection port, int blocks) throws IOException {
        byte[] block = new byte[BLOCK];
        long start = System.nanoTime();
        for (int i = 0; i < blocks; i++) {
            port.getOutputStream().write(block);
        }
        port.drain();
        return (double) BLOCK * blocks / (System.nanoTime() - start) * 1e3;
    }
}
