package soak;

import core.SerialPort;
import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import lab.SerialLab;

/**
 * Long use inside the lab: open/write/read/close cycles over five slots, then
 * failed and rejected opens, then the connection API's cycles (see
 * {@link ConnectionSoak}). Descriptors, threads and resident memory at the end
 * must match the warm-up. Usage: SoakRun [CYCLES [FAILED [REJECTED]]].
 */
public final class SoakRun {

    private static final String[] SLOTS = {"COM1", "COMUSB1", "COM20", "COMUSB20", "COM40"};

    private SoakRun() {
    }

    public static void main(String[] args) throws Exception {
        long[] counts = {100_000, 10_000, 10_000};
        for (int i = 0; i < args.length && i < 3; i++) {
            counts[i] = Long.parseLong(args[i]);
        }
        List<SerialLab.FarEnd> devices = new ArrayList<>();
        for (String slot : SLOTS) {
            devices.add(SerialLab.attach(slot.replace("COMUSB", "/dev/ttyUSB").replace("COM", "/dev/ttyS")).echo());
        }
        devices.add(SerialLab.attach("/dev/ttyS34"));
        for (String device : ConnectionSoak.devices()) {
            devices.add(SerialLab.attach(device).echo());
        }
        devices.add(SerialLab.attach("/dev/ttyUSB23").echo());
        contract.Ser2net server = ConnectionSoak.server(24_500);
        int remotePort = server == null ? 0 : server.port();
        // Listing descriptors and reading files start the JDK's file I/O, which
        // keeps a socket of its own: start it before anything is counted.
        residentKb();
        // The connection API's code takes longer to settle (its JIT, its pools): a longer warm-up of its own.
        long connectionWarmUp = Math.min(counts[0], Math.max(counts[0] / 10, 2000));
        long[] warm = {run(counts, 0.1) + ConnectionSoak.run(connectionWarmUp, remotePort), 0, 0,
            settledThreads(Integer.MAX_VALUE)};
        warm[1] = descriptors();
        warm[2] = residentKb();
        long[] end = {warm[0] + run(counts, 0.9) + ConnectionSoak.run(counts[0] - connectionWarmUp, remotePort), 0, 0,
            settledThreads(warm[3])};
        // Counted once the library's idle threads have ended, and with them its epoll set.
        end[1] = descriptors();
        end[2] = residentKb();
        if (server != null) {
            server.close();
        }
        devices.forEach(SerialLab.FarEnd::close);
        System.out.printf(Locale.ROOT, "soak: %d cycles over %d slots, %d failed and %d rejected opens, and %d "
                + "connection cycles on ptys and on a virtual device (%s); descriptors %d after warm-up, %d at the end; "
                + "threads %d and %d; resident memory %d kB after warm-up, %d kB at the end (%+d kB); wrong or missing "
                + "bytes and unexpected outcomes: %d%n", counts[0], SLOTS.length, counts[1], counts[2], counts[0],
                remotePort == 0 ? "no ser2net: no RFC 2217 cycles" : counts[0] / 50 + " over RFC 2217", warm[1],
                end[1], warm[3], end[3], warm[2], end[2], end[2] - warm[2], end[0]);
        boolean ok = end[0] == 0 && end[1] == warm[1] && end[3] <= warm[3] && end[2] - warm[2] <= 8 * 1024;
        System.out.println(ok ? "soak: passed" : "soak: FAILED");
        System.exit(ok ? 0 : 1);
    }

    /** A share of each kind of work; answers the count of wrong outcomes. */
    private static long run(long[] counts, double share) {
        long errors = 0;
        for (int i = 0; i < Math.round(counts[0] * share); i++) {
            String port = SLOTS[i % SLOTS.length];
            try {
                SerialPort.openPortC(port, "115200", "8", "1", "N");
                SerialPort.writeDataInt(port, i % 254 + 1);
                long deadline = System.nanoTime() + 2_000_000_000L;
                int b;
                while ((b = SerialPort.readDataInt(port)) == 0 && System.nanoTime() < deadline) {
                    Thread.onSpinWait();
                }
                errors += b == i % 254 + 1 ? 0 : 1;
            } catch (Exception e) {
                errors++;
            } finally {
                SerialPort.closePortC(port);
            }
        }
        String[][] raising = {{"COM33", "9600", "Error setting serial port COM33 = /dev/ttyS33."},
            {"COM34", "230400", "Error set parameters."}};
        for (int kind = 0; kind < 2; kind++) {
            for (int i = 0; i < Math.round(counts[kind + 1] * share); i++) {
                try {
                    SerialPort.openPortC(raising[kind][0], raising[kind][1], "8", "1", "N");
                    errors++;
                } catch (Exception e) {
                    errors += raising[kind][2].equals(e.getMessage()) ? 0 : 1;
                }
            }
        }
        return errors;
    }

    /** The JVM's threads once the library's idle ones have ended (a second, at most 5 s), down to `most`. */
    private static long settledThreads(long most) throws InterruptedException {
        long threads = Thread.getAllStackTraces().size();
        for (int tries = 0; tries < 50 && threads > most; tries++) {
            Thread.sleep(100);
            threads = Thread.getAllStackTraces().size();
        }
        Thread.sleep(1500);
        return Thread.getAllStackTraces().size();
    }

    private static long descriptors() {
        String[] entries = new File("/proc/self/fd").list();
        return entries == null ? -1 : entries.length;
    }

    private static long residentKb() throws Exception {
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
