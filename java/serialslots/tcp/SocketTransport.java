package serialslots.tcp;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.net.URI;
import java.util.Optional;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.Rs485;
import serialslots.internal.Deadline;
import serialslots.internal.Failures;

/**
 * A serial device behind a raw TCP server (a device server in "TCP server"
 * mode, ser2net's plain accepter, a Wi-Fi bridge): the bytes as they are,
 * both ways, over TCP, or over TLS for {@code sockets://}. The line's
 * settings are the server's: the ones given at open are kept here and read
 * back, but never sent. Modem lines, break, counters, RS-485 and low latency
 * do not cross a raw link and are refused by name.
 */
public final class SocketTransport extends TcpTransport {

    /** How long connecting may take, in ms (0: no limit): a system property. */
    public static final String TIMEOUT_PROPERTY = "serialslots.socket.timeout";
    private static final String FORM = "socket://host:port or sockets://host:port";
    private static final String RAW = "a raw TCP link";

    private LineSettings settings;  // guarded by lock

    private SocketTransport(String name, Connection connection, int timeoutMillis, LineSettings settings)
            throws IOException {
        super(name, connection, timeoutMillis);
        this.settings = settings;
    }

    public static SocketTransport open(String name, LineSettings settings) throws IOException {
        URI uri = parse(name, FORM);
        int timeout = timeout(uri, TIMEOUT_PROPERTY, FORM);
        try {
            SocketTransport port = new SocketTransport(name, connect(uri, uri.getScheme().equals("sockets"),
                    Deadline.afterMillis(timeout)), timeout, settings);
            port.start("socket");
            return port;
        } catch (IOException | RuntimeException e) {
            throw Failures.remote(name, timeout, e);
        }
    }

    @Override
    protected void decode(byte[] bytes, int offset, int length) {
        deliver(bytes, offset, length);
    }

    @Override
    protected void encode(byte[] bytes, int offset, int length, ByteArrayOutputStream into) {
        into.write(bytes, offset, length);
    }

    @Override
    protected ModemLines linesNow() {
        return null;
    }

    @Override
    protected LineCounters countersNow() {
        return null;
    }

    private <T> T refused(String control) throws IOException {
        whileOpen(() -> null);
        throw Failures.notCarried(name, control, RAW);
    }

    /** Only what was received and not yet read: a raw link cannot reach into the server's buffers. */
    @Override
    public void discard(boolean input) throws IOException {
        if (input) {
            discardReceived();
        }
    }

    @Override
    public void setBreak(boolean on) throws IOException {
        refused("break");
    }

    @Override
    public void setRts(boolean on) throws IOException {
        refused("modem lines");
    }

    @Override
    public void setDtr(boolean on) throws IOException {
        refused("modem lines");
    }

    @Override
    public ModemLines modemLines() throws IOException {
        return refused("modem lines");
    }

    @Override
    public LineSettings settings() throws IOException {
        return whileOpen(() -> settings);
    }

    /** Kept and read back, not sent: the server sets its line. */
    @Override
    public void reconfigure(LineSettings wanted) throws IOException {
        whileOpen(() -> settings = wanted);
    }

    @Override
    public LineCounters counters() throws IOException {
        return refused("line counters");
    }

    @Override
    public void setRs485(Optional<Rs485> mode) throws IOException {
        if (mode.isPresent()) {
            refused("RS-485");
        }
    }

    @Override
    public Optional<Rs485> rs485() {
        return Optional.empty();
    }

    @Override
    public void setLowLatency(boolean on) throws IOException {
        refused("low latency");
    }

    @Override
    public boolean isLowLatency() {
        return false;
    }
}
