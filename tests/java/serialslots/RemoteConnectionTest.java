package serialslots;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import contract.ConnectionContract;
import contract.Line;
import contract.Ser2net;
import java.io.IOException;
import java.io.OutputStream;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.EnumSet;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.Function;
import java.util.function.Supplier;
import java.util.stream.Stream;
import lab.SerialLab;
import serialslots.rfc2217.Telnet;
import serialslots.rfc2217.RemoteTransport;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Remote ports: the contract through Debian's ser2net serving a lab pty over
 * RFC 2217, what only a remote port shows, and servers that are not there,
 * do not speak the protocol or break it.
 */
class RemoteConnectionTest extends ConnectionContract {

    private static final int PORT = 24_100;

    private final ExecutorService servers = Executors.newCachedThreadPool();

    static Stream<Supplier<Line>> lines() {
        return Stream.of(Line.called("ser2net", () -> {
            assumeTrue(Ser2net.installed(), "ser2net is not installed");
            SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB8");
            try {
                Ser2net server = Ser2net.serve("/dev/ttyUSB8", PORT, null, null);
                return new ServedLine(server.uri(false), end, server);
            } catch (IOException | InterruptedException e) {
                end.close();
                throw new IllegalStateException(e);
            }
        }));
    }

    @BeforeEach
    void quickTimeout() {
        System.setProperty(RemoteTransport.TIMEOUT_PROPERTY, "1000");
    }

    @AfterEach
    void stopServers() {
        System.clearProperty(RemoteTransport.TIMEOUT_PROPERTY);
        servers.shutdownNow();
    }

    @Test
    void settingsReachTheDeviceWhatTheServerKeepsNotIsRefusedAndItsEndIsTheStreamsEnd() throws Exception {
        assumeTrue(Ser2net.installed(), "ser2net is not installed");
        try (ServedLine line = (ServedLine) lines().findFirst().orElseThrow().get();
                SerialConnection remote = SerialConnection.open(line.device(), LineSettings.of(57600).withStopBits(2))) {
            assertEquals(line.device(), remote.device());
            SerialLab.Attributes device = line.end().attributes();
            assertEquals(List.of(57600L, 0100), List.of(device.outputBaud, device.cflag & 0100));  // CSTOPB
            assertEquals(LineSettings.of(57600).withStopBits(2), remote.settings());
            assertEquals("the driver has no RS-485 mode", assertThrows(SettingNotSupportedException.class,
                    () -> remote.setRs485(Rs485.standard())).getMessage().substring(line.device().length() + 2));
            PortBusyException busy = assertThrows(PortBusyException.class,
                    () -> SerialConnection.open(line.device(), LineSettings.of(9600)).close());
            assertTrue(busy.getMessage().startsWith(line.device() + ": the server dropped the connection"),
                    busy.getMessage());
            BlockingQueue<SerialEventType> events = new LinkedBlockingQueue<>();
            remote.listen(EnumSet.of(SerialEventType.DATA, SerialEventType.HANG_UP), (c, event) -> {
                events.add(event.type());
                if (event.type() == SerialEventType.DATA) {
                    try {
                        c.getInputStream().skip(c.available());
                    } catch (IOException e) {
                        throw new IllegalStateException(e);
                    }
                }
            });
            line.send((byte) 0xFF);
            assertEquals(SerialEventType.DATA, events.poll(5, TimeUnit.SECONDS));
            line.server().kill();
            assertEquals(SerialEventType.HANG_UP, events.poll(5, TimeUnit.SECONDS));
            assertEquals(-1, remote.getInputStream().read());
            assertThrows(PortDisconnectedException.class, () -> remote.getOutputStream().write(1));
        }
    }

    /** Marks an answer after which the server closes the connection. */
    private static final byte[] CLOSE = {};
    /** Marks the command after which the server stops reading and floods the client with IAC DO. */
    private static final byte[] STALL = {};

    /** Each COM port command answered with its own value. */
    private static byte[] echo(byte[] command) {
        byte[] answer = command.clone();
        answer[0] += 100;
        return answer;
    }

    /** Every command answered with its own value, but {@code command}'s with {@code value}. */
    private static Function<byte[], byte[]> answering(int command, int... value) {
        return asked -> {
            if (asked[0] != command) {
                return echo(asked);
            }
            byte[] answer = new byte[value.length + 1];
            answer[0] = (byte) (command + 100);
            for (int i = 0; i < value.length; i++) {
                answer[i + 1] = (byte) value[i];
            }
            return answer;
        };
    }

