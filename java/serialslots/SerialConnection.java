package serialslots;

import java.io.Closeable;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.util.EnumSet;
import java.util.Objects;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;
import serialslots.events.Delivery;
import serialslots.framing.FrameReading;
import serialslots.internal.Failures;
import serialslots.local.LocalTransport;
import serialslots.schemes.Schemes;
import serialslots.transport.Transport;

/**
 * An open serial device with blocking streams, timeouts, modem lines and
 * flow control.
 *
 * <p>A port is a slot name of {@link core.SerialPort} ("COM3" is /dev/ttyS3,
 * "COMUSB0" is /dev/ttyUSB0), a device path ("/dev/ttyACM0",
 * "/dev/serial/by-id/..."), or a device name under /dev ("ttyAMA0").
 * {@link #open} is exclusive: a second open of the device, by this program or
 * another that locks it, fails with {@link PortBusyException} until this
 * connection is closed, and programs that take no lock are kept out too
 * (unless they run as root). Exclusivity ends when this connection is closed
 * or its process ends, however it ends. {@link #openShared} takes a shared
 * lock: other shared opens get in, an exclusive one does not.
 *
 * <p>Reads wait in the kernel until a byte arrives, the read timeout passes
 * ({@link SerialTimeoutException}), the device goes away (end of stream: -1,
 * and -1 from then on) or the connection is closed ({@link IOException}).
 * As with {@link java.io.FileInputStream}, {@link Thread#interrupt} does not
 * end a waiting read; {@link #close} does. One thread may read while another
 * writes; readers take turns, a whole call at a time, and so do writers, so
 * the bytes of two writes never mix. {@link #close} from any thread wakes
 * every waiting call at once.
 */
public final class SerialConnection implements Closeable {

    private static final Cleaner RELEASER = Cleaner.create();

    private final Transport port;
    private final String device;
    private final Set<PortOption> options;
    private final InputStream input = new Input();
    private final OutputStream output = new Output();
    private final CountDownLatch closed = new CountDownLatch(1);
    private volatile boolean open = true;
    private volatile boolean endOfStream;
    private volatile int readTimeout;
    private volatile int writeTimeout;

    private SerialConnection(Transport port, Set<PortOption> options) {
        this.port = port;
        this.device = port.name();
        this.options = options;
        // The native state lives until no thread can reach this object, so a
        // call racing close() never meets freed memory.
        RELEASER.register(this, port.releaser());
    }

    /**
     * Opens a port for this connection alone and applies the settings.
     * Another machine's port is named {@code rfc2217://host:port}, or
     * {@code rfc2217s://host:port} over TLS: its server decides who else may
     * open it, and its answers are the read-back. Opening it (connecting,
     * agreeing and applying the settings), and each later call's answers,
     * may take {@code ?timeout=MILLIS} of the URI, else the system property
     * {@code serialslots.rfc2217.timeout}, else 5000 ms; 0 is no limit.
     * A {@link VirtualDevice} of this JVM is named {@code virtual:NAME}, and
     * {@code loop://} is a new loopback at each open.
     *
     * @param port a slot name, a device path, a device name under /dev, a
     *     {@code usb:VVVV:PPPP[:SERIAL]} identity, a remote port's URI, a virtual device's name or
     *     {@code loop://}
     * @param settings the line settings, read back from the driver before this returns
     * @return the open connection
     * @throws java.nio.file.NoSuchFileException when there is no such device
     * @throws java.nio.file.AccessDeniedException when the user may not open it
     * @throws PortBusyException when it is held by another connection or program
     * @throws NotASerialPortException when the path is no serial device
     * @throws SettingNotSupportedException when the driver did not take a setting
     * @throws IOException when the system refuses the open otherwise
     */
    public static SerialConnection open(String port, LineSettings settings) throws IOException {
        return open(port, settings, true, Set.of());
    }

    /**
     * Opens a port for this connection alone, as {@link #open(String, LineSettings)}, with options.
     *
     * @param port as for {@link #open(String, LineSettings)}
     * @param settings the line settings, read back from the driver before this returns
     * @param options what to ask for besides
     * @return the open connection
     * @throws SettingNotSupportedException when the transport cannot do an option (a remote port)
     * @throws IOException as for {@link #open(String, LineSettings)}
     */
    public static SerialConnection open(String port, LineSettings settings, PortOption... options)
            throws IOException {
        return open(port, settings, true, optionsOf(options));
    }

