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
                return new RemoteLine(end, Ser2net.serve("/dev/ttyUSB8", PORT, null, null));
            } catch (IOException | InterruptedException e) {
                end.close();
                throw new IllegalStateException(e);
            }
        }));
    }

    private record RemoteLine(SerialLab.FarEnd end, Ser2net server) implements ConnectionTest.PtyFarEnd {
        @Override
        public String device() {
            return server.uri(false);
        }

        @Override
        public boolean fillsWhenUnread() {
            return false;  // TCP holds megabytes before a write waits
        }

        @Override
        public boolean locksLikeTheKernel() {
            return false;
        }

        @Override
        public void close() throws IOException {
            server.close();
            end.close();
        }
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
        try (RemoteLine line = (RemoteLine) lines().findFirst().orElseThrow().get();
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

    /**
     * A server of the test's own: greets one client with `greeting`, then, if
     * `keptDataBits` is not 0, answers each COM port command with its value,
     * but a data size asked for with `keptDataBits`.
     */
    private int server(byte[] greeting, int keptDataBits) throws IOException {
        ServerSocket server = new ServerSocket(0);
        servers.submit(() -> {
            try (server; Socket client = server.accept()) {
                OutputStream out = client.getOutputStream();
                out.write(greeting);
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
                        if (keptDataBits == 0 || length < 1) {
                            return;
                        }
                        byte[] answer = java.util.Arrays.copyOf(payload, length);
                        answer[0] += 100;
                        if (payload[0] == 2 && length > 1 && payload[1] != 0) {
                            answer[1] = (byte) keptDataBits;
                        }
                        out.write(Telnet.subnegotiation(option, answer));
                    }
                });
                byte[] buffer = new byte[4096];
                for (int got; (got = client.getInputStream().read(buffer)) > 0;) {
                    answers.feed(buffer, 0, got);
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
            assertFailure("rfc2217://127.0.0.1:" + closed.getLocalPort(), LineSettings.of(9600), "cannot connect: Connection refused");
        }
        LineSettings plain = LineSettings.of(9600);
        assertFailure("rfc2217://127.0.0.1:" + server("HTTP/1.1 400\r\n".getBytes(StandardCharsets.US_ASCII), 0),
                plain, "the server does not speak RFC 2217: it did not answer the COM port option within 1000 ms");
        assertFailure("rfc2217://127.0.0.1:" + server(new byte[] {iac, (byte) 252, 44}, 0), plain,
                "the server does not speak RFC 2217: it refused the COM port option");
        assertFailure("rfc2217://127.0.0.1:" + server(agrees, 0), plain, "configuring on rfc2217://127.0.0.1:");
        assertFailure("rfc2217://127.0.0.1:" + server(agrees, 8), plain.withDataBits(7),
                "the driver did not take data bits 7 (it kept 8); the line was left as it was");
        assertFailure("rfc2217://127.0.0.1:" + server(endlessSubnegotiation, 0), plain,
                "the server broke the telnet protocol: a subnegotiation longer than 64 bytes");
        assertThrows(IllegalArgumentException.class, () -> SerialConnection.open("rfc2217://nohost", LineSettings.of(1)));
        // No thread of a failed connection is left behind.
        for (int tries = 0; tries < 100 && Thread.getAllStackTraces().keySet().stream()
                .anyMatch(thread -> thread.getName().startsWith("serialslots-rfc2217")); tries++) {
            Thread.sleep(20);
        }
        assertEquals(List.of(), Thread.getAllStackTraces().keySet().stream().map(Thread::getName)
                .filter(name -> name.startsWith("serialslots-rfc2217")).toList());
    }

    private static byte[] concat(byte[]... parts) {
        java.io.ByteArrayOutputStream all = new java.io.ByteArrayOutputStream();
        for (byte[] part : parts) {
            all.writeBytes(part);
        }
        return all.toByteArray();
    }

    /** The open with `settings` fails within twice the timeout, with a message that holds `says`. */
    private static void assertFailure(String uri, LineSettings settings, String says) {
        long start = System.nanoTime();
        IOException failure = assertThrows(IOException.class, () -> SerialConnection.open(uri, settings));
        assertTrue(failure.getMessage().contains(says), failure.getMessage());
        assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(8), "the failure took too long");
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
