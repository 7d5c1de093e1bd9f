package tool;

import core.SerialPort;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.VirtualDevice;
import serialslots.internal.VirtualLab;

/**
 * The exchange to try without hardware: inside the virtual serial lab a pty
 * at /dev/ttyUSB0 echoes every byte; COMUSB0 is opened at 115200 8N1, the
 * message goes out byte by byte and each byte's echo is read back.
 */
final class DemoCommand implements SerialTool.Command {

    static final String MESSAGE = "Hello from serialslots: one byte at a time, out and back.";
    static final int MISMATCH = 3;
    private static final String LAB_PROPERTY = "serialslots.lab";
    private static final long ECHO_TIMEOUT_NANOS = 1_000_000_000L;
    /** The lab launcher's answer where it cannot make its namespaces. */
    private static final int NO_LAB = 77;

    @Override
    public String help() {
        return String.join(System.lineSeparator(),
                "usage: serialslots demo [--message TEXT]",
                "Runs inside the virtual serial lab (a private /dev; needs root or user",
                "namespaces), where /dev/ttyUSB0 is a pseudo-terminal whose far end echoes;",
                "where the lab cannot be built, over a virtual device that echoes, and says so.",
                "Opens COMUSB0 at 115200 8N1, sends the message byte by byte, reads each echo,",
                "prints both sides and the rate, closes, and exits 0 only when every byte",
                "came back equal (3 when not).",
                "  --message TEXT   what to send (UTF-8; no NUL characters)");
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws Exception {
        Arguments arguments = new Arguments(args, List.of("--message"), List.of());
        if (!arguments.positional.isEmpty()) {
            throw new SerialTool.UsageException("demo takes no arguments");
        }
        String text = arguments.value("--message") == null ? MESSAGE : arguments.value("--message");
        byte[] message = text.getBytes(StandardCharsets.UTF_8);
        if (message.length == 0 || text.indexOf('\0') >= 0) {
            throw new SerialTool.UsageException("the message must be non-empty and hold no NUL");
        }
        if (!VirtualLab.inside()) {
            int status = runInLab(args);
            return status == NO_LAB ? exchangeWithVirtualDevice(message, out, err) : status;
        }
        return exchange(message, out, err);
    }

    /** Where the lab cannot be built: the same exchange with a virtual device that echoes, in this JVM. */
    private static int exchangeWithVirtualDevice(byte[] message, PrintStream out, PrintStream err) throws Exception {
        out.println("The virtual serial lab cannot be built here (it needs root or user namespaces): using a "
                + "virtual device instead, virtual:demo, whose far end echoes.");
        ByteArrayOutputStream back = new ByteArrayOutputStream();
        long elapsed;
        try (VirtualDevice echo = VirtualDevice.create("demo")) {
            echo.respond(request -> request);
            try (SerialConnection port = SerialConnection.open(echo.name(), LineSettings.of(115200))) {
                port.setReadTimeout((int) (ECHO_TIMEOUT_NANOS / 1_000_000));
                out.println("Opened virtual:demo at 115200 baud, 8N1.");
                long start = System.nanoTime();
                for (byte b : message) {
                    port.getOutputStream().write(b);
                    back.write(port.getInputStream().read());
                }
                elapsed = System.nanoTime() - start;
            }
        }
        return report(message, back.toByteArray(), elapsed, "virtual:demo", out, err);
    }

    private static int exchange(byte[] message, PrintStream out, PrintStream err) throws Exception {
        out.println("Virtual serial lab: /dev/ttyUSB0 is a pseudo-terminal whose far end echoes.");
        ByteArrayOutputStream back = new ByteArrayOutputStream();
        long elapsed;
        SerialPort.openPortC("COMUSB0", "115200", "8", "1", "N");
        try {
            out.println("Opened COMUSB0 (/dev/ttyUSB0) at 115200 baud, 8N1.");
            long start = System.nanoTime();
            for (byte b : message) {
                SerialPort.writeDataInt("COMUSB0", b & 0xFF);
                int echoed = awaitByte();
                if (echoed < 0) {
                    break;
                }
                back.write(echoed);
            }
            elapsed = System.nanoTime() - start;
        } finally {
            SerialPort.closePortC("COMUSB0");
        }
        return report(message, back.toByteArray(), elapsed, "COMUSB0", out, err);
    }

    /** What went out and came back; OK only when every byte came back equal. */
    private static int report(byte[] message, byte[] received, long elapsed, String port, PrintStream out,
            PrintStream err) {
        out.println("sent     \"" + new String(message, StandardCharsets.UTF_8) + "\"");
        out.println("received \"" + new String(received, StandardCharsets.UTF_8) + "\"");
        out.println("sent     " + Bytes.describe(message));
        out.println("received " + Bytes.describe(received));
        out.printf(Locale.ROOT, "%d bytes out and back, one at a time, in %.1f ms: %.0f bytes per second%n",
                received.length, elapsed / 1e6, received.length / (elapsed / 1e9));
        out.println(port + " closed.");
        if (!Arrays.equals(message, received)) {
            err.println("serialslots demo: the echo differs from what was sent");
            return MISMATCH;
        }
        out.println("Every byte came back equal.");
        return SerialTool.OK;
    }

    /** The next byte of the echo; the message holds no NUL, so 0 means none yet. */
    private static int awaitByte() {
        long deadline = System.nanoTime() + ECHO_TIMEOUT_NANOS;
        while (System.nanoTime() < deadline) {
            int b = SerialPort.readDataInt("COMUSB0");
            if (b != 0) {
                return b;
            }
            Thread.onSpinWait();
        }
        return -1;
    }

    /** Runs this same command again inside the lab, with an echoing pty at /dev/ttyUSB0; NO_LAB where none can be. */
    private static int runInLab(String[] args) throws Exception {
        Path scratch = null;
        Path launcher;
        String configured = System.getProperty(LAB_PROPERTY);
        if (configured != null) {
            launcher = Path.of(configured);
        } else {
            scratch = Files.createTempDirectory("serialslots-lab-",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            launcher = extractLauncher(scratch);
        }
        try {
            List<String> command = new ArrayList<>(List.of(launcher.toString(), "--echo", "/dev/ttyUSB0", "--",
                    Path.of(System.getProperty("java.home"), "bin", "java").toString()));
            // The run in the lab loads the library this one was told to.
            for (String property : List.of(SerialPort.LIBRARY_PROPERTY, "java.library.path")) {
                String value = System.getProperty(property);
                if (value != null) {
                    command.add("-D" + property + "=" + value);
                }
            }
            // On the class path the jar's manifest cannot grant native access; the option does.
            command.addAll(List.of("--enable-native-access=ALL-UNNAMED", "-cp", System.getProperty("java.class.path"),
                    SerialTool.class.getName(), "demo"));
            command.addAll(Arrays.asList(args));
            return new ProcessBuilder(command).inheritIO().start().waitFor();
        } finally {
            if (scratch != null) {
                Files.deleteIfExists(launcher);
                Files.deleteIfExists(scratch);
            }
        }
    }

    private static Path extractLauncher(Path directory) throws IOException {
        String resource = VirtualLab.launcherResource();
        Path launcher = directory.resolve("serial-lab");
        try (InputStream in = DemoCommand.class.getResourceAsStream(resource)) {
            if (in == null) {
                throw new IOException("this jar holds no virtual serial lab at " + resource);
            }
            Files.copy(in, launcher, StandardCopyOption.REPLACE_EXISTING);
        }
        Files.setPosixFilePermissions(launcher, PosixFilePermissions.fromString("rwx------"));
        return launcher;
    }
}
