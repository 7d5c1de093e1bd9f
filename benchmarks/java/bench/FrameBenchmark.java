package bench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.EnumSet;
import java.util.Locale;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import serialslots.FrameReader;
import serialslots.Framing;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.VirtualDevice;

/**
 * NMEA-like lines pushed through a virtual device as fast as it goes, framed
 * four ways in turn on the same connection: frames(delimiter) against a
 * BufferedReader.readLine() loop over its stream, and listenFrames against a
 * DATA listener that frames by hand.
 */
public final class FrameBenchmark {

    private static final byte[] LINE = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
            .getBytes(StandardCharsets.US_ASCII);
    private static final int LINES = Integer.getInteger("bench.lines", 200_000);
    private static final int ROUNDS = 5;

    private FrameBenchmark() {
    }

    public static void main(String[] args) throws Exception {
        System.out.println("| measure | serialslots framing | by hand | ratio |");
        System.out.println("|---|---:|---:|---:|");
        try (VirtualDevice device = VirtualDevice.create("frames");
                SerialConnection port = SerialConnection.open(device.name(), LineSettings.of(115200))) {
            port.setReadTimeout(5000);
            double[] reader = new double[ROUNDS];
            double[] readLine = new double[ROUNDS];
            double[] listener = new double[ROUNDS];
            double[] dataListener = new double[ROUNDS];
            for (int round = -1; round < ROUNDS; round++) {
                double a = timed(device, () -> {
                    try (FrameReader frames = port.frames(Framing.delimiter("\r\n"))) {
                        for (int i = 0; i < LINES; i++) {
                            frames.read();
                        }
                    }
                });
                double b = timed(device, () -> {
                    BufferedReader lines = new BufferedReader(new InputStreamReader(port.getInputStream(),
                            StandardCharsets.ISO_8859_1));
                    for (int i = 0; i < LINES; i++) {
                        lines.readLine();
                    }
                });
                double c = timed(device, () -> {
                    CountDownLatch all = new CountDownLatch(LINES);
                    Subscription s = port.listenFrames(Framing.delimiter("\r\n"), (p, frame) -> all.countDown());
                    await(all);
                    s.close();
                });
                double d = timed(device, () -> {
                    CountDownLatch all = new CountDownLatch(LINES);
                    byte[] buffer = new byte[8192];
                    StringBuilder line = new StringBuilder();
                    Subscription s = port.listen(EnumSet.of(SerialEventType.DATA), (p, event) -> {
                        try {
                            for (int n; p.available() > 0 && (n = p.getInputStream().read(buffer)) > 0;) {
                                for (int i = 0; i < n; i++) {
                                    if (buffer[i] == '\n' && line.length() > 0 && line.charAt(line.length() - 1) == '\r') {
                                        line.setLength(0);
                                        all.countDown();
                                    } else {
                                        line.append((char) (buffer[i] & 0xFF));
                                    }
                                }
                            }
                        } catch (IOException e) {
                            throw new IllegalStateException(e);
                        }
                    });
                    await(all);
                    s.close();
                });
                if (round >= 0) {
                    reader[round] = a;
                    readLine[round] = b;
                    listener[round] = c;
                    dataListener[round] = d;
                }
            }
            row("frames(delimiter(\"\\r\\n\")) vs BufferedReader.readLine()", reader, readLine);
            row("listenFrames vs a DATA listener framing by hand", listener, dataListener);
        }
    }

    private interface Run {
        void run() throws Exception;
    }

    /** Seconds to frame LINES lines that a thread pushes into the device meanwhile. */
    private static double timed(VirtualDevice device, Run framing) throws Exception {
        Thread pusher = new Thread(() -> {
            byte[] block = new byte[LINE.length * 100];
            for (int i = 0; i < 100; i++) {
                System.arraycopy(LINE, 0, block, i * LINE.length, LINE.length);
            }
            try {
                OutputStream out = device.output();
                for (int sent = 0; sent < LINES; sent += 100) {
                    out.write(block);
                }
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
        });
        long start = System.nanoTime();
        pusher.start();
        framing.run();
        double seconds = (System.nanoTime() - start) / 1e9;
        pusher.join();
        return seconds;
    }

    private static void await(CountDownLatch all) throws InterruptedException {
        if (!all.await(60, TimeUnit.SECONDS)) {
            throw new IllegalStateException("frames went missing");
        }
    }

    private static void row(String what, double[] ours, double[] theirs) {
        double a = PerByteBenchmark.median(ours);
        double b = PerByteBenchmark.median(theirs);
        System.out.printf(Locale.ROOT, "| %s, frames/s (MB/s) | %.0f (%.1f) | %.0f (%.1f) | %.2f |%n", what, LINES / a,
                LINES * LINE.length / a / 1e6, LINES / b, LINES * LINE.length / b / 1e6, b / a);
    }
}
