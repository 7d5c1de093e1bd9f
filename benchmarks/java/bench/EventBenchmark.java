package bench;

import core.SerialPort;
import java.io.IOException;
import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.List;
import java.util.Locale;
import java.util.Random;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import lab.SerialLab;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.SerialEventType;
import serialslots.SerialPorts;
import serialslots.Subscription;

/**
 * Events against the raw system calls in C on lab ptys: latency, from the far
 * end sending a byte to one of N ports until the listener is called, against
 * an epoll_wait + read loop in C over the same N ptys (blocks of each in turn);
 * idle CPU and the waiting thread's context switches with 256 subscribed
 * ports; throughput through a DATA listener against a blocking read loop; and
 * jSSC's event listener on the same ptys, where it is installed.
 */
public final class EventBenchmark {

    private static final int BLOCKS = Integer.getInteger("bench.eventBlocks", 10);
    private static final int WAKES = Integer.getInteger("bench.eventWakes", 200);
    private static final int IDLE_SECONDS = Integer.getInteger("bench.idleSeconds", 10);
    private static final int STREAM = 8 << 20;

    private EventBenchmark() {
    }

    public static void main(String[] args) throws Throwable {
        SerialPort.load();
        System.out.println("| measure | subject | figure | raw C | paired ratio |");
        System.out.println("|---|---|---:|---:|---:|");
        for (int ports : new int[] {1, 64, 256}) {
            try (Ports lab = new Ports(ports)) {
                latencyRow(lab);
                if (ports == 256) {
                    idleRows(lab);
                    burstRows(lab);
                }
            }
        }
        throughputRow();
        if (PerByteBenchmark.Jssc.available()) {
            try (Ports lab = new Ports(1)) {
                jsscLatencyRow(lab);
            }
        }
    }

    /** N ptys with their far ends, each opened by the library and by a raw descriptor. */
    private static final class Ports implements AutoCloseable {
        final List<SerialLab.FarEnd> ends = new ArrayList<>();
        final List<SerialConnection> connections = new ArrayList<>();
        final int[] raw;
        final int epoll;

        Ports(int count) throws IOException {
            raw = new int[count];
            for (int i = 0; i < count; i++) {
                String path = "/dev/ttyS" + (200 + i);
                ends.add(SerialLab.attach(path));
                connections.add(SerialConnection.openShared(path, LineSettings.of(115200)));
                raw[i] = RawIo.open(path);
            }
            epoll = RawIo.epollOver(raw);
        }

        @Override
        public void close() throws IOException {
            for (SerialConnection connection : connections) {
                connection.close();
            }
            for (int fd : raw) {
                RawIo.close(fd);
            }
            RawIo.close(epoll);
            for (SerialLab.FarEnd end : ends) {
                end.close();
            }
        }
    }

    private static void latencyRow(Ports lab) throws Exception {
        int ports = lab.raw.length;
        Random random = new Random(ports);
        ExecutorService rawLoop = Executors.newSingleThreadExecutor();
        double[] raw = new double[BLOCKS * WAKES];
        double[] library = new double[BLOCKS * WAKES];
        double[] ratios = new double[BLOCKS];
        BlockingQueue<Long> called = new LinkedBlockingQueue<>();
        for (int block = -1; block < BLOCKS; block++) {
            double[] rawBlock = new double[WAKES];
            double[] libraryBlock = new double[WAKES];
            for (int i = 0; i < WAKES; i++) {
                Future<Long> returned = rawLoop.submit(() -> RawIo.epollAwaitByte(lab.epoll, lab.raw));
                Thread.sleep(1);
                long sent = System.nanoTime();
                lab.ends.get(random.nextInt(ports)).inject((byte) 0x55);
                rawBlock[i] = returned.get() - sent;
            }
            List<Subscription> subscriptions = new ArrayList<>();
            for (SerialConnection connection : lab.connections) {
                subscriptions.add(connection.listen(EnumSet.of(SerialEventType.DATA), (c, event) -> {
                    called.add(System.nanoTime());
                    try {
                        c.getInputStream().read();
                    } catch (IOException e) {
                        throw new IllegalStateException(e);
                    }
                }));
            }
            for (int i = 0; i < WAKES; i++) {
                Thread.sleep(1);
                long sent = System.nanoTime();
                lab.ends.get(random.nextInt(ports)).inject((byte) 0x55);
                libraryBlock[i] = called.take() - sent;
            }
            for (Subscription subscription : subscriptions) {
                subscription.close();
            }
            if (block >= 0) {
                System.arraycopy(rawBlock, 0, raw, block * WAKES, WAKES);
                System.arraycopy(libraryBlock, 0, library, block * WAKES, WAKES);
                ratios[block] = ConnectionBenchmark.percentile(libraryBlock, 50)
                        / ConnectionBenchmark.percentile(rawBlock, 50);
            }
        }
        rawLoop.shutdownNow();
        System.out.printf(Locale.ROOT, "| event latency, %d port%s | serialslots DATA listener | p50 %.1f µs, p99 %.1f µs "
                + "| p50 %.1f µs, p99 %.1f µs | p50 %.3fx |%n", ports, ports == 1 ? "" : "s",
                ConnectionBenchmark.percentile(library, 50) / 1e3, ConnectionBenchmark.percentile(library, 99) / 1e3,
                ConnectionBenchmark.percentile(raw, 50) / 1e3, ConnectionBenchmark.percentile(raw, 99) / 1e3,
                PerByteBenchmark.median(ratios));
    }

