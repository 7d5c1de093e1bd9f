package contract;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Debian's ser2net, started by a test with a configuration it writes: devices
 * served over RFC 2217 (telnet with the COM port option) on ports of
 * 127.0.0.1, over TLS with the key and certificate given, or as raw TCP;
 * without uucp lock files, which would land in the host's /var/lock.
 */
public final class Ser2net implements AutoCloseable {

    private static final Path BINARY = Path.of("/usr/sbin/ser2net");

    private final Process process;
    private final Path directory;
    private final int port;
    private final int lastPort;

    private Ser2net(Process process, Path directory, int port, int lastPort) {
        this.process = process;
        this.directory = directory;
        this.port = port;
        this.lastPort = lastPort;
    }

    /** Whether Debian's ser2net is installed here, and can be started (qemu-user starts no program). */
    public static boolean installed() {
        return Files.isExecutable(BINARY) && !Boolean.getBoolean("serialslots.test.emulated");
    }

    /** Serves `device` on `port`; with a key and a certificate (PEM files), over TLS. */
    public static Ser2net serve(String device, int port, Path key, Path certificate) throws IOException,
            InterruptedException {
        String tls = key == null ? "" : "ssl(key=" + key + ",cert=" + certificate + "),";
        return start(List.of(connection(device, "telnet(rfc2217)," + tls + "tcp,127.0.0.1," + port)), port, port);
    }

    /** Serves `device` as raw TCP on `port`: the bytes alone, no protocol. */
    public static Ser2net serveRaw(String device, int port) throws IOException, InterruptedException {
        return start(List.of(connection(device, "tcp,127.0.0.1," + port)), port, port);
    }

    /** Serves each device over RFC 2217, the first on `firstPort` and each next on the next port. */
    public static Ser2net serveEach(List<String> devices, int firstPort) throws IOException, InterruptedException {
        List<String> connections = new java.util.ArrayList<>();
        for (int i = 0; i < devices.size(); i++) {
            connections.add(connection(devices.get(i), "telnet(rfc2217),tcp,127.0.0.1," + (firstPort + i)));
        }
        return start(connections, firstPort, firstPort + devices.size() - 1);
    }

    private static String connection(String device, String accepter) {
        return String.join("\n", "connection: &" + device.replaceAll("\\W", ""), "  accepter: " + accepter,
                "  connector: serialdev," + device + ",9600n81,local", "");
    }

    /** Starts ser2net with these connections, and waits until the last port listens. */
    private static Ser2net start(List<String> connections, int firstPort, int lastPort) throws IOException,
            InterruptedException {
        Path directory = Files.createTempDirectory("ser2net-");
        Files.writeString(directory.resolve("ser2net.yaml"), "%YAML 1.1\n---\n" + String.join("", connections));
        Process process = new ProcessBuilder(BINARY.toString(), "-n", "-d", "-u", "-c",
                directory.resolve("ser2net.yaml").toString()).redirectErrorStream(true)
                .redirectOutput(directory.resolve("ser2net.log").toFile()).start();
        Ser2net served = new Ser2net(process, directory, firstPort, lastPort);
        for (int tries = 0; !served.listening(); tries++) {
            if (tries == 1000 || !process.isAlive()) {
                String log = Files.readString(directory.resolve("ser2net.log"));
                served.close();
                throw new IOException("ser2net did not listen on " + lastPort + ": " + log);
            }
            Thread.sleep(10);
        }
        return served;
    }

    /** Whether a socket listens on the port, from /proc: no connection is made to ask. */
    private boolean listening() throws IOException {
        String wanted = String.format(":%04X", lastPort);
        for (String line : Files.readAllLines(Path.of("/proc/net/tcp"))) {
            String[] fields = line.trim().split("\\s+");
            if (fields.length > 3 && fields[1].endsWith(wanted) && fields[3].equals("0A")) {
                return true;
            }
        }
        return false;
    }

    /** The URI the library opens: rfc2217:// or, for TLS, rfc2217s://localhost. */
    public String uri(boolean tls) {
        return (tls ? "rfc2217s://localhost:" : "rfc2217://127.0.0.1:") + port;
    }

    /** The port the first device is served on; each next device is on the next. */
    public int port() {
        return port;
    }

    @Override
    public void close() throws IOException {
        process.destroy();
        try {
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly().waitFor();
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
        try (var files = Files.list(directory)) {
            for (Path file : files.toList()) {
                Files.delete(file);
            }
        }
        Files.delete(directory);
    }

    /** Kills ser2net: its clients' connections end. */
    public void kill() throws InterruptedException {
        process.destroyForcibly().waitFor();
    }

    /** What a test writes to make ser2net's TLS key and certificate, for the name localhost. */
    public static List<String> makeCertificate(Path key, Path certificate) {
        return List.of("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout", key.toString(), "-out",
                certificate.toString());
    }
}
