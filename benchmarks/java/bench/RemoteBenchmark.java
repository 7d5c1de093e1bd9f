package bench;

import contract.Ser2net;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.net.Socket;
import java.util.ArrayList;
import java.util.EnumSet;
import java.util.List;
import java.util.Locale;
import lab.SerialLab;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.SerialEventType;

/**
 * Remote ports through Debian's ser2net on loopback TCP to lab ptys, paired
 * in one run with a raw TCP client of ser2net's raw port for the same pty:
 * bulk writes of 64 KiB blocks, the one-byte echo round trip, and 64 remote
 * ports subscribed to DATA (threads and idle CPU). socket:// goes to the same
 * raw port as the plain socket, and spy:// over it records to /dev/null.
 */
public final class RemoteBenchmark {

    private static final int ROUNDS = Integer.getInteger("bench.remoteRounds", 5);
    private static final int BULK = 16 << 20;
    private static final int ECHOES = 2000;
    private static final int IDLE_SECONDS = Integer.getInteger("bench.idleSeconds", 10);

    private RemoteBenchmark() {
    }

    public static void main(String[] args) throws Exception {
        if (!Ser2net.installed()) {
            System.out.println("ser2net is not installed: no remote-port figures");
            return;
        }
        System.out.println("| measure | subject | figure | raw TCP to ser2net | paired ratio |");
        System.out.println("|---|---|---:|---:|---:|");
        // The lab drains /dev/ttyS3 and echoes /dev/ttyS2. Each client has a
        // ser2net of its own, so that no other holds the pty meanwhile.
        double[] remoteRates = new double[ROUNDS];
        double[] rawRates = new double[ROUNDS];
        double[] ratios = new double[ROUNDS];
        double[] bareRates = new double[ROUNDS];
        double[] bareRatios = new double[ROUNDS];
        double[] remoteTimes = new double[ECHOES * ROUNDS];
        double[] rawTimes = new double[ECHOES * ROUNDS];
        double[] socketRates = new double[ROUNDS];
        double[] socketRatios = new double[ROUNDS];
        double[] spyRates = new double[ROUNDS];
        double[] spyRatios = new double[ROUNDS];
        double[] socketTimes = new double[ECHOES * ROUNDS];
        for (int round = 0; round < ROUNDS; round++) {
            int port = 24_300 + 4 * round;
            try (Ser2net telnet = Ser2net.serve("/dev/ttyS3", port, null, null);
                    SerialConnection remote = SerialConnection.open(telnet.uri(false), LineSettings.of(115200))) {
                remoteRates[round] = bulk(remote.getOutputStream(), false);
            }
            try (Ser2net raw = Ser2net.serveRaw("/dev/ttyS3", port + 1);
                    Socket socket = new Socket("127.0.0.1", raw.port())) {
                rawRates[round] = bulk(socket.getOutputStream(), false);
            }
            ratios[round] = remoteRates[round] / rawRates[round];
            try (Ser2net raw = Ser2net.serveRaw("/dev/ttyS3", port + 1);
                    SerialConnection socket = SerialConnection.open("socket://127.0.0.1:" + raw.port(),
                            LineSettings.of(115200))) {
                socketRates[round] = bulk(socket.getOutputStream(), false);
                socket.drain();
            }
            socketRatios[round] = socketRates[round] / rawRates[round];
            try (Ser2net raw = Ser2net.serveRaw("/dev/ttyS3", port + 1);
                    SerialConnection spied = SerialConnection.open("spy://socket://127.0.0.1:" + raw.port()
                            + "?file=/dev/null", LineSettings.of(115200))) {
                spyRates[round] = bulk(spied.getOutputStream(), false);
                spied.drain();
            }
            spyRatios[round] = spyRates[round] / socketRates[round];
            // The most any client gets through ser2net's telnet side: bytes escaped beforehand, no protocol spoken.
            try (Ser2net telnet = Ser2net.serve("/dev/ttyS3", port, null, null);
                    Socket socket = new Socket("127.0.0.1", telnet.port())) {
                bareRates[round] = bulk(socket.getOutputStream(), true);
            }
            bareRatios[round] = bareRates[round] / rawRates[round];
            try (Ser2net telnet = Ser2net.serve("/dev/ttyS2", port + 2, null, null);
                    SerialConnection remote = SerialConnection.open(telnet.uri(false), LineSettings.of(115200))) {
                echoes(remote.getOutputStream(), remote.getInputStream(), remoteTimes, round * ECHOES);
            }
            try (Ser2net raw = Ser2net.serveRaw("/dev/ttyS2", port + 3);
                    Socket socket = new Socket("127.0.0.1", raw.port())) {
                socket.setTcpNoDelay(true);
                echoes(socket.getOutputStream(), socket.getInputStream(), rawTimes, round * ECHOES);
            }
            try (Ser2net raw = Ser2net.serveRaw("/dev/ttyS2", port + 3);
                    SerialConnection socket = SerialConnection.open("socket://127.0.0.1:" + raw.port(),
                            LineSettings.of(115200))) {
                echoes(socket.getOutputStream(), socket.getInputStream(), socketTimes, round * ECHOES);
            }
        }
        System.out.printf(Locale.ROOT, "| bulk write, 64 KiB blocks | rfc2217:// | %.0f MB/s | %.0f MB/s | %.2f |%n",
                PerByteBenchmark.median(remoteRates), PerByteBenchmark.median(rawRates),
                PerByteBenchmark.median(ratios));
        System.out.printf(Locale.ROOT, "| the same | a bare socket to the RFC 2217 port, 0xFF doubled beforehand | %.0f MB/s "
                + "| %.0f MB/s | %.2f |%n", PerByteBenchmark.median(bareRates), PerByteBenchmark.median(rawRates),
                PerByteBenchmark.median(bareRatios));
        for (int percentile : new int[] {50, 99}) {
            double ours = ConnectionBenchmark.percentile(remoteTimes, percentile) / 1e3;
            double theirs = ConnectionBenchmark.percentile(rawTimes, percentile) / 1e3;
            System.out.printf(Locale.ROOT, "| echo round trip, one byte, p%d | rfc2217:// | %.0f µs | %.0f µs | %.2f |%n",
                    percentile, ours, theirs, ours / theirs);
        }
        System.out.printf(Locale.ROOT, "| bulk write, 64 KiB blocks | socket:// | %.0f MB/s | %.0f MB/s | %.2f |%n",
                PerByteBenchmark.median(socketRates), PerByteBenchmark.median(rawRates),
                PerByteBenchmark.median(socketRatios));
        for (int percentile : new int[] {50, 99}) {
            double ours = ConnectionBenchmark.percentile(socketTimes, percentile) / 1e3;
            double theirs = ConnectionBenchmark.percentile(rawTimes, percentile) / 1e3;
            System.out.printf(Locale.ROOT, "| echo round trip, one byte, p%d | socket:// | %.0f µs | %.0f µs | %.2f |%n",
                    percentile, ours, theirs, ours / theirs);
        }
        System.out.printf(Locale.ROOT, "| bulk write, 64 KiB blocks | spy://socket:// to /dev/null | %.0f MB/s | "
                + "socket:// %.0f MB/s | %.2f |%n", PerByteBenchmark.median(spyRates),
                PerByteBenchmark.median(socketRates), PerByteBenchmark.median(spyRatios));
        idleRows();
    }