    /**
     * Opens a port that other programs, and other shared opens of this one,
     * may open too. It takes a shared lock ({@code flock}), so it is refused
     * while an exclusive open holds the device, and keeps exclusive opens out
     * while it is open.
     *
     * @param port a slot name, a device path or a device name under /dev
     * @param settings the line settings, read back from the driver before this returns
     * @return the open connection
     * @throws PortBusyException when an exclusive open holds the device
     * @throws IOException as for {@link #open}
     */
    public static SerialConnection openShared(String port, LineSettings settings) throws IOException {
        return open(port, settings, false, Set.of());
    }

    /**
     * Opens a port that others may open too, as {@link #openShared(String, LineSettings)}, with options.
     *
     * @param port a slot name, a device path or a device name under /dev
     * @param settings the line settings, read back from the driver before this returns
     * @param options what to ask for besides; the settings a device holds are one for all its opens
     * @return the open connection
     * @throws IOException as for {@link #open(String, LineSettings, PortOption...)}
     */
    public static SerialConnection openShared(String port, LineSettings settings, PortOption... options)
            throws IOException {
        return open(port, settings, false, optionsOf(options));
    }

    private static Set<PortOption> optionsOf(PortOption... options) {
        Set<PortOption> chosen = EnumSet.noneOf(PortOption.class);
        for (PortOption option : options) {
            chosen.add(Objects.requireNonNull(option, "option"));
        }
        return chosen;
    }

    private static SerialConnection open(String port, LineSettings settings, boolean exclusive,
            Set<PortOption> options) throws IOException {
        return new SerialConnection(Schemes.open(port, settings, exclusive, options), options);
    }

    /** Whether the device is of this machine, as 9-bit words need. */
    boolean isLocal() {
        return port instanceof LocalTransport;
    }

    /** Whether bad bytes come marked, as 9-bit words need. */
    boolean marksErrors() {
        return options.contains(PortOption.MARK_ERRORS);
    }

    /** @return the device path that was opened */
    public String device() {
        return device;
    }

    /** @return the stream of received bytes; closing it closes the connection */
    public InputStream getInputStream() {
        return input;
    }

    /** @return the stream to the device; closing it closes the connection */
    public OutputStream getOutputStream() {
        return output;
    }

    /** @param millis how long a read waits for its first byte; 0 waits without limit */
    public void setReadTimeout(int millis) {
        readTimeout = checkedTimeout(millis);
    }

    /** @return the read timeout in milliseconds, 0 for none */
    public int getReadTimeout() {
        return readTimeout;
    }

    /** @param millis how long a write may wait for room in the output queue, in all; 0 waits without limit */
    public void setWriteTimeout(int millis) {
        writeTimeout = checkedTimeout(millis);
    }

    /** @return the write timeout in milliseconds, 0 for none */
    public int getWriteTimeout() {
        return writeTimeout;
    }

    private static int checkedTimeout(int millis) {
        if (millis < 0) {
            throw Failures.badArgument(Failures.TIMEOUT, millis);
        }
        return millis;
    }

    /**
     * Writes as many bytes as the output queue takes now, and never waits for
     * the line: for programs that must not block a thread, such as an event
     * loop, with {@link #whenWritable} to learn when to go on. It takes its
     * turn among writers, so it waits for a blocking write of another thread.
     *
     * @param buffer the bytes
     * @param offset where they start
     * @param length how many to write at most
     * @return how many bytes were taken, from the first; 0 while the queue is full
     * @throws IOException when the connection is closed or the device has gone
     */
    public int writeNow(byte[] buffer, int offset, int length) throws IOException {
        Objects.checkFromIndexSize(offset, length, buffer.length);
        return ((Output) output).writeNow(buffer, offset, length);
    }

