package bench;

import core.SerialPort;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

/**
 * The cost of one byte through the library, against the raw system call and
 * against jSSC, on lab ptys: /dev/ttyS1 and /dev/ttyUSB40 drain, /dev/ttyS2
 * echoes. Every timed block of calls is paired with a block of raw calls on
 * the same pty just before it; the figure to quote is the median of the
 * per-pair ratios, which holds on a noisy machine where absolute times drift.
 */
public final class PerByteBenchmark {

    private static final int BLOCK = Integer.getInteger("bench.block", 2000);
    private static final int ECHO_BLOCK = Integer.getInteger("bench.echoBlock", 200);
    private static final int ROUNDS = Integer.getInteger("bench.rounds", 41);
    private static final int WARMUP = Integer.getInteger("bench.warmup", 15);

    private static int stalls;

    private PerByteBenchmark() {
    }

    /** A timed block: nanoseconds for count bytes. */
    interface Block {
        long run(int count) throws Throwable;
    }

    record Row(String measure, String subject, double nsPerByte, double rawNsPerByte, double ratio) {
    }

    public static void main(String[] args) throws Throwable {
        SerialPort.load();
        List<Row> rows = new ArrayList<>();
        int rawWrite1 = openRaw("/dev/ttyS1");
        int rawWrite40 = openRaw("/dev/ttyUSB40");
        int rawEcho = openRaw("/dev/ttyS2");
        SerialPort.openPortC("COM1", "115200", "8", "1", "N");
        SerialPort.openPortC("COMUSB40", "115200", "8", "1", "N");
        SerialPort.openPortC("COM2", "115200", "8", "1", "N");

        rows.add(paired("write", "serialslots COM1", BLOCK,
                n -> RawIo.writeBlock(rawWrite1, n), n -> libraryWrites("COM1", n)));
        rows.add(paired("write", "serialslots COMUSB40", BLOCK,
                n -> RawIo.writeBlock(rawWrite40, n), n -> libraryWrites("COMUSB40", n)));
        rows.add(paired("write", "bare JNI write()", BLOCK,
                n -> RawIo.writeBlock(rawWrite1, n), n -> jniWrites(rawWrite1, n)));
        // The library's own cost above a native call: paired with the bare call, not the C loop.
        rows.add(paired("write", "COM1 / bare JNI", BLOCK,
                n -> jniWrites(rawWrite1, n), n -> libraryWrites("COM1", n)));
        // A slot with no device answers read() with EBADF at once: what is left
        // is the call's own cost, the JNI transition, the name and the lookup.
        rows.add(paired("read", "COM39 no device / JNI", BLOCK * 10, n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; i++) {
                RawIo.readOne(-1);
            }
            return System.nanoTime() - start;
        }, n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; i++) {
                SerialPort.readDataInt("COM39");
            }
            return System.nanoTime() - start;
        }));
        rows.add(paired("echo", "serialslots COM2", ECHO_BLOCK,
                n -> RawIo.echoBlock(rawEcho, n), n -> libraryEchoes("COM2", n)));

        SerialPort.closePortC("COM1");
        SerialPort.closePortC("COMUSB40");
        SerialPort.closePortC("COM2");

        if (Jssc.available()) {
            Object write = Jssc.open("/dev/ttyS1");
            Object echo = Jssc.open("/dev/ttyS2");
            rows.add(paired("write", "jSSC /dev/ttyS1", BLOCK,
                    n -> RawIo.writeBlock(rawWrite1, n), n -> Jssc.writes(write, n)));
            rows.add(paired("echo", "jSSC /dev/ttyS2", ECHO_BLOCK,
                    n -> RawIo.echoBlock(rawEcho, n), n -> Jssc.echoes(echo, n)));
            Jssc.close(write);
            Jssc.close(echo);
        }
        RawIo.close(rawWrite1);
        RawIo.close(rawWrite40);
        RawIo.close(rawEcho);

        System.out.printf(Locale.ROOT, "blocks of %d bytes (echo: %d), %d rounds after %d warm-up rounds%n",
                BLOCK, ECHO_BLOCK, ROUNDS, WARMUP);
        System.out.printf(Locale.ROOT, "| %-6s | %-21s | %12s | %12s | %12s |%n",
                "path", "subject", "ns/byte", "base ns/byte", "paired ratio");
        System.out.println("|--------|-----------------------|-------------:|-------------:|-------------:|");
        for (Row row : rows) {
            System.out.printf(Locale.ROOT, "| %-6s | %-21s | %12.0f | %12.0f | %11.3fx |%n",
                    row.measure(), row.subject(), row.nsPerByte(), row.rawNsPerByte(), row.ratio());
        }
        if (!Jssc.available()) {
            System.out.println("jSSC not measured: " + Jssc.whyUnavailable());
        }
        System.out.println("full output queue stalls during library writes: " + stalls);
    }

    private static int openRaw(String path) {
        int fd = RawIo.open(path);
        if (fd < 0) {
            throw new IllegalStateException("cannot open " + path + " (run inside the serial lab)");
        }
        return fd;
    }

    static Row paired(String measure, String subject, int count, Block raw, Block timed)
            throws Throwable {
        for (int i = 0; i < WARMUP; i++) {
            raw.run(count);
            timed.run(count);
        }
        double[] ratios = new double[ROUNDS];
        double[] rawNs = new double[ROUNDS];
        double[] timedNs = new double[ROUNDS];
        for (int i = 0; i < ROUNDS; i++) {
            long rawTime = raw.run(count);
            long timedTime = timed.run(count);
            ratios[i] = (double) timedTime / rawTime;
            rawNs[i] = (double) rawTime / count;
            timedNs[i] = (double) timedTime / count;
        }
        return new Row(measure, subject, median(timedNs), median(rawNs), median(ratios));
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    private static long libraryWrites(String port, int count) throws InterruptedException {
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) {
            try {
                SerialPort.writeDataInt(port, 0x55);
            } catch (Exception fullQueue) {
                stalls++;
                i--;
                Thread.sleep(1);
            }
        }
        return System.nanoTime() - start;
    }

    private static long jniWrites(int fd, int count) {
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) {
            RawIo.writeOne(fd, 0x55);
        }
        return System.nanoTime() - start;
    }

    private static long libraryEchoes(String port, int count) {
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) {
            SerialPort.writeDataInt(port, 0x55);
            while (SerialPort.readDataInt(port) == 0) {
                Thread.onSpinWait();
            }
        }
        return System.nanoTime() - start;
    }

    /** jSSC through method handles, so the benchmark builds where jSSC is not installed. */
    static final class Jssc {
        private static final MethodHandle CREATE;
        private static final MethodHandle OPEN;
        private static final MethodHandle SET_PARAMS;
        private static final MethodHandle WRITE_BYTE;
        private static final MethodHandle READ_BYTES;
        private static final MethodHandle READ_TIMED;
        private static final MethodHandle CLOSE;
        private static final String WHY;

        static {
            MethodHandle create = null;
            MethodHandle open = null;
            MethodHandle setParams = null;
            MethodHandle writeByte = null;
            MethodHandle readBytes = null;
            MethodHandle readTimed = null;
            MethodHandle close = null;
            String why = null;
            try {
                Class<?> port = Class.forName("jssc.SerialPort");
                MethodHandles.Lookup lookup = MethodHandles.publicLookup();
                create = lookup.findConstructor(port, MethodType.methodType(void.class, String.class))
                        .asType(MethodType.methodType(Object.class, String.class));
                open = lookup.findVirtual(port, "openPort", MethodType.methodType(boolean.class))
                        .asType(MethodType.methodType(boolean.class, Object.class));
                setParams = lookup.findVirtual(port, "setParams", MethodType.methodType(boolean.class,
                        int.class, int.class, int.class, int.class))
                        .asType(MethodType.methodType(boolean.class, Object.class, int.class, int.class, int.class,
                                int.class));
                writeByte = lookup.findVirtual(port, "writeByte", MethodType.methodType(boolean.class, byte.class))
                        .asType(MethodType.methodType(boolean.class, Object.class, byte.class));
                readBytes = lookup.findVirtual(port, "readBytes", MethodType.methodType(byte[].class, int.class))
                        .asType(MethodType.methodType(byte[].class, Object.class, int.class));
                readTimed = lookup.findVirtual(port, "readBytes", MethodType.methodType(byte[].class, int.class,
                        int.class)).asType(MethodType.methodType(byte[].class, Object.class, int.class, int.class));
                close = lookup.findVirtual(port, "closePort", MethodType.methodType(boolean.class))
                        .asType(MethodType.methodType(boolean.class, Object.class));
            } catch (ReflectiveOperationException | LinkageError e) {
                why = e.toString();
            }
            CREATE = create;
            OPEN = open;
            SET_PARAMS = setParams;
            WRITE_BYTE = writeByte;
            READ_BYTES = readBytes;
            READ_TIMED = readTimed;
            CLOSE = close;
            WHY = why;
        }

        private Jssc() {
        }

        static boolean available() {
            return WHY == null;
        }

        static String whyUnavailable() {
            return WHY;
        }

        static Object open(String path) throws Throwable {
            Object port = (Object) CREATE.invokeExact(path);
            boolean opened = (boolean) OPEN.invokeExact(port);
            if (!opened) {
                throw new IllegalStateException("jSSC cannot open " + path);
            }
            // On a pty jSSC applies the raw 115200 8N1 settings, then answers
            // false because a pty has no modem lines to set; the line is usable.
            boolean ignored = (boolean) SET_PARAMS.invokeExact(port, 115200, 8, 1, 0);
            return port;
        }

        static void close(Object port) throws Throwable {
            boolean closed = (boolean) CLOSE.invokeExact(port);
            if (!closed) {
                throw new IllegalStateException("jSSC cannot close its port");
            }
        }

        static long writes(Object port, int count) throws Throwable {
            long start = System.nanoTime();
            for (int i = 0; i < count; i++) {
                boolean written = (boolean) WRITE_BYTE.invokeExact(port, (byte) 0x55);
                if (!written) {
                    stalls++;
                }
            }
            return System.nanoTime() - start;
        }

        /** Waits in jSSC's timed read for one byte; answers System.nanoTime() once it is back. */
        static long awaitByte(Object port, int timeoutMillis) throws Exception {
            try {
                byte[] one = (byte[]) READ_TIMED.invokeExact(port, 1, timeoutMillis);
                return one.length == 1 ? System.nanoTime() : -1;
            } catch (Exception | Error e) {
                throw e;
            } catch (Throwable other) {
                throw new IllegalStateException(other);
            }
        }

        /** jSSC's event listener for received bytes (MASK_RXCHAR), calling `onEvent` on its thread. */
        static void listen(Object port, Runnable onEvent) throws ReflectiveOperationException {
            Class<?> listener = Class.forName("jssc.SerialPortEventListener");
            Object proxy = java.lang.reflect.Proxy.newProxyInstance(listener.getClassLoader(), new Class<?>[] {listener},
                    (self, method, arguments) -> {
                        if (method.getName().equals("serialEvent")) {
                            onEvent.run();
                        }
                        return null;
                    });
            port.getClass().getMethod("addEventListener", listener, int.class).invoke(port, proxy, 1);
        }

        /** Takes every byte waiting. */
        static void drop(Object port) {
            try {
                port.getClass().getMethod("readBytes").invoke(port);
            } catch (ReflectiveOperationException e) {
                throw new IllegalStateException(e);
            }
        }

        static long echoes(Object port, int count) throws Throwable {
            long start = System.nanoTime();
            for (int i = 0; i < count; i++) {
                boolean written = (boolean) WRITE_BYTE.invokeExact(port, (byte) 0x55);
                byte[] back = (byte[]) READ_BYTES.invokeExact(port, 1);
                if (!written || back.length != 1) {
                    throw new IllegalStateException("jSSC lost a byte");
                }
            }
            return System.nanoTime() - start;
        }
    }
}