    /** Writes BULK bytes in 64 KiB blocks, telnet-escaped if `escaped`: megabytes a second. */
    private static double bulk(OutputStream out, boolean escaped) throws IOException {
        byte[] block = new byte[64 << 10];
        ByteArrayOutputStream wire = new ByteArrayOutputStream();
        for (int i = 0; i < block.length; i++) {
            block[i] = (byte) (i * 7);  // 0xFF among them, doubled on the wire for RFC 2217
            wire.write(block[i]);
            if (escaped && block[i] == (byte) 0xFF) {
                wire.write(0xFF);
            }
        }
        byte[] sending = wire.toByteArray();
        long start = System.nanoTime();
        for (int sent = 0; sent < BULK; sent += block.length) {
            out.write(sending);
        }
        out.flush();
        return BULK / 1e6 / ((System.nanoTime() - start) / 1e9);
    }

    private static void echoes(OutputStream out, InputStream in, double[] times, int from) throws IOException {
        for (int i = 0; i < 100; i++) {  // warm-up
            out.write('w');
            in.read();
        }
        for (int i = 0; i < ECHOES; i++) {
            long start = System.nanoTime();
            out.write('e');
            out.flush();
            if (in.read() != 'e') {
                throw new IOException("the echo came back wrong");
            }
            times[from + i] = System.nanoTime() - start;
        }
    }

    /** 64 remote ports, each subscribed to DATA: the JVM's threads and its CPU while nothing comes. */
    private static void idleRows() throws Exception {
        List<String> devices = new ArrayList<>();
        List<SerialLab.FarEnd> ends = new ArrayList<>();
        for (int i = 0; i < 64; i++) {
            devices.add("/dev/ttyS" + (300 + i));
            ends.add(SerialLab.attach(devices.get(i)));
        }
        java.lang.management.ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        com.sun.management.OperatingSystemMXBean os =
                (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        int before = threads.getThreadCount();
        List<SerialConnection> connections = new ArrayList<>();
        try (Ser2net server = Ser2net.serveEach(devices, 24_400)) {
            for (int i = 0; i < devices.size(); i++) {
                SerialConnection connection = SerialConnection.open("rfc2217://127.0.0.1:" + (server.port() + i),
                        LineSettings.of(115200));
                connections.add(connection);
                connection.listen(EnumSet.of(SerialEventType.DATA), (c, event) -> { });
            }
            Thread.sleep(500);
            int subscribed = threads.getThreadCount();
            long cpu = os.getProcessCpuTime();
            long start = System.nanoTime();
            Thread.sleep(IDLE_SECONDS * 1000L);
            double share = (double) (os.getProcessCpuTime() - cpu) / (System.nanoTime() - start);
            System.out.printf(Locale.ROOT, "| 64 remote ports subscribed to DATA | platform threads added | %d | | |%n",
                    subscribed - before);
            System.out.printf(Locale.ROOT, "| idle, %d s | the whole JVM, 64 remote ports subscribed | %.3f%% of a core "
                    + "| | |%n", IDLE_SECONDS, share * 100);
        } finally {
            for (SerialConnection connection : connections) {
                connection.close();
            }
            for (SerialLab.FarEnd end : ends) {
                end.close();
            }
        }
    }
}