    /**
     * A server of the test's own: greets one client with `greeting`, then
     * answers each COM port command with `answer` of it (null: no answer,
     * CLOSE: the baud rate's answer, then the end, STALL: no more reading).
     */
    private int server(byte[] greeting, Function<byte[], byte[]> answer) throws IOException {
        ServerSocket server = new ServerSocket(0);
        servers.submit(() -> {
            try (server; Socket client = server.accept()) {
                OutputStream out = client.getOutputStream();
                out.write(greeting);
                boolean[] stalled = {false};
                Telnet answers = new Telnet(new Telnet.Handler() {
                    @Override
                    public void data(byte[] bytes, int offset, int length) {
                        // data is not looked at
                    }

                    @Override
                    public void negotiation(int verb, int option) {
                        // every option stays as greeted
                    }

                    @Override
                    public void subnegotiation(int option, byte[] payload, int length) throws IOException {
                        byte[] reply = length < 1 ? null : answer.apply(java.util.Arrays.copyOf(payload, length));
                        if (reply == CLOSE) {
                            out.write(Telnet.subnegotiation(option, echo(java.util.Arrays.copyOf(payload, length))));
                            client.close();
                        } else if (reply == STALL) {
                            stalled[0] = true;
                        } else if (reply != null) {
                            out.write(Telnet.subnegotiation(option, reply));
                        }
                    }
                });
                byte[] buffer = new byte[4096];
                for (int got; !stalled[0] && (got = client.getInputStream().read(buffer)) > 0;) {
                    answers.feed(buffer, 0, got);
                }
                for (int option = 0; stalled[0]; option = (option + 1) % 256) {
                    out.write(new byte[] {(byte) 255, (byte) 253, (byte) option});
                }
            }
            return null;
        });
        return server.getLocalPort();
    }

    @Test
    void aServerThatIsNotThereOrSpeaksSomethingElseOrBreaksTheProtocolIsAClearFailureInTime() throws Exception {
        byte iac = (byte) 255;
        byte[] agrees = {iac, (byte) 253, 44};
        byte[] endless = new byte[200];
        java.util.Arrays.fill(endless, (byte) 'x');
        byte[] endlessSubnegotiation = concat(agrees, new byte[] {iac, (byte) 250, 44}, endless);
        try (ServerSocket closed = new ServerSocket(0)) {
            closed.close();
            assertFailure("rfc2217://127.0.0.1:" + closed.getLocalPort(), IOException.class,
                    "cannot connect: Connection refused");
        }
        Function<byte[], byte[]> mute = asked -> null;
        Object[][] servers = {
            {"HTTP/1.1 400\r\n".getBytes(StandardCharsets.US_ASCII), mute, IOException.class,
                "the server does not speak RFC 2217: it did not answer the COM port option within 1000 ms"},
            {new byte[] {iac, (byte) 252, 44}, mute, IOException.class,
                "the server does not speak RFC 2217: it refused the COM port option"},
            // One deadline for the whole open, and the message says it.
            {agrees, mute, SerialTimeoutException.class, "configuring on rfc2217://127.0.0.1:"},
            {agrees, answering(2, 8), SettingNotSupportedException.class,
                "the driver did not take data bits 7 (it kept 8); the line was left as it was"},
            {endlessSubnegotiation, mute, IOException.class,
                "the server broke the telnet protocol: a subnegotiation longer than 64 bytes"},
            {agrees, answering(2, 9), java.net.ProtocolException.class,
                "the server broke RFC 2217: it answered SET-DATASIZE with 9, which no serial line has"},
            {agrees, answering(2, 0), java.net.ProtocolException.class, "SET-DATASIZE with 0,"},
            {agrees, answering(1, 0, 0, 0, 0), java.net.ProtocolException.class, "SET-BAUDRATE with 0,"},
            {agrees, answering(1, 255, 255, 255, 255), java.net.ProtocolException.class,
                "SET-BAUDRATE with 4294967295,"},
            {agrees, answering(3, 9), java.net.ProtocolException.class, "SET-PARITY with 9,"},
            // A server that spoke the protocol, then closed, is not a busy port.
            {agrees, (Function<byte[], byte[]>) asked -> CLOSE, IOException.class,
                "the server closed the connection while it was being opened"},
        };
        for (Object[] row : servers) {
            @SuppressWarnings("unchecked")
            Function<byte[], byte[]> answers = (Function<byte[], byte[]>) row[1];
            @SuppressWarnings("unchecked")
            Class<? extends IOException> type = (Class<? extends IOException>) row[2];
            assertFailure("rfc2217://127.0.0.1:" + server((byte[]) row[0], answers) + "?timeout=1000", type,
                    (String) row[3]);
        }
        // No thread of a failed connection is left behind.
        for (int tries = 0; tries < 100 && Thread.getAllStackTraces().keySet().stream()
                .anyMatch(thread -> thread.getName().startsWith("serialslots-rfc2217")); tries++) {
            Thread.sleep(20);
        }
        assertEquals(List.of(), Thread.getAllStackTraces().keySet().stream().map(Thread::getName)
                .filter(name -> name.startsWith("serialslots-rfc2217")).toList());
    }