    /**
     * The threads a burst adds: a byte to every port at once, with DATA
     * listeners that return at once and with listeners that block for a second.
     */
    private static void burstRows(Ports lab) throws Exception {
        java.lang.management.ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        for (long blockMillis : new long[] {0, 1000}) {
            Thread.sleep(1500);  // the threads of an earlier round end
            CountDownLatch all = new CountDownLatch(lab.connections.size());
            List<Subscription> subscriptions = new ArrayList<>();
            for (SerialConnection connection : lab.connections) {
                subscriptions.add(connection.listen(EnumSet.of(SerialEventType.DATA), (c, event) -> {
                    try {
                        c.getInputStream().skip(c.available());
                        all.countDown();
                        Thread.sleep(blockMillis);
                    } catch (IOException | InterruptedException e) {
                        throw new IllegalStateException(e);
                    }
                }));
            }
            Thread.sleep(200);
            int before = threads.getThreadCount();
            threads.resetPeakThreadCount();
            long start = System.nanoTime();
            for (SerialLab.FarEnd end : lab.ends) {
                end.inject((byte) 0x55);
            }
            all.await();
            double everyListenerMillis = (System.nanoTime() - start) / 1e6;
            Thread.sleep(blockMillis + 100);
            System.out.printf(Locale.ROOT, "| burst, %d ports, listeners that %s | platform threads before, at the "
                    + "peak | %d, %d | | every listener called %.1f ms after the first byte |%n",
                    lab.connections.size(), blockMillis == 0 ? "return at once" : "block " + blockMillis + " ms",
                    before, threads.getPeakThreadCount(), everyListenerMillis);
            for (Subscription subscription : subscriptions) {
                subscription.close();
            }
        }
    }

