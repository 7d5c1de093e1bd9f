package soak;

import core.SerialPort;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import lab.SerialLab;

/**
 * Long use inside the lab: open/write/read/close cycles over several slots,
 * then failed and rejected opens. The process's descriptors and resident
 * memory at the end must match what they were after the warm-up.
 *
 * <p>Usage: SoakRun [CYCLES [FAILED [REJECTED]]] (default 100000 10000 10000).
 */
public final class SoakRun {

    private static final String[][] SLOTS = {{"COM1", "/dev/ttyS1"}, {"COMUSB1", "/dev/ttyUSB1"},
        {"COM20", "/dev/ttyS20"}, {"COMUSB20", "/dev/ttyUSB20"}, {"COM40", "/dev/ttyS40"}};
    private static final long RSS_TOLERANCE_KB = 8 * 1024;

    private SoakRun() {
    }

    public static void main(String[] args) throws Exception {
        int cycles = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int failed = args.length > 1 ? Integer.parseInt(args[1]) : 10_000;
        int rejected = args.length > 2 ? Integer.parseInt(args[2]) : 10_000;
        if (!SerialLab.insideLab()) {
            System.err.println("soak: run inside the serial lab (serial-lab -- java ...)");
            System.exit(2);
        }
        List<SerialLab.FarEnd> devices = new ArrayList<>();
        for (String[] slot : SLOTS) {
            devices.add(SerialLab.attach(slot[1]).echo());
        }
        devices.add(SerialLab.attach("/dev/ttyS34"));

        // Listing descriptors starts the JDK's file I/O, which keeps a socket
        // of its own: start it before anything is counted.
        descriptorTargets();
        residentKb();
        int warmCycles = Math.max(1, cycles / 10);
        int warmFailed = Math.max(1, failed / 10);
        int warmRejected = Math.max(1, rejected / 10);
        long start = System.nanoTime();
        int errors = exchange(warmCycles) + failOpens(warmFailed) + rejectOpens(warmRejected);
        List<String> fdsWarmList = descriptorTargets();
        int fdsWarm = fdsWarmList.size();
        long rssWarm = residentKb();

        errors += exchange(cycles - warmCycles) + failOpens(failed - warmFailed) + rejectOpens(rejected - warmRejected);
        List<String> fdsEndList = descriptorTargets();
        int fdsEnd = fdsEndList.size();
        long rssEnd = residentKb();
        double seconds = (System.nanoTime() - start) / 1e9;
        devices.forEach(SerialLab.FarEnd::close);

        System.out.printf(Locale.ROOT, "soak: %d open/write/read/close cycles over %d slots, %d failed opens, "
                + "%d rejected opens in %.1f s%n", cycles, SLOTS.length, failed, rejected, seconds);
        System.out.printf(Locale.ROOT, "soak: descriptors after warm-up %d, at the end %d%n", fdsWarm, fdsEnd);
        if (fdsEnd != fdsWarm) {
            System.out.println("soak: after warm-up " + fdsWarmList);
            System.out.println("soak: at the end    " + fdsEndList);
        }
        System.out.printf(Locale.ROOT, "soak: resident memory after warm-up %d kB, at the end %d kB (%+d kB)%n",
                rssWarm, rssEnd, rssEnd - rssWarm);
        System.out.printf(Locale.ROOT, "soak: wrong or missing bytes and unexpected outcomes: %d%n", errors);
        boolean ok = errors == 0 && fdsEnd == fdsWarm && rssEnd - rssWarm <= RSS_TOLERANCE_KB;
        System.out.println(ok ? "soak: passed" : "soak: FAILED");
        System.exit(ok ? 0 : 1);
    }

    private static int exchange(int count) {
        int errors = 0;
        for (int i = 0; i < count; i++) {
            String port = SLOTS[i % SLOTS.length][0];
            int value = i % 254 + 1;
            try {
                SerialPort.openPortC(port, "115200", "8", "1", "N");
                SerialPort.writeDataInt(port, value);
                if (awaitByte(port) != value) {
                    errors++;
                }
            } catch (Exception e) {
                errors++;
            } finally {
                SerialPort.closePortC(port);
            }
        }
        return errors;
    }

    private static int awaitByte(String port) {
        long deadline = System.nanoTime() + 2_000_000_000L;
        while (System.nanoTime() < deadline) {
            int b = SerialPort.readDataInt(port);
            if (b != 0) {
                return b;
            }
            Thread.onSpinWait();
        }
        return -1;
    }

    private static int failOpens(int count) {
        return expectRaised(count, "COM33", "9600", "Error setting serial port COM33 = /dev/ttyS33.");
    }

    private static int rejectOpens(int count) {
        return expectRaised(count, "COM34", "230400", "Error set parameters.");
    }

    private static int expectRaised(int count, String port, String baud, String message) {
        int errors = 0;
        for (int i = 0; i < count; i++) {
            try {
                SerialPort.openPortC(port, baud, "8", "1", "N");
                errors++;
            } catch (Exception e) {
                if (!message.equals(e.getMessage())) {
                    errors++;
                }
            }
        }
        return errors;
    }

    /** What each open descriptor refers to. */
    private static List<String> descriptorTargets() throws IOException {
        List<String> targets = new ArrayList<>();
        File[] entries = new File("/proc/self/fd").listFiles();
        for (File entry : entries == null ? new File[0] : entries) {
            try {
                targets.add(entry.getName() + "->" + Files.readSymbolicLink(entry.toPath()));
            } catch (IOException gone) {
                // the directory's own descriptor, closed by now
            }
        }
        return targets;
    }

    private static long residentKb() throws IOException, InterruptedException {
        System.gc();
        Thread.sleep(100);
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return -1;
    }
}