    /** Servers differ: some set a line's change bit, some only move its level; either counts once, as does each error. */
    @Test
    void aLineChangeCountsOnceWhetherTheServerSetsItsChangeBitOrOnlyMovesTheLevel() throws Exception {
        // RI on, then off; a ring's end alone; CTS's change bit alone; CTS on.
        byte[] greeting = {(byte) 255, (byte) 253, 44};
        for (int state : new int[] {0x40, 0x00, 0x04, 0x01, 0x10}) {
            greeting = concat(greeting, Telnet.subnegotiation(44, (byte) 107, (byte) state));
        }
        // A break, a framing error, a parity error and an overrun, one each, then one of all four.
        for (int state : new int[] {0x10, 0x08, 0x04, 0x02, 0x1e}) {
            greeting = concat(greeting, Telnet.subnegotiation(44, (byte) 106, (byte) state));
        }
        try (SerialConnection remote = SerialConnection.open("rfc2217://127.0.0.1:"
                + server(greeting, RemoteConnectionTest::echo) + "?timeout=1000", LineSettings.of(9600))) {
            LineCounters counted = remote.counters();
            assertEquals(List.of(2L, 2L, 0L, 2L, 2L, 2L, 2L), List.of(counted.ringIndications(),
                    counted.ctsChanges(), counted.dsrChanges(), counted.breaks(), counted.framingErrors(),
                    counted.parityErrors(), counted.overruns()));
        }
    }

    @Test
    void aNameWithPartsTheTransportDoesNotUseOrABadTimeoutIsRefusedByName() {
        String[][] names = {
            {"rfc2217://nohost", "no port"},
            {"rfc2217://127.0.0.1:70000", "port 70000 is out of range"},
            {"rfc2217://127.0.0.1:7000/ttyS1", "a path is not supported"},
            {"rfc2217://me@127.0.0.1:7000", "user information is not supported"},
            {"rfc2217://127.0.0.1:7000#x", "a fragment is not supported"},
            {"rfc2217://127.0.0.1:7000?connectTimeout=5", "the query parameter \"connectTimeout=5\" is not supported"},
            {"rfc2217://127.0.0.1:7000?timeout=-5", "the timeout -5 is not"},
        };
        for (String[] name : names) {
            IllegalArgumentException refused = assertThrows(IllegalArgumentException.class,
                    () -> SerialConnection.open(name[0], LineSettings.of(9600)));
            assertTrue(refused.getMessage().startsWith(name[0] + ": " + name[1]), refused.getMessage());
        }
        System.setProperty(RemoteTransport.TIMEOUT_PROPERTY, "-5");
        IllegalArgumentException property = assertThrows(IllegalArgumentException.class,
                () -> SerialConnection.open("rfc2217://127.0.0.1:7000", LineSettings.of(9600)));
        assertTrue(property.getMessage().startsWith(RemoteTransport.TIMEOUT_PROPERTY + "=-5: "),
                property.getMessage());
    }

    @Test
    void everyCallKeepsItsTimeoutWhateverTheServerDoesAndItsEndSaysWhy() throws Exception {
        byte[] agrees = {(byte) 255, (byte) 253, 44};
        // A timeout of 0 is no limit, not none.
        System.setProperty(RemoteTransport.TIMEOUT_PROPERTY, "0");
        SerialConnection.open("rfc2217://127.0.0.1:" + server(agrees, RemoteConnectionTest::echo),
                LineSettings.of(9600)).close();
        System.clearProperty(RemoteTransport.TIMEOUT_PROPERTY);
        // Once RTS is asked for, the server stops reading and floods the client with IAC DO.
        Function<byte[], byte[]> stallAtRts = asked -> asked[0] == 5 && asked[1] == 12 ? STALL : echo(asked);
        String name = "rfc2217://127.0.0.1:" + server(agrees, stallAtRts) + "?timeout=1000";
        try (SerialConnection remote = SerialConnection.open(name, LineSettings.of(9600))) {
            for (int round = 0; round < 2; round++) {
                long start = System.nanoTime();
                SerialTimeoutException late = assertThrows(SerialTimeoutException.class, () -> remote.setRts(false));
                assertEquals("setting RTS on " + name + " timed out after 1000 ms", late.getMessage());
                assertTrue(System.nanoTime() - start < TimeUnit.MILLISECONDS.toNanos(3000), "past its timeout");
            }
            remote.setWriteTimeout(500);
            assertThrows(SerialTimeoutException.class, () -> remote.getOutputStream().write(new byte[64 << 20]));
            long start = System.nanoTime();
            assertThrows(SerialTimeoutException.class, () -> remote.setDtr(false));
            assertTrue(System.nanoTime() - start < TimeUnit.MILLISECONDS.toNanos(3000), "past its timeout");
        }
        // A breach after the open ends the stream, and later calls say why.
        byte[] endless = new byte[200];
        Function<byte[], byte[]> breakAtDtr = asked -> asked[0] == 5 && asked[1] == 9 ? endless : echo(asked);
        name = "rfc2217://127.0.0.1:" + server(agrees, breakAtDtr) + "?timeout=1000";
        try (SerialConnection remote = SerialConnection.open(name, LineSettings.of(9600))) {
            assertThrows(IOException.class, () -> remote.setDtr(false));
            assertEquals(-1, remote.getInputStream().read());
            PortDisconnectedException gone = assertThrows(PortDisconnectedException.class,
                    () -> remote.getOutputStream().write(1));
            assertTrue(gone.getMessage().contains("was disconnected (the server broke the telnet protocol: a "
                    + "subnegotiation longer than 64 bytes)"), gone.getMessage());
        }
    }