    /** The JVM's CPU over a quiet spell, before and while every port has a subscription. */
    private static void idleRows(Ports lab) throws Exception {
        com.sun.management.OperatingSystemMXBean os =
                (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        double quiet = cpuShare(os);
        List<Subscription> subscriptions = new ArrayList<>();
        for (SerialConnection connection : lab.connections) {
            subscriptions.add(connection.listen(EnumSet.allOf(SerialEventType.class), (c, event) -> { }));
        }
        Thread.sleep(500);
        long switchesBefore = eventThreadSwitches();
        double subscribed = cpuShare(os);
        long switches = eventThreadSwitches() - switchesBefore;
        for (Subscription subscription : subscriptions) {
            subscription.close();
        }
        double watching;
        Subscription watch = SerialPorts.watch(event -> { });
        Thread.sleep(500);
        watching = cpuShare(os);
        watch.close();
        System.out.printf(Locale.ROOT, "| idle, %d s | the whole JVM, nothing subscribed | %.3f%% of a core | | |%n",
                IDLE_SECONDS, quiet * 100);
        System.out.printf(Locale.ROOT, "| idle, %d s | the whole JVM, watching for ports | %.3f%% of a core | | |%n",
                IDLE_SECONDS, watching * 100);
        System.out.printf(Locale.ROOT, "| idle, %d s | the whole JVM, %d ports subscribed to every event | %.3f%% of a core "
                + "| | |%n", IDLE_SECONDS, lab.connections.size(), subscribed * 100);
        System.out.printf(Locale.ROOT, "| idle, %d s | the waiting thread's context switches | %d | | |%n", IDLE_SECONDS,
                switches);
    }

    private static double cpuShare(com.sun.management.OperatingSystemMXBean os) throws InterruptedException {
        long cpu = os.getProcessCpuTime();
        long start = System.nanoTime();
        Thread.sleep(TimeUnit.SECONDS.toMillis(IDLE_SECONDS));
        return (double) (os.getProcessCpuTime() - cpu) / (System.nanoTime() - start);
    }

    /** Voluntary and forced context switches of the thread that waits for events, from /proc. */
    private static long eventThreadSwitches() throws IOException {
        try (var tasks = Files.list(Path.of("/proc/self/task"))) {
            for (Path task : tasks.toList()) {
                if (Files.readString(task.resolve("comm")).strip().startsWith("serialslots-eve")) {
                    long switches = 0;
                    for (String line : Files.readAllLines(task.resolve("status"))) {
                        if (line.contains("ctxt_switches")) {
                            switches += Long.parseLong(line.replaceAll("\\D", ""));
                        }
                    }
                    return switches;
                }
            }
        }
        return -1;
    }

    /** 8 MiB pushed by the far end, taken by a blocking read loop, or by a DATA listener reading what is there. */
    private static void throughputRow() throws Exception {
        double[] ratios = new double[5];
        double[] loopRates = new double[ratios.length];
        double[] listenerRates = new double[ratios.length];
        try (SerialLab.FarEnd far = SerialLab.attach("/dev/ttyS199");
                SerialConnection connection = SerialConnection.openShared("/dev/ttyS199", LineSettings.of(115200))) {
            for (int round = -1; round < ratios.length; round++) {
                double loop = push(far, () -> {
                    InputStream in = connection.getInputStream();
                    byte[] buffer = new byte[4096];
                    for (long got = 0; got < STREAM; got += in.read(buffer)) {
                        // taking every byte
                    }
                });
                double listener = push(far, () -> {
                    CountDownLatch done = new CountDownLatch(1);
                    AtomicLong got = new AtomicLong();
                    byte[] buffer = new byte[4096];
                    Subscription subscription = connection.listen(EnumSet.of(SerialEventType.DATA), (c, e) -> {
                        try {
                            for (int n; c.available() > 0 && (n = c.getInputStream().read(buffer)) > 0;) {
                                if (got.addAndGet(n) >= STREAM) {
                                    done.countDown();
                                }
                            }
                        } catch (IOException closed) {
                            // the round is over
                        }
                    });
                    done.await();
                    subscription.close();
                });
                if (round >= 0) {
                    loopRates[round] = loop;
                    listenerRates[round] = listener;
                    ratios[round] = listener / loop;
                }
            }
        }
        System.out.printf(Locale.ROOT, "| throughput, 8 MiB pushed by the far end | DATA listener reading what is there "
                + "| %.1f MB/s | blocking read loop %.1f MB/s | %.3f of the loop |%n",
                PerByteBenchmark.median(listenerRates), PerByteBenchmark.median(loopRates),
                PerByteBenchmark.median(ratios));
    }

    interface Taking {
        void take() throws Exception;
    }

    /** MB/s while the far end pushes STREAM bytes and `taking` takes them. */
    private static double push(SerialLab.FarEnd far, Taking taking) throws Exception {
        Thread pusher = new Thread(() -> {
            byte[] chunk = new byte[4096];
            for (int sent = 0; sent < STREAM; sent += chunk.length) {
                far.inject(chunk);
            }
        });
        long start = System.nanoTime();
        pusher.start();
        taking.take();
        double rate = STREAM / ((System.nanoTime() - start) / 1e9) / 1e6;
        pusher.join();
        return rate;
    }

    /** jSSC's event listener on one port: the far end's byte until its listener is called. */
    private static void jsscLatencyRow(Ports lab) throws Throwable {
        Object port = PerByteBenchmark.Jssc.open(lab.ends.get(0).devicePath());
        BlockingQueue<Long> called = new LinkedBlockingQueue<>();
        PerByteBenchmark.Jssc.listen(port, () -> {
            called.add(System.nanoTime());
            PerByteBenchmark.Jssc.drop(port);
        });
        double[] latency = new double[BLOCKS * WAKES / 4];
        int missed = 0;
        for (int i = -20; i < latency.length; i++) {
            Thread.sleep(1);
            long sent = System.nanoTime();
            lab.ends.get(0).inject((byte) 0x55);
            Long at = called.poll(1, TimeUnit.SECONDS);
            if (at == null) {
                missed++;  // the peer's listener never told of this byte
                at = sent + TimeUnit.SECONDS.toNanos(1);
            }
            if (i >= 0) {
                latency[i] = at - sent;
            }
        }
        com.sun.management.OperatingSystemMXBean os =
                (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        double idle = cpuShare(os);
        PerByteBenchmark.Jssc.close(port);
        Arrays.sort(latency);
        System.out.printf(Locale.ROOT, "| event latency, 1 port | jSSC event listener | p50 %.1f µs, p99 %.1f µs%s | | |%n",
                ConnectionBenchmark.percentile(latency, 50) / 1e3, ConnectionBenchmark.percentile(latency, 99) / 1e3,
                missed == 0 ? "" : " (" + missed + " bytes never told, counted as 1 s)");
        System.out.printf(Locale.ROOT, "| idle, %d s | the whole JVM, jSSC listening on 1 port | %.3f%% of a core | | |%n",
                IDLE_SECONDS, idle * 100);
    }
}