    /**
     * Has {@code executor} run {@code task} once, as soon as the output queue
     * has room for {@link #writeNow}, or the connection is closed or the
     * device has gone (the next write then says which); at once where there
     * is room now. It never waits, and it may run the task early: a
     * {@code writeNow} that takes nothing asks again.
     *
     * @param executor where the task runs; its {@code execute} must not wait
     * @param task what runs
     */
    public void whenWritable(Executor executor, Runnable task) {
        Objects.requireNonNull(executor, "executor");
        Objects.requireNonNull(task, "task");
        try {
            port.whenWritable(executor, task);
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * @return the bytes received and not yet read, 0 once the device has gone
     * @throws IOException when the connection is closed
     */
    public int available() throws IOException {
        return kept(() -> port.available());
    }

    /**
     * Returns once every byte written has left the UART, its last stop bit
     * included, or when the write timeout (if any) has passed. A UART of the
     * kernel's serial core (a 16550, an on-board UART) and a USB adapter
     * such as an FTDI tell when their transmitter is empty; a CDC-ACM board
     * does not, so there it returns once the board has taken every byte,
     * which may still be in its own UART. On a remote port, once
     * the server's TCP has taken every byte: RFC 2217 has no "transmitter
     * empty" answer.
     *
     * @throws SerialTimeoutException when the write timeout passed first
     * @throws IOException when the connection is closed or the device has gone
     */
    public void drain() throws IOException {
        carry(() -> port.drain(writeTimeout));
    }

    /** @throws IOException when the connection is closed */
    public void discardInput() throws IOException {
        carry(() -> port.discard(true));
    }

    /** @throws IOException when the connection is closed */
    public void discardOutput() throws IOException {
        carry(() -> port.discard(false));
    }

    /**
     * Holds the line in the break condition (continuous 0) for {@code millis}.
     *
     * @param millis how long, 1 to 60,000
     * @throws IOException when the connection is closed or the device refuses
     */
    public void sendBreak(int millis) throws IOException {
        if (millis <= 0) {
            throw Failures.badArgument(Failures.BREAK, millis);
        }
        if (millis > Failures.BREAK_MOST_MILLIS) {
            throw Failures.badArgument(Failures.BREAK_TOO_LONG, millis);
        }
        carry(() -> port.setBreak(true));
        boolean cutShort;
        try {
            // A wait a virtual thread leaves its carrier for; close() ends it, and the break.
            cutShort = closed.await(millis, TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            cutShort = false;
        }
        carry(() -> port.setBreak(false));
        if (cutShort) {
            throw Failures.closed(device);
        }
    }

    /**
     * @param on the level of RTS
     * @throws IOException when the device has no modem lines (a pseudo-terminal) or is closed
     */
    public void setRts(boolean on) throws IOException {
        carry(() -> port.setRts(on));
    }

    /**
     * @param on the level of DTR (many boards reset when it drops)
     * @throws IOException when the device has no modem lines (a pseudo-terminal) or is closed
     */
    public void setDtr(boolean on) throws IOException {
        carry(() -> port.setDtr(on));
    }

    /**
     * @return all six modem lines, read in one call; on a remote port, the
     *     inputs as the server last told them and the outputs as last set
     * @throws IOException when the device has no modem lines (a pseudo-terminal) or is closed
     */
    public ModemLines modemLines() throws IOException {
        return kept(() -> port.modemLines());
    }

    /**
     * Turns RS-485 mode on: the driver sets RTS as {@code mode} says while
     * the UART sends and after. The driver's answer is read back.
     *
     * @param mode the mode, such as {@link Rs485#standard()}
     * @throws SettingNotSupportedException where the driver has no RS-485 mode
     *     (a PC's 16550, a pseudo-terminal, any remote port), or did not keep a field (named,
     *     with what it kept: drivers drop flags they cannot do and clamp
     *     delays); the line is left as it was
     * @throws IOException when the connection is closed
     */
    public void setRs485(Rs485 mode) throws IOException {
        carry(() -> port.setRs485(Optional.of(Objects.requireNonNull(mode, "mode"))));
    }

    /**
     * Turns RS-485 mode off; nothing happens where the driver has none.
     *
     * @throws IOException when the connection is closed
     */
    public void disableRs485() throws IOException {
        carry(() -> port.setRs485(Optional.empty()));
    }

    /**
     * @return the RS-485 mode the driver holds, empty when it is off or the driver has none
     * @throws IOException when the connection is closed
     */
    public Optional<Rs485> rs485() throws IOException {
        return kept(() -> port.rs485());
    }

    /**
     * Asks the driver to hand on received bytes at once: an FTDI adapter's
     * latency timer goes from 16 ms to 1 ms ({@code ASYNC_LOW_LATENCY}; no
     * root needed). Read back.
     *
     * @param on low latency on, or back off
     * @throws SettingNotSupportedException where the driver has no such
     *     control (a pseudo-terminal, a CDC-ACM board, any remote port) or did not keep it
     * @throws IOException when the connection is closed
     */
    public void setLowLatency(boolean on) throws IOException {
        carry(() -> port.setLowLatency(on));
    }

    /**
     * @return whether the driver hands on received bytes at once; false where it has no such control
     * @throws IOException when the connection is closed
     */
    public boolean isLowLatency() throws IOException {
        return kept(() -> port.isLowLatency());
    }

    /**
     * Reads as the input stream does (the read timeout, turns with other
     * readers, -1 once the device has gone), and tells each byte's error:
     * {@code errors[i]} is the error of {@code data[i]}. For a connection
     * opened with {@link PortOption#MARK_ERRORS}. A UART marks parity and
     * framing errors and breaks where they arrived; the kernel marks the two
     * errors alike, so which of them a byte had comes from the driver's
     * counts, exact unless both kinds arrive between two reads (an FTDI
     * adapter reports one error for a whole USB packet, and every byte of it
     * comes marked). OVERRUN is told on the first byte read after bytes were
     * lost, unless that byte has an error of its own.
     *
     * @param data where the bytes go
     * @param errors where each byte's error goes, at the same index
     * @param offset the first position in both
     * @param length the most to take
     * @return the bytes taken, at least 1 (0 when length is 0); -1 once the device has gone
     * @throws IllegalStateException when the connection was opened without MARK_ERRORS
     * @throws SerialTimeoutException when no byte came within the read timeout
     * @throws IOException when the connection is closed
     */
    public int readMarked(byte[] data, ByteError[] errors, int offset, int length) throws IOException {
        Objects.checkFromIndexSize(offset, length, data.length);
        Objects.checkFromIndexSize(offset, length, errors.length);
        if (length == 0) {
            return 0;
        }
        return ((Input) input).takeMarked(data, errors, offset, length);
    }

    /**
     * Reads a frame that ends in silence, as Modbus RTU's do: waits up to the
     * read timeout for the first byte (then {@link SerialTimeoutException}, as
     * a read), then takes bytes until the line has been silent for
     * {@code idleMicros} (timed in microseconds) or the buffer is full.
     * A USB adapter holds received bytes for its latency time (16 ms for an
     * FTDI unless {@link #setLowLatency low latency} is on), which makes gaps
     * of its own: set low latency for gaps of a few milliseconds.
     *
     * @param buffer where the bytes go
     * @param offset the first position
     * @param length the most to take
     * @param idleMicros the silence that ends the frame, such as
     *     {@code 3.5 * settings.characterMicros()} for Modbus RTU
     * @return the bytes taken, at least 1; -1 once the device has gone
     * @throws SerialTimeoutException when no first byte came within the read timeout
     * @throws IOException when the connection is closed
     */
    public int readUntilIdle(byte[] buffer, int offset, int length, int idleMicros) throws IOException {
        Objects.checkFromIndexSize(offset, length, buffer.length);
        if (idleMicros <= 0) {
            throw Failures.badArgument(Failures.IDLE, idleMicros);
        }
        return ((Input) input).readFrame(buffer, offset, length, idleMicros);
    }

    /**
     * The driver's counts of bytes, line errors and modem-line changes since
     * the device was opened by anyone; a 16550 or a USB adapter keeps them.
     * On a remote port, counted here from what the server told since this
     * connection opened.
     *
     * @return the counts
     * @throws IOException when the driver keeps none (a pseudo-terminal), or the connection is closed
     */
    public LineCounters counters() throws IOException {
        return kept(() -> port.counters());
    }

    /**
     * Tells {@code listener} of the events of {@code types}, on threads of a
     * pool the library keeps (one at a time for this subscription, in order).
     *
     * @param types what to be told of
     * @param listener whom to tell
     * @return the subscription, to close when done
     * @throws IOException when the connection is closed
     * @see #listen(Set, Executor, SerialListener)
     */
    public Subscription listen(Set<SerialEventType> types, SerialListener listener) throws IOException {
        return listen(types, Delivery.pool(), listener);
    }

    /**
     * Tells {@code listener} of the events of {@code types}, as tasks run by
     * {@code executor}: one at a time for this subscription, in order, so a
     * listener that takes long delays only its own subscription.
     *
     * <ul>
     * <li>DATA when bytes arrive, and at once for bytes already waiting; bytes
     * that arrive while the listener runs fold into one more DATA after it
     * returns, and bytes it leaves unread bring DATA again only when more
     * arrive. The listener reads with this connection's streams.
     * <li>CTS, DSR, DCD and RI when the line changes, BREAK, FRAMING_ERROR,
     * PARITY_ERROR and OVERRUN when the driver counts one: changes faster
     * than delivery fold into one event, whose counters say how many there
     * were. A pseudo-terminal has neither: they never come there.
     * <li>HANG_UP once, when the device goes away: the last event. Closing the
     * connection ends every subscription without one.
     * </ul>
     * Nothing polls: an idle port costs no CPU. Modem-line events keep one
     * thread waiting in the kernel per connection while a subscription wants them.
     *
     * @param types what to be told of
     * @param executor what runs the listener
     * @param listener whom to tell; what it throws goes to its thread's uncaught-exception handler
     * @return the subscription, to close when done
     * @throws IOException when the connection is closed
     */
    public Subscription listen(Set<SerialEventType> types, Executor executor, SerialListener listener)
            throws IOException {
        Objects.requireNonNull(types, "types");
        Objects.requireNonNull(executor, "executor");
        Objects.requireNonNull(listener, "listener");
        if (!open) {
            throw Failures.closed(device);
        }
        // The listener is told of this connection; the transport knows only events.
        return kept(() -> port.listen(types, executor, event -> listener.serialEvent(this, event)));
    }

    /**
     * Reads frames, one a call, as {@code framing} cuts the received bytes;
     * the read timeout applies to each call. The reader takes turns with
     * other readers of this connection, as two readers do.
     *
     * @param framing how frames are cut
     * @return the reader; closing it leaves the connection open
     * @throws IOException when the connection is closed
     */
    public FrameReader frames(Framing framing) throws IOException {
        if (!open) {
            throw Failures.closed(device);
        }
        return new FrameReading(frameSource(), framing.decoder(), framing.idleMicros(), framing.maxFrameLength());
    }

    /**
     * Tells {@code listener} of each frame, as {@code framing} cuts the
     * received bytes, on the library's pool, in order; what makes no frame
     * (too long, badly encoded, noise, unfinished at a hang-up) is told to
     * its {@code dropped}. The listener should not read this connection's
     * stream meanwhile.
     *
     * @param framing how frames are cut
     * @param listener whom to tell
     * @return the subscription, to close when done
     * @throws IOException when the connection is closed
     */
    public Subscription listenFrames(Framing framing, FrameListener listener) throws IOException {
        Objects.requireNonNull(listener, "listener");
        FrameReading reading = new FrameReading(frameSource(), framing.decoder(), framing.idleMicros(),
                framing.maxFrameLength());
        return listen(EnumSet.of(SerialEventType.DATA, SerialEventType.HANG_UP), (connection, event) -> {
            try {
                reading.deliver(event.type() == SerialEventType.HANG_UP, frame -> listener.frame(this, frame),
                        (length, why) -> listener.dropped(this, length, Failures.frameDropped(why.name(),
                                framing.maxFrameLength())));
            } catch (IOException closedMeanwhile) {
                // the connection was closed: its subscriptions end with it
            }
        });
    }

    private FrameReading.Source frameSource() {
        Input reader = (Input) input;
        return new FrameReading.Source() {
            @Override
            public int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros)
                    throws IOException {
                return reader.take(buffer, offset, length, timeoutMillis, idleMicros);
            }

            @Override
            public int available() throws IOException {
                return SerialConnection.this.available();
            }

            @Override
            public int readTimeout() {
                return readTimeout;
            }

            @Override
            public String name() {
                return device;
            }
        };
    }

    /**
     * @return the settings as the driver holds them now
     * @throws IOException when the connection is closed
     */
    public LineSettings settings() throws IOException {
        return kept(() -> port.settings());
    }

    /**
     * Applies new settings to the open device and reads them back.
     *
     * @param settings the new settings
     * @throws SettingNotSupportedException when the driver did not take one; the line is left as it was
     * @throws IOException when the connection is closed or the device refuses
     */
    public void reconfigure(LineSettings settings) throws IOException {
        carry(() -> port.reconfigure(Objects.requireNonNull(settings, "settings")));
    }

    /** @return false once {@link #close} has been called; a device that went away still counts as open */
    public boolean isOpen() {
        return open;
    }

    /**
     * Closes the connection: waiting calls end at once with an
     * {@link IOException}, and the device is released. Bytes still queued for
     * output may leave while the line keeps sending them, for up to the write
     * timeout if one is set; what a stopped line (flow control, a receiver
     * that stopped reading) holds is discarded, so close returns promptly
     * whatever the line does. {@link #drain} first sends everything. Any
     * thread, any time, once or many times.
     *
     * @throws IOException never, in this version; declared for {@link Closeable}
     */
    @Override
    public void close() throws IOException {
        open = false;
        closed.countDown();
        port.close(writeTimeout);
        Reference.reachabilityFence(this);
    }

    /** A call of the transport, with this connection reachable until it returns: its memory is freed after. */
    private <T> T kept(Call<T> call) throws IOException {
        try {
            return call.run();
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    private void carry(Step step) throws IOException {
        try {
            step.run();
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    private interface Step {
        void run() throws IOException;
    }

    private interface Call<T> {
        T run() throws IOException;
    }

    private interface CountedRead {
        int run() throws IOException;
    }

    @Override
    public String toString() {
        return "SerialConnection[" + device + (open ? "" : ", closed") + "]";
    }

    private final class Input extends InputStream {

        private final ReentrantLock turns = new ReentrantLock();

        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return read(one, 0, 1) < 0 ? -1 : one[0] & 0xFF;
        }

        @Override
        public int read(byte[] buffer, int offset, int length) throws IOException {
            Objects.checkFromIndexSize(offset, length, buffer.length);
            if (length == 0) {
                return 0;
            }
            return take(buffer, offset, length, readTimeout, 0);
        }

        int readFrame(byte[] buffer, int offset, int length, int idleMicros) throws IOException {
            return length == 0 ? 0 : take(buffer, offset, length, readTimeout, idleMicros);
        }

        /** A read, or with idleMicros a frame that ends in silence. */
        int take(byte[] buffer, int offset, int length, int timeout, int idleMicros) throws IOException {
            return inTurn(() -> port.read(buffer, offset, length, timeout, idleMicros));
        }

        int takeMarked(byte[] buffer, ByteError[] errors, int offset, int length) throws IOException {
            int timeout = readTimeout;
            return inTurn(() -> port.readMarked(buffer, errors, offset, length, timeout));
        }

        private int inTurn(CountedRead read) throws IOException {
            if (endOfStream && open) {
                return -1;
            }
            int got;
            turns.lock();
            try {
                got = read.run();
            } finally {
                turns.unlock();
                Reference.reachabilityFence(SerialConnection.this);
            }
            if (got < 0) {
                endOfStream = true;
            }
            return got;
        }

        @Override
        public int available() throws IOException {
            return SerialConnection.this.available();
        }

        @Override
        public void close() throws IOException {
            SerialConnection.this.close();
        }
    }

    private final class Output extends OutputStream {

        private final ReentrantLock turns = new ReentrantLock();

        @Override
        public void write(int b) throws IOException {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] buffer, int offset, int length) throws IOException {
            Objects.checkFromIndexSize(offset, length, buffer.length);
            int timeout = writeTimeout;
            turns.lock();
            try {
                port.write(buffer, offset, length, timeout);
            } finally {
                turns.unlock();
                Reference.reachabilityFence(SerialConnection.this);
            }
        }

        int writeNow(byte[] buffer, int offset, int length) throws IOException {
            turns.lock();
            try {
                return port.writeNow(buffer, offset, length);
            } finally {
                turns.unlock();
                Reference.reachabilityFence(SerialConnection.this);
            }
        }

        @Override
        public void close() throws IOException {
            SerialConnection.this.close();
        }
    }
}
