package tool;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.io.OutputStream;
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
    private static final File ELSEWHERE = new File("/");

    @BeforeAll
    static void inLab() {
        assertTrue(SerialLab.insideLab(), "the tool tests must run inside the serial lab");
        assertTrue(JAR != null && new File(JAR).isFile(), "serialslots.jar is named by -Dserialslots.jar");
    }

    /** A finished run of the tool. */
    static final class Run {
        final int status;
        final String out;
        final String err;

        Run(int status, String out, String err) {
            this.status = status;
            this.out = out;
            this.err = err;
        }

        List<String> errLines() {
            return err.lines().filter(line -> !line.isBlank()).toList();
        }
    }

    private static Process start(List<String> jvmOptions, String... args) throws IOException {
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.addAll(jvmOptions);
        command.addAll(List.of("-jar", JAR));
        command.addAll(Arrays.asList(args));
        return new ProcessBuilder(command).directory(ELSEWHERE).start();
    }

    private static Run finish(Process process) throws Exception {
        assertTrue(process.waitFor(30, TimeUnit.SECONDS), "the tool hung");
        return new Run(process.exitValue(),
                new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8),
                new String(process.getErrorStream().readAllBytes(), StandardCharsets.UTF_8));
    }

    private static Run tool(String... args) throws Exception {
        Process process = start(List.of("-Xcheck:jni"), args);
        process.getOutputStream().close();
        return finish(process);
    }

    private static long leftoverTempDirs() throws IOException {
        try (Stream<Path> entries = Files.list(Path.of(System.getProperty("java.io.tmpdir")))) {
            return entries.filter(p -> p.getFileName().toString().startsWith("serialslots-")).count();
        }
    }

    @Test
    void theJarAloneLoadsItsOwnCopyAndLeavesNothingBehind() throws Exception {
        long before = leftoverTempDirs();
        Run run = tool("list");
        assertEquals(0, run.status, run.err);
        assertEquals(83, run.out.lines().count());
        assertEquals(before, leftoverTempDirs(), "the extracted copy was left in the temp dir");
        assertTrue(run.err.isEmpty(), run.err);
        // As a library on a class path: a program of its own, nothing but the jar.
        Process program = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-cp", JAR, "tool.SerialTool", "list", "--present").directory(ELSEWHERE).start();
        Run asLibrary = finish(program);
        assertEquals(0, asLibrary.status, asLibrary.err);
        assertEquals("PORT      DEVICE         STATE", asLibrary.out.lines().findFirst().orElse(""));
    }

    @Test
    void aNoexecTemporaryDirectoryFallsBackToTheUsersCache() throws Exception {
        Path noexec = Files.createTempDirectory(Path.of("/dev/shm"), "noexec-");
        Path home = Files.createTempDirectory(Path.of("/dev/shm"), "home-");
        Process mount = new ProcessBuilder("mount", "-t", "tmpfs", "-o", "noexec", "lab-noexec", noexec.toString())
                .inheritIO().start();
        assertEquals(0, mount.waitFor(), "mount a noexec tmpfs inside the lab");
        try {
            Run run = finish(start(List.of("-Djava.io.tmpdir=" + noexec, "-Duser.home=" + home), "list", "--present"));
            assertEquals(0, run.status, run.err);
            try (Stream<Path> cache = Files.list(home.resolve(".cache"))) {
                assertEquals(0, cache.count(), "the extracted copy was left in the cache");
            }
        } finally {
            new ProcessBuilder("umount", noexec.toString()).inheritIO().start().waitFor();
            Files.delete(noexec);
            Files.delete(home.resolve(".cache"));
            Files.delete(home);
        }
    }

    @Test
    void thePropertyNamesTheLibraryAndAMissingFileSaysSo() throws Exception {
        Process good = start(List.of("-Dserialslots.library=" + System.getProperty("serialslots.library")), "list");
        assertEquals(0, finish(good).status);
        Run missing = finish(start(List.of("-Dserialslots.library=/nowhere/libserialslots.so"), "list"));
        assertEquals(1, missing.status);
        assertEquals(List.of("serialslots list: Cannot load the serial library: "
                + "serialslots.library=/nowhere/libserialslots.so: no such file "
                + "(no other way is tried while that property is set)"), missing.errLines());
    }

    @Test
    void listTellsAbsentFromPresentAndCanShowPresentOnly() throws Exception {
        try (SerialLab.FarEnd a = SerialLab.attach("/dev/ttyS11");
                SerialLab.FarEnd b = SerialLab.attach("/dev/ttyUSB12")) {
            Path directory = Path.of("/dev/ttyS13");
            Files.createDirectory(directory);
            try {
                Run all = tool("list");
                assertTrue(all.out.contains("COM11     /dev/ttyS11    free"), all.out);
                assertTrue(all.out.contains("COMUSB12  /dev/ttyUSB12  free"), all.out);
                assertTrue(all.out.contains("COM13     /dev/ttyS13    busy"), all.out);
                assertTrue(all.out.contains("COM14     /dev/ttyS14    absent"), all.out);
                Run present = tool("list", "--present");
                assertTrue(present.out.contains("COMUSB12"), present.out);
                assertTrue(!present.out.contains("absent"), present.out);
            } finally {
                Files.delete(directory);
            }
        }
    }

    @Test
    void sendShowsWhatWentOutAndTheReplies() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyS15").echo()) {
            Run text = tool("send", "COM15", "9600", "8", "1", "N", "Hi", "--cr", "--wait", "200");
            assertEquals(0, text.status, text.err);
            assertEquals(List.of("sent     3 bytes: 48 69 0D  |Hi.|", "received 3 bytes: 48 69 0D  |Hi.|"),
                    text.out.lines().toList());
            Run hex = tool("send", "COM15", "115200", "7", "2", "E", "--hex", "41 42 ff 0a");
            assertEquals(0, hex.status, hex.err);
            assertTrue(hex.out.contains("received 4 bytes: 41 42 FF 0A  |AB..|"), hex.out);
        }
    }

    @Test
    void termSendsTypedBytesShowsRepliesAndQuitsOnEndOfInput() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB16")) {
            Process term = start(List.of(), "term", "COMUSB16", "38400", "8", "1", "N", "--hex");
            OutputStream keys = term.getOutputStream();
            keys.write("AB".getBytes(StandardCharsets.US_ASCII));
            keys.flush();
            assertArrayEquals(new byte[] {'A', 'B'}, device.take(2, 5000));
            device.inject((byte) 'x', (byte) 'y', (byte) 0xFE);
            Thread.sleep(100);
            keys.close();
            Run run = finish(term);
            assertEquals(0, run.status, run.err);
            assertEquals("78 79 FE", run.out.trim());
            assertTrue(run.err.contains("[COMUSB16 closed]"), run.err);
        }
        assertEquals("free", core.SerialPort.getStateSerialPortC("/dev/null"));
    }

    @Test
    void termQuitsOnItsKeyAndClosesThePort() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB17")) {
            Process term = start(List.of(), "term", "COMUSB17", "9600", "8", "1", "N");
            term.getOutputStream().write(new byte[] {'z', 0x1D});
            term.getOutputStream().flush();
            Run run = finish(term);
            assertEquals(0, run.status, run.err);
            assertArrayEquals(new byte[] {'z'}, device.take(8, 200), "only the byte before the quit key");
        }
    }

    @Test
    void demoRunsItsEchoExchange() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB0").echo()) {
            Run run = tool("demo");
            assertEquals(0, run.status, run.err);
            assertTrue(run.out.contains("Every byte came back equal."), run.out);
            assertTrue(run.out.contains("bytes per second"), run.out);
        }
    }

    @Test
    void demoExitsNonZeroWhenTheEchoDiffers() throws Exception {
        try (SerialLab.FarEnd silent = SerialLab.attach("/dev/ttyUSB0")) {
            Run run = tool("demo", "--message", "ab");
            assertEquals(DemoCommand.MISMATCH, run.status);
        }
    }

    @ParameterizedTest
    @CsvSource({
        "COM18,9600,Error setting serial port COM18 = /dev/ttyS18.",
        "COM19,230400,Error set parameters.",
        "COM99,9600,Serial port does not exits.",
        "com19,9600,Serial port does not exits."})
    void libraryErrorsAreOneLineAndExitOne(String port, String baud, String message) throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyS19")) {
            Run run = tool("send", port, baud, "8", "1", "N", "x");
            assertEquals(1, run.status);
            assertEquals(List.of("serialslots send: " + message), run.errLines());
        }
    }

    @Test
    void badArgumentsGetAUsageLine() throws Exception {
        for (String[] args : new String[][] {{}, {"nonsense"}, {"send", "COM1"}, {"send", "COM1", "9600", "8", "1", "N",
                "--hex", "4"}, {"term", "COM1", "9600", "8", "1", "N", "--linger", "soon"}, {"list", "extra"}}) {
            Run run = tool(args);
            assertEquals(2, run.status, String.join(" ", args));
            assertTrue(run.err.contains("usage: "), run.err);
            assertTrue(!run.err.contains("\tat "), "a stack trace: " + run.err);
        }
        for (String command : List.of("list", "send", "term", "demo")) {
            Run help = tool(command, "--help");
            assertEquals(0, help.status);
            assertTrue(help.out.startsWith("usage: serialslots " + command), help.out);
        }
    }
}
