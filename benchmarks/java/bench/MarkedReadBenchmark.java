package bench;

import java.io.IOException;
import java.util.Locale;
import lab.SerialLab;
import serialslots.ByteError;
import serialslots.LineSettings;
import serialslots.PortOption;
import serialslots.SerialConnection;

/**
 * Bulk reads from a lab pty whose far end sends 64 KiB blocks holding every
 * byte value (so one byte in 256 is 0xFF, which a marking line doubles):
 * plain reads of a connection that does not mark, plain reads of one that
 * does, and marked reads. Rounds alternate between the three; the figure is
 * the median round. Against a build without marks, only the first row runs
 * ({@code -Dbench.rows=1} runs only it anywhere, to compare builds).
 */
public final class MarkedReadBenchmark {

    private static final int BLOCK = 1 << 16;
    private static final int BLOCKS = Integer.getInteger("bench.blocks", 64);
    private static final int ROUNDS = Integer.getInteger("bench.rounds", 7);

    private MarkedReadBenchmark() {
    }

    private interface Reader {
        int read(SerialConnection connection, byte[] buffer) throws IOException;
    }

    /** What an older build lacks, in a class of its own, loaded only once used. */
    private static final class Marks {
        static SerialConnection open(String device) throws IOException {
            return SerialConnection.open(device, LineSettings.of(115200), PortOption.MARK_ERRORS);
        }

        static Reader reader() {
            ByteError[] errors = new ByteError[BLOCK];
            return (connection, buffer) -> connection.readMarked(buffer, errors, 0, buffer.length);
        }
    }

    public static void main(String[] args) throws Exception {
        System.out.println("| bulk read, 64 KiB blocks | MB/s, median of " + ROUNDS + " rounds | of plain |");
        System.out.println("|---|---:|---:|");
        String[] subjects = {"read(), connection without marks", "read(), connection with MARK_ERRORS",
            "readMarked()"};
        Reader plain = (connection, buffer) -> connection.getInputStream().read(buffer);
        double[][] rates = new double[subjects.length][ROUNDS];
        int rows = Math.min(subjects.length, Integer.getInteger("bench.rows", subjects.length));
        try (SerialLab.FarEnd far = SerialLab.attach("/dev/ttyUSB41")) {
            for (int round = -1; round < ROUNDS; round++) {  // round -1 warms up
                for (int row = 0; row < rows; row++) {
                    double rate;
                    try {
                        rate = rate(far, row == 0, row == 2 ? Marks.reader() : plain);
                    } catch (LinkageError olderBuild) {
                        rows = 1;
                        break;
                    }
                    if (round >= 0) {
                        rates[row][round] = rate;
                    }
                }
            }
        }
        double base = median(rates[0]);
        for (int row = 0; row < rows; row++) {
            System.out.printf(Locale.ROOT, "| %s | %.1f | %.2f |%n", subjects[row], median(rates[row]),
                    median(rates[row]) / base);
        }
    }

    private static double rate(SerialLab.FarEnd far, boolean withoutMarks, Reader reader) throws Exception {
        byte[] block = new byte[BLOCK];
        for (int i = 0; i < BLOCK; i++) {
            block[i] = (byte) i;
        }
        try (SerialConnection connection = withoutMarks
                ? SerialConnection.open(far.devicePath(), LineSettings.of(115200)) : Marks.open(far.devicePath())) {
            Thread sender = new Thread(() -> {
                for (int i = 0; i < BLOCKS; i++) {
                    far.inject(block);
                }
            });
            byte[] buffer = new byte[BLOCK];
            long total = (long) BLOCK * BLOCKS;
            long start = System.nanoTime();
            sender.start();
            for (long got = 0; got < total;) {
                got += reader.read(connection, buffer);
            }
            long took = System.nanoTime() - start;
            sender.join();
            return total / (took / 1e3);
        }
    }

    private static double median(double[] values) {
        double[] sorted = values.clone();
        java.util.Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }
}