    private static byte[] concat(byte[]... parts) {
        java.io.ByteArrayOutputStream all = new java.io.ByteArrayOutputStream();
        for (byte[] part : parts) {
            all.writeBytes(part);
        }
        return all.toByteArray();
    }

    /** The open fails, as {@code type}, within one timeout and a little, with a message that holds {@code says}. */
    private static void assertFailure(String uri, Class<? extends IOException> type, String says) {
        long start = System.nanoTime();
        IOException failure = assertThrows(type, () -> SerialConnection.open(uri, LineSettings.of(9600)
                .withDataBits(7)));
        assertTrue(failure.getMessage().contains(says), failure.getMessage());
        assertTrue(System.nanoTime() - start < TimeUnit.MILLISECONDS.toNanos(3000), "the failure took too long");
    }

    @Test
    void aRemotePortNeedsNoNativeLibrary() throws Exception {
        assumeTrue(Ser2net.installed(), "ser2net is not installed");
        assumeFalse(Boolean.getBoolean("serialslots.test.emulated"), "qemu-user starts no JVM of its own");
        try (SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB8").echo();
                Ser2net server = Ser2net.serve("/dev/ttyUSB8", PORT + 2, null, null)) {
            Process remote = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                    "-Dserialslots.library=/nonexistent", "-cp", System.getProperty("serialslots.test.classpath"),
                    RemoteWithoutNatives.class.getName(), server.uri(false)).redirectErrorStream(true).start();
            String output = new String(remote.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertEquals(0, remote.waitFor(), output);
            assertEquals("echoed 00 ff 0d 0a\n", output);
        }
    }

    @Test
    void overTlsTheServersCertificateMustBeTrustedAndItsNameMatch() throws Exception {
        assumeTrue(Ser2net.installed(), "ser2net is not installed");
        Path dir = Files.createTempDirectory(Path.of("/dev/shm"), "tls-");
        Path key = dir.resolve("key.pem");
        Path certificate = dir.resolve("cert.pem");
        Path trust = dir.resolve("trust.p12");
        assertEquals(0, new ProcessBuilder(Ser2net.makeCertificate(key, certificate)).redirectErrorStream(true)
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).start().waitFor());
        try (SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB8").echo();
                Ser2net server = Ser2net.serve("/dev/ttyUSB8", PORT + 1, key, certificate)) {
            IOException untrusted = assertThrows(IOException.class,
                    () -> SerialConnection.open(server.uri(true), LineSettings.of(9600)));
            assertTrue(untrusted.getMessage().startsWith(server.uri(true) + ": TLS refused:"), untrusted.getMessage());
            assumeFalse(Boolean.getBoolean("serialslots.test.emulated"), "qemu-user starts no JVM tool of its own");
            assertEquals(0, new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "keytool").toString(),
                    "-importcert", "-noprompt", "-alias", "ser2net", "-file", certificate.toString(), "-keystore",
                    trust.toString(), "-storepass", "secret", "-storetype", "PKCS12").redirectErrorStream(true)
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).start().waitFor());
            // A program that trusts the certificate: the tool, in a JVM of its own.
            Process tool = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                    "--enable-native-access=ALL-UNNAMED", "-Djavax.net.ssl.trustStore=" + trust,
                    "-Djavax.net.ssl.trustStorePassword=secret",
                    "-Dserialslots.library=" + System.getProperty("serialslots.library"),
                    "-jar", System.getProperty("serialslots.jar"), "send", server.uri(true), "9600", "8", "1", "N",
                    "--hex", "00 ff 0d 0a", "--wait", "500").redirectErrorStream(true).start();
            String output = new String(tool.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertEquals(0, tool.waitFor(), output);
            assertTrue(output.contains("received 4 bytes: 00 FF 0D 0A"), output);
        }
    }
}
