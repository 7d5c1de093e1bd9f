package tool;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import core.SerialPort;
import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The jar and its tool, each run as a user would: a JVM of its own with only the jar. */
class SerialToolTest {

    private static final String JAR = System.getProperty("serialslots.jar");

    @BeforeAll
    static void inLab() {
        assertTrue(SerialLab.insideLab(), "the tool tests must run inside the serial lab");
        assertTrue(JAR != null && new File(JAR).isFile(), "serialslots.jar is named by -Dserialslots.jar");
    }

    record Run(int status, String out, String err) {
    }

    /**
     * Starts the jar's tool (or, with "-cp", a class of it) from another
     * directory, seeing no library this machine may have installed.
     */
    private static Process start(List<String> jvmOptions, String... args) throws Exception {
        List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-Djava.library.path=" + System.getProperty("java.library.path")));
        command.addAll(jvmOptions);
        command.addAll(jvmOptions.contains("-cp") || jvmOptions.contains("-p") ? List.of() : List.of("-jar", JAR));
        command.addAll(Arrays.asList(args));
        return new ProcessBuilder(command).directory(new File("/")).start();
    }

    private static Run finish(Process process) throws Exception {
        process.getOutputStream().close();
        assertTrue(process.waitFor(30, TimeUnit.SECONDS), "the tool hung");
        return new Run(process.exitValue(), new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8),
                new String(process.getErrorStream().readAllBytes(), StandardCharsets.UTF_8).strip());
    }

    private static Run tool(String... args) throws Exception {
        return finish(start(List.of("-Xcheck:jni"), args));
    }

    private static long extractedCopies(Path directory) throws Exception {
        try (Stream<Path> entries = Files.list(directory)) {
            return entries.filter(p -> p.getFileName().toString().startsWith("serialslots-")).count();
        }
    }

    @Test
    void theJarLoadsItsOwnCopyAsToolOrLibraryEvenWhereTmpIsNoexecAndLeavesNothing() throws Exception {
        Path tmp = Path.of(System.getProperty("java.io.tmpdir"));
        long before = extractedCopies(tmp);
        Run run = tool("list");
        assertEquals(new Run(0, run.out, ""), run);
        Run asLibrary = finish(start(List.of("--enable-native-access=ALL-UNNAMED", "-cp", JAR), "tool.SerialTool", "list"));
        assertEquals(new Run(0, run.out, ""), asLibrary);
        Run asModule = finish(start(List.of("--enable-native-access=serialslots", "-p", JAR, "-m",
                "serialslots/tool.SerialTool"), "list", "--present"));
        assertEquals(new Run(0, run.out, ""), asModule);
        assertEquals(before, extractedCopies(tmp), "an extracted copy was left in the temp dir");

        Path noexec = Files.createTempDirectory(Path.of("/dev/shm"), "noexec-");
        Path home = Files.createTempDirectory(Path.of("/dev/shm"), "home-");
        assertEquals(0, new ProcessBuilder("mount", "-t", "tmpfs", "-o", "noexec", "lab", noexec.toString())
                .inheritIO().start().waitFor(), "mount a noexec tmpfs inside the lab");
        try {
            Run fallback = finish(start(List.of("-Djava.io.tmpdir=" + noexec, "-Duser.home=" + home), "list"));
            assertEquals(0, fallback.status, fallback.err);
            assertEquals(0, extractedCopies(home.resolve(".cache")), "the copy was left in the cache");
        } finally {
            new ProcessBuilder("umount", noexec.toString()).inheritIO().start().waitFor();
        }
        Run missing = finish(start(List.of("-Dserialslots.library=/nowhere/libserialslots.so"), "list"));
        assertEquals(new Run(1, "", "serialslots list: Cannot load the serial library: serialslots.library="
                + "/nowhere/libserialslots.so: no such file (no other way is tried while that property is set)"), missing);
        // Beside a library of another release, the jar loads its own; one of
        // another version under this one's name is refused, saying which.
        Path otherVersion = Path.of(System.getProperty("serialslots.test.otherVersion"));
        Path beside = Files.createTempDirectory(Path.of("/dev/shm"), "installed-");
        Files.copy(otherVersion.resolve(System.mapLibraryName(SerialPort.LIBRARY_NAME)),
                beside.resolve(System.mapLibraryName("serialslots-0.9.0")));
        assertEquals(new Run(0, run.out, ""), finish(start(List.of("-Djava.library.path=" + beside), "list")));
        String version = SerialPort.LIBRARY_NAME.substring("serialslots-".length());
        assertEquals(new Run(1, "", "serialslots list: Cannot use the serial library: libserialslots-" + version
                + ".so on java.library.path is version 0.9.0, this jar is version " + version),
                finish(start(List.of("-Djava.library.path=" + otherVersion), "list")));
    }

    @Test
    void listShowsWhatSysfsKnowsProbesOnlyWhenAskedAndSendShowsWhatWentOutAndTheReplies() throws Exception {
        Path root = Files.createTempDirectory(Path.of("/dev/shm"), "root-");
        for (String tty : List.of("ttyUSB12", "ttyS14")) {
            Path device = Files.createDirectories(root.resolve("sys/devices/" + tty));
            Files.createSymbolicLink(device.resolve("driver"), Path.of("/sys/bus/drivers/" + tty.substring(3, 5)));
            Files.createDirectories(root.resolve("sys/class/tty/" + tty));
            Files.createSymbolicLink(root.resolve("sys/class/tty/" + tty + "/device"), device);
        }
        try (SerialLab.FarEnd a = SerialLab.attach("/dev/ttyS11").echo(); SerialLab.FarEnd b = SerialLab.attach("/dev/ttyUSB12")) {
            assertEquals("""
                    DEVICE         PORT      DRIVER      DESCRIPTION
                    /dev/ttyS14    COM14     S1          \n/dev/ttyUSB12  COMUSB12  US          \n""",
                    tool("list", "--root", root.toString()).out);
            assertEquals("""
                    DEVICE         PORT      DRIVER      STATE  DESCRIPTION
                    /dev/ttyS14    COM14     S1          busy   \n/dev/ttyUSB12  COMUSB12  US          free   \n""",
                    tool("list", "--root", root.toString(), "--probe").out);
            assertEquals(new Run(0, "sent     4 bytes: 48 69 0D 0A  |Hi..|\nreceived 4 bytes: 48 69 0D 0A  |Hi..|\n", ""),
                    tool("send", "COM11", "9600", "8", "1", "N", "Hi", "--crlf", "--wait", "200", "--hold-dtr"));
            final int hupcl = 02000;
            assertEquals(0, a.attributes().cflag & hupcl, "the port drops DTR at close despite --hold-dtr");
            Run hex = tool("send", "/dev/ttyS11", "250000", "8", "2", "N", "--hex", "41 00 ff 0a", "--flow", "rtscts");
            assertTrue(hex.out.contains("received 4 bytes: 41 00 FF 0A  |A...|"), hex.out);
        }
    }

    @Test
    void termSendsTypedBytesShowsRepliesAndQuitsOnEndOfInputOrItsKey() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB16")) {
            Process term = start(List.of(), "term", "COMUSB16", "38400", "8", "1", "N", "--hex");
            term.getOutputStream().write("AB".getBytes(StandardCharsets.US_ASCII));
            term.getOutputStream().flush();
            assertArrayEquals(new byte[] {'A', 'B'}, device.take(2, 5000));
            device.inject((byte) 'x', (byte) 0, (byte) 0xFE);
            Thread.sleep(100);
            Run run = finish(term);
            assertEquals("78 00 FE", run.out.trim(), run.err);
            assertTrue(run.err.endsWith("[/dev/ttyUSB16 closed]"), run.err);

            Process quit = start(List.of(), "term", "COMUSB16", "9600", "8", "1", "N");
            quit.getOutputStream().write(new byte[] {'z', TermCommand.QUIT_KEY, 'q'});
            quit.getOutputStream().flush();
            assertTrue(quit.waitFor(30, TimeUnit.SECONDS), "the quit key did not end term");
            assertArrayEquals(new byte[] {'z'}, device.take(8, 200), "only the byte before the quit key");
        }
        // Frames, each on a line after its time.
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB17")) {
            Process frames = start(List.of(), "term", "COMUSB17", "9600", "8", "1", "N", "--frames", "crlf");
            frames.getOutputStream().write('k');
            frames.getOutputStream().flush();
            assertArrayEquals(new byte[] {'k'}, device.take(1, 5000));
            device.inject("ab\r\ncd\r\n".getBytes(StandardCharsets.US_ASCII));
            Thread.sleep(100);
            String shown = finish(frames).out;
            assertTrue(shown.matches("(?s)\\d\\d:\\d\\d:\\d\\d\\.\\d{6} ab\\R\\d\\d:\\d\\d:\\d\\d\\.\\d{6} cd\\R.*"), shown);
        }
    }

    @ParameterizedTest
    @CsvSource({"COM18,8,--cr,/dev/ttyS18: no such serial device",
        "/dev/null,8,--cr,/dev/null: not a serial device (no terminal)",
        "COM19,7,--cr,/dev/ttyS19: the driver did not take data bits 7 (it kept 8); the line was left as it was",
        "COM19,8,--rs485,/dev/ttyS19: the driver has no RS-485 mode",
        "COM19,8,--low-latency,/dev/ttyS19: the driver did not take low latency on"})
    void libraryErrorsAreOneLineAndExitOne(String port, String size, String option, String message) throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyS19")) {
            assertEquals(new Run(1, "", "serialslots send: " + message),
                    tool("send", port, "9600", size, "1", "N", "x", option));
        }
    }

    @Test
    void badArgumentsGetAUsageLineAndHelpExplainsEachCommand() throws Exception {
        for (String[] args : new String[][] {{}, {"nonsense"}, {"send", "COM1"}, {"send", "COM1", "9600", "8", "1", "N",
                "--hex", "4"}, {"term", "COM1", "9600", "8", "1", "N", "--linger", "soon"}, {"list", "extra"},
            {"send", "COM1", "0", "8", "1", "N", "x"}, {"send", "COM1", "9600", "9", "1", "N", "x"},
            {"term", "COM1", "9600", "8", "1", "X"}, {"term", "COM1", "9600", "8", "1", "N", "--rts", "up"}}) {
            Run run = tool(args);
            assertEquals(2, run.status, String.join(" ", args));
            assertTrue(run.err.contains("usage: ") && !run.err.contains("\tat "), run.err);
        }
        assertEquals("serialslots " + SerialPort.LIBRARY_NAME.substring("serialslots-".length()) + "\n",
                tool("--version").out);
        for (String command : List.of("list", "send", "term", "demo")) {
            assertTrue(tool(command, "--help").out.startsWith("usage: serialslots " + command));
        }
        try (SerialLab.FarEnd silent = SerialLab.attach("/dev/ttyUSB0")) {
            assertEquals(DemoCommand.MISMATCH, tool("demo", "--message", "ab").status, "the demo passed without an echo");
        }
    }
}
