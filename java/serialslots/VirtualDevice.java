package serialslots;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.Objects;
import java.util.function.Function;
import serialslots.virtual.VirtualLine;

/**
 * A serial device that a program plays, for testing serial code with no
 * hardware, no root and no native library. {@link SerialConnection#open}
 * opens it by {@link #name()} ("virtual:NAME") like any port; this object is
 * the device's end of the cable: what the connection sent, what it is sent,
 * its modem inputs, its settings as the connection applied them, breaks and
 * line errors on demand, and the cable pulled and plugged back.
 *
 * <pre>{@code
 * try (VirtualDevice meter = VirtualDevice.create("meter")) {
 *     meter.respond(request -> "MEAS?\r\n".equals(new String(request)) ? "21.5\r\n".getBytes() : null);
 *     try (SerialConnection port = SerialConnection.open(meter.name(), LineSettings.of(9600))) {
 *         ...
 *     }
 * }
 * }</pre>
 *
 * <p>It behaves as a device does in everything the connection promises:
 * timeouts, close from any thread, exclusive and shared opens (a second
 * exclusive open is a {@link PortBusyException}), events with the lines and
 * counts after them, virtual threads, {@code readUntilIdle}. While it exists
 * and is plugged in, {@link SerialPorts#list()} lists it (driver "virtual")
 * and {@link SerialPorts#watch} tells of it. It takes every setting, RS-485
 * mode and low latency, and reads them back. Bytes pass at once unless
 * {@link #pace paced}; what the connection writes waits while the device has
 * 64 KiB unread, and what the device writes waits while the connection has
 * 64 KiB unread. Bytes the device writes while no connection holds it are
 * lost, as on a wire.
 */
public final class VirtualDevice implements AutoCloseable {

    private final VirtualLine device;
    private final InputStream input = new InputStream() {
        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return read(one, 0, 1) < 0 ? -1 : one[0] & 0xFF;
        }

        @Override
        public int read(byte[] buffer, int offset, int length) {
            Objects.checkFromIndexSize(offset, length, buffer.length);
            return length == 0 ? 0 : device.deviceRead(buffer, offset, length);
        }

        @Override
        public int available() {
            return device.deviceAvailable();
        }
    };
    private final OutputStream output = new OutputStream() {
        @Override
        public void write(int b) throws IOException {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] buffer, int offset, int length) throws IOException {
            Objects.checkFromIndexSize(offset, length, buffer.length);
            device.deviceWrite(buffer, offset, length);
        }
    };

    private VirtualDevice(VirtualLine device) {
        this.device = device;
    }

    /**
     * @param name letters, digits, '.', '_' and '-'
     * @return a new device, plugged in, that {@code "virtual:" + name} opens
     * @throws java.nio.file.FileAlreadyExistsException when a device of this JVM has the name
     * @throws IllegalArgumentException for a name with other characters
     * @throws IOException never otherwise; declared for what a device may need later
     */
    public static VirtualDevice create(String name) throws IOException {
        return new VirtualDevice(VirtualLine.create(name));
    }

    /** @return "virtual:" and the name: what {@link SerialConnection#open} takes */
    public String name() {
        return device.name();
    }

    /** @return the bytes the connection sent, in order; a read waits for them, and -1 comes once closed */
    public InputStream input() {
        return input;
    }

    /** @return where bytes for the connection to receive go; a write waits while the connection reads none */
    public OutputStream output() {
        return output;
    }

    /**
     * Answers each {@code write} of the connection, as an instrument answers
     * a request: the reply goes out as the device's output (null or empty:
     * none), and {@link #input()} does not see those requests. It runs on a
     * thread of the device's own, one request at a time; what it throws is
     * reported once on standard error and the device goes on.
     *
     * @param responder the answers, or null to stop answering
     */
    public void respond(Function<byte[], byte[]> responder) {
        device.respond(responder);
    }

    /** @param on the level of CTS the connection sees */
    public void setCts(boolean on) {
        device.setInputs(on, null, null, null);
    }

    /** @param on the level of DSR the connection sees */
    public void setDsr(boolean on) {
        device.setInputs(null, on, null, null);
    }

    /** @param on the level of DCD the connection sees */
    public void setDcd(boolean on) {
        device.setInputs(null, null, on, null);
    }

    /** @param on the level of RI the connection sees; a ring counts when it falls */
    public void setRi(boolean on) {
        device.setInputs(null, null, null, on);
    }

    /** @return RTS as the connection set it (an open raises it) */
    public boolean rts() {
        return device.rts();
    }

    /** @return DTR as the connection set it (an open raises it) */
    public boolean dtr() {
        return device.dtr();
    }

    /** @return the settings the connection last applied, or null before the first open */
    public LineSettings settings() {
        return device.settings();
    }

    /** @return how many breaks the connection started */
    public int breaksReceived() {
        return device.breaksReceived();
    }

    /** The connection receives a break: a BREAK event, and the count. */
    public void injectBreak() {
        device.inject(VirtualLine.Injected.BREAK);
    }

    /** The connection receives a byte with a framing error: a FRAMING_ERROR event, and the count. */
    public void injectFramingError() {
        device.inject(VirtualLine.Injected.FRAMING_ERROR);
    }

    /** The connection receives a byte with a parity error: a PARITY_ERROR event, and the count. */
    public void injectParityError() {
        device.inject(VirtualLine.Injected.PARITY_ERROR);
    }

    /** The connection's receiver overran: an OVERRUN event, and the count. */
    public void injectOverrun() {
        device.inject(VirtualLine.Injected.OVERRUN);
    }

    /**
     * The connection receives {@code value} with {@code error}, as from a
     * UART: counted and told as the inject methods do, and in the stream
     * where it arrived, a break as 0. A connection opened with
     * {@link PortOption#MARK_ERRORS} reads it with its error
     * ({@link SerialConnection#readMarked}); OVERRUN means bytes were lost
     * before this one. Waits while the connection has no room for it.
     *
     * @param error what was wrong with it
     * @param value the byte received
     * @throws IOException when the device has been closed
     */
    public void injectReceived(ByteError error, int value) throws IOException {
        device.injectReceived(Objects.requireNonNull(error, "error"), value);
    }

    /**
     * @param atLineSpeed true: bytes pass at the speed of the settings the
     *     connection applied, both ways, a character time each (start bit,
     *     data bits, parity and stop bits), so timeouts, {@code readUntilIdle}
     *     and {@code drain} behave as on a real line; false: at once
     */
    public void pace(boolean atLineSpeed) {
        device.pace(atLineSpeed);
    }

    /**
     * Pulls the cable: an open connection hangs up (HANG_UP, the end of its
     * input stream, {@link PortDisconnectedException} from other calls), the
     * name opens no more, and the port list and watch see it go.
     */
    public void unplug() {
        device.unplug(false);
    }

    /** Plugs the cable back: the name opens again, and the port list and watch see it come. */
    public void plugBack() {
        device.plugBack();
    }

    /** @return whether a connection holds the device now */
    public boolean isOpen() {
        return device.isOpen();
    }

    /** Ends the device: an open connection hangs up, and the name is free again. */
    @Override
    public void close() {
        device.unplug(true);
    }

    @Override
    public String toString() {
        return "VirtualDevice[" + name() + "]";
    }
}
