package serialslots;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.net.URI;
import java.net.URISyntaxException;
import java.util.EnumSet;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.ReentrantLock;
import javax.net.ssl.SSLParameters;
import javax.net.ssl.SSLSocket;
import javax.net.ssl.SSLSocketFactory;

/**
 * A serial port of another machine, over RFC 2217 (the telnet COM-PORT-OPTION)
 * on TCP, or over TLS for {@code rfc2217s://}. Settings, modem lines, break
 * and purges are the protocol's commands, each answered by the server; its
 * answers are the read-back. Bytes cross in binary mode with every 0xFF
 * doubled. A thread reads what the server sends and one writes what the
 * program queued, so that a write keeps its timeout while TCP waits.
 */
final class RemotePort implements Port {

    private static final int BINARY = 0;
    private static final int SUPPRESS_GO_AHEAD = 3;
    private static final int COM_PORT = 44;
    private static final int SET_BAUDRATE = 1;
    private static final int SET_DATASIZE = 2;
    private static final int SET_PARITY = 3;
    private static final int SET_STOPSIZE = 4;
    private static final int SET_CONTROL = 5;
    private static final int NOTIFY_LINESTATE = 6;
    private static final int NOTIFY_MODEMSTATE = 7;
    private static final int SET_LINESTATE_MASK = 10;
    private static final int SET_MODEMSTATE_MASK = 11;
    private static final int PURGE_DATA = 12;
    private static final int SERVER = 100;  // a server's answer: the command plus 100
    /** SET-CONTROL values. */
    private static final int FLOW_NONE = 1;
    private static final int FLOW_XON_XOFF = 2;
    private static final int FLOW_HARDWARE = 3;
    private static final int BREAK_ON = 5;
    private static final int BREAK_OFF = 6;
    private static final int DTR_ON = 8;
    private static final int DTR_OFF = 9;
    private static final int RTS_ON = 11;
    private static final int RTS_OFF = 12;
    /** NOTIFY-MODEMSTATE bits. */
    private static final int CTS = 0x10;
    private static final int DSR = 0x20;
    private static final int RI = 0x40;
    private static final int DCD = 0x80;
    /** NOTIFY-LINESTATE bits. */
    private static final int OVERRUN = 0x02;
    private static final int PARITY_ERROR = 0x04;
    private static final int FRAMING_ERROR = 0x08;
    private static final int BREAK = 0x10;

    /** How long connecting, and each answer of the server, may take: the system property, in ms. */
    static final String CONNECT_TIMEOUT = "serialslots.rfc2217.timeout";
    private static final int RECEIVED_MOST = 1 << 20;
    private static final int QUEUED_MOST = 1 << 16;

    private final String name;
    private final Socket socket;
    private final InputStream fromServer;
    private final OutputStream toServer;
    private final int answerMillis;
    private final ReentrantLock lock = new ReentrantLock();
    private final Condition changed = lock.newCondition();
    // All guarded by lock.
    private final byte[] received = new byte[RECEIVED_MOST];
    private int receivedStart;
    private int receivedCount;
    private final ByteArrayOutputStream queued = new ByteArrayOutputStream();
    private boolean writing;
    private final int[] answers = new int[SERVER + 16];  // the last answer to each command, -1 none
    private final byte[][] answerValues = new byte[SERVER + 16][];
    private boolean hungUp;
    private boolean closed;
    private boolean comPortAgreed;
    private boolean comPortRefused;
    private String protocolBreach;
    private int modemState;
    private boolean rts = true;
    private boolean dtr = true;
    private final long[] counts = new long[NativeConnection.COUNTER_LENGTH];
    private LineSettings settings;
    // The writing side of the socket: data and commands, one frame at a time.
    private final ReentrantLock sending = new ReentrantLock();
    private final List<Listening> subscriptions = new CopyOnWriteArrayList<>();
    private final Telnet telnet = new Telnet(new FromServer());

    private RemotePort(String name, Socket socket, int answerMillis) throws IOException {
        this.name = name;
        this.socket = socket;
        this.fromServer = socket.getInputStream();
        this.toServer = socket.getOutputStream();
        this.answerMillis = answerMillis;
        java.util.Arrays.fill(answers, -1);
    }

    /** Whether a port name is a remote port's URI. */
    static boolean names(String port) {
        return port != null && (port.startsWith("rfc2217://") || port.startsWith("rfc2217s://"));
    }

    /** Connects, agrees on the protocol and applies the settings, read back from the server's answers. */
    static RemotePort open(String name, LineSettings settings) throws IOException {
        URI uri;
        try {
            uri = new URI(name);
        } catch (URISyntaxException e) {
            throw Failures.badRemoteName(name);
        }
        if (uri.getHost() == null || uri.getPort() <= 0) {
            throw Failures.badRemoteName(name);
        }
        int timeout = Integer.getInteger(CONNECT_TIMEOUT, 5000);
        Socket socket = new Socket();
        RemotePort port = null;
        try {
            socket.connect(new InetSocketAddress(uri.getHost(), uri.getPort()), timeout);
            socket.setTcpNoDelay(true);
            if (uri.getScheme().equals("rfc2217s")) {
                socket = secure(socket, uri.getHost(), uri.getPort(), timeout);
            }
            port = new RemotePort(name, socket, timeout);
            port.start();
            port.agree();
            // The deltas too: a server tells of a change only where its delta bit is in the mask.
            port.send(Telnet.subnegotiation(COM_PORT, (byte) SET_MODEMSTATE_MASK, (byte) 0xFF));
            port.send(Telnet.subnegotiation(COM_PORT, (byte) SET_LINESTATE_MASK,
                    (byte) (OVERRUN | PARITY_ERROR | FRAMING_ERROR | BREAK)));
            int[] report = new int[NativeConnection.REPORT_LENGTH];
            port.check(port.reconfigure(settings, report));
            if (report[NativeConnection.REPORT_REFUSED] != NativeConnection.SETTING_NONE) {
                throw Failures.refused(name, report, settings);
            }
            return port;
        } catch (IOException | RuntimeException e) {
            if (port != null) {
                if (e instanceof java.net.SocketException) {
                    port.awaitHangUp();  // the server closed first: what it said is still on its way in
                }
                IOException dropped = port.droppedWhileOpening();
                port.close(0);
                throw dropped != null ? dropped : Failures.remote(name, timeout, e);
            }
            socket.close();
            throw Failures.remote(name, timeout, e);
        }
    }

    /** TLS over the connected socket: the JVM's trust store, and the server's name checked. */
    private static Socket secure(Socket plain, String host, int port, int timeout) throws IOException {
        SSLSocket tls = (SSLSocket) ((SSLSocketFactory) SSLSocketFactory.getDefault()).createSocket(plain, host, port,
                true);
        SSLParameters parameters = tls.getSSLParameters();
        parameters.setEndpointIdentificationAlgorithm("HTTPS");
        tls.setSSLParameters(parameters);
        tls.setSoTimeout(timeout);
        tls.startHandshake();
        tls.setSoTimeout(0);
        return tls;
    }

    private void start() {
        Threads.start("serialslots-rfc2217-in " + name, this::readFromServer);
        Threads.start("serialslots-rfc2217-out " + name, this::writeToServer);
    }

    /** Asks for binary both ways and the COM port option; only the latter is a must. */
    private void agree() throws IOException {
        send(new byte[] {(byte) Telnet.IAC, (byte) Telnet.WILL, COM_PORT, (byte) Telnet.IAC, (byte) Telnet.WILL, BINARY,
            (byte) Telnet.IAC, (byte) Telnet.DO, BINARY});
        lock.lock();
        try {
            long until = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(answerMillis);
            while (!comPortAgreed && !comPortRefused && !hungUp && !closed) {
                if (!waitUntil(until)) {
                    throw Failures.notRfc2217(name, "it did not answer the COM port option within "
                            + answerMillis + " ms");
                }
            }
            if (hungUp) {
                throw droppedWhileOpening();
            }
            if (comPortRefused) {
                throw Failures.notRfc2217(name, "it refused the COM port option");
            }
        } finally {
            lock.unlock();
        }
    }

    private void awaitHangUp() {
        lock.lock();
        try {
            long until = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(answerMillis);
            while (!hungUp && waitUntil(until)) {
                // the reader is taking in the rest
            }
        } finally {
            lock.unlock();
        }
    }

    /**
     * Why the server ended the connection while it was being opened, with the
     * words it said if it said any: busy, unless its words name another
     * reason; null while it is up.
     */
    private IOException droppedWhileOpening() {
        lock.lock();
        try {
            if (!hungUp) {
                return null;
            }
            if (protocolBreach != null) {
                return new IOException(name + ": " + protocolBreach);
            }
            StringBuilder said = new StringBuilder();
            for (int i = 0; i < Math.min(receivedCount, 200); i++) {
                char c = (char) (received[(receivedStart + i) % received.length] & 0xFF);
                said.append(c >= ' ' && c < 0x7F ? c : ' ');
            }
            String words = said.toString().trim().replaceAll(" +", " ");
            if (words.isEmpty() || words.matches("(?i).*(in use|busy).*")) {
                return new PortBusyException(name + ": the server dropped the connection"
                        + (words.isEmpty() ? "" : ", saying \"" + words + "\"")
                        + " (the port is in use, or the server took no more clients)");
            }
            return new IOException(name + ": the server dropped the connection, saying \"" + words + "\"");
        } finally {
            lock.unlock();
        }
    }

    /** Waits on `changed` until the deadline; false once it has passed. */
    private boolean waitUntil(long deadline) {
        long left = deadline - System.nanoTime();
        if (left <= 0) {
            return false;
        }
        try {
            changed.awaitNanos(left);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        return true;
    }

    private void check(long result) throws IOException {
        IOException failure = Failures.of(name, "configuring", NativeConnection.code(result), answerMillis, 0, 0);
        if (failure != null) {
            throw failure;
        }
    }

    private void send(byte[] frame) throws IOException {
        sending.lock();
        try {
            toServer.write(frame);
            toServer.flush();
        } finally {
            sending.unlock();
        }
    }

    /**
     * Sends a COM port command once the data queued before it has gone, and
     * waits for the server's answer: its value, or null when the connection
     * ended, was closed or no answer came in time (then `failure` says which).
     */
    private byte[] command(int command, byte... value) {
        lock.lock();
        try {
            long until = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(answerMillis);
            // What was written before this command goes out before it.
            while ((queued.size() > 0 || writing) && !hungUp && !closed && waitUntil(until)) {
                // waiting for the writer
            }
            answers[command + SERVER] = -1;
        } finally {
            lock.unlock();
        }
        byte[] frame = new byte[value.length + 1];
        frame[0] = (byte) command;
        System.arraycopy(value, 0, frame, 1, value.length);
        try {
            send(Telnet.subnegotiation(COM_PORT, frame));
        } catch (IOException e) {
            hangUp();
            return null;
        }
        lock.lock();
        try {
            long until = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(answerMillis);
            while (answers[command + SERVER] < 0 && !hungUp && !closed && waitUntil(until)) {
                // waiting for the answer
            }
            return answers[command + SERVER] < 0 ? null : answerValues[command + SERVER];
        } finally {
            lock.unlock();
        }
    }

    /** How a command without an answer ended. */
    private long unanswered() {
        lock.lock();
        try {
            return NativeConnection.result(closed ? NativeConnection.CLOSED : hungUp ? NativeConnection.HUNG_UP
                    : NativeConnection.TIMED_OUT, 0);
        } finally {
            lock.unlock();
        }
    }

    private void readFromServer() {
        byte[] buffer = new byte[8192];
        try {
            for (int got; (got = fromServer.read(buffer)) > 0;) {
                try {
                    telnet.feed(buffer, 0, got);
                } catch (java.net.ProtocolException breach) {
                    lock.lock();
                    try {
                        protocolBreach = breach.getMessage();
                    } finally {
                        lock.unlock();
                    }
                    break;
                }
            }
        } catch (IOException ended) {
            // the server went away: the connection ends as when it closes
        }
        hangUp();
    }

    private void hangUp() {
        lock.lock();
        try {
            if (hungUp) {
                return;
            }
            hungUp = true;
            changed.signalAll();
        } finally {
            lock.unlock();
        }
        for (Listening subscription : subscriptions) {
            subscription.activity(ConnectionEvents.HANG_UP);
        }
    }

    private void writeToServer() {
        ByteArrayOutputStream frame = new ByteArrayOutputStream();
        for (;;) {
            lock.lock();
            try {
                writing = false;
                changed.signalAll();
                while (queued.size() == 0 && !closed && !hungUp) {
                    changed.awaitUninterruptibly();
                }
                if (queued.size() == 0) {
                    return;
                }
                byte[] data = queued.toByteArray();
                queued.reset();
                writing = true;
                changed.signalAll();
                frame.reset();
                Telnet.escape(data, 0, data.length, frame);
                counts[NativeConnection.COUNTER_TRANSMITTED] += data.length;
            } finally {
                lock.unlock();
            }
            try {
                sending.lock();
                try {
                    frame.writeTo(toServer);
                } finally {
                    sending.unlock();
                }
            } catch (IOException gone) {
                hangUp();
                return;
            }
        }
    }

    /** What the server sends: data for the program, negotiation and the COM port option's answers. */
    private final class FromServer implements Telnet.Handler {

        @Override
        public void data(byte[] bytes, int offset, int length) {
            lock.lock();
            try {
                for (int taken = 0; taken < length;) {
                    while (receivedCount == received.length && !closed) {
                        // The program reads nothing: TCP waits with the server.
                        changed.awaitUninterruptibly();
                    }
                    if (closed) {
                        return;
                    }
                    int at = (receivedStart + receivedCount) % received.length;
                    int run = Math.min(length - taken, Math.min(received.length - receivedCount, received.length - at));
                    System.arraycopy(bytes, offset + taken, received, at, run);
                    receivedCount += run;
                    taken += run;
                    counts[NativeConnection.COUNTER_RECEIVED] += run;
                    changed.signalAll();
                }
            } finally {
                lock.unlock();
            }
            for (Listening subscription : subscriptions) {
                subscription.activity(ConnectionEvents.INPUT);
            }
        }

        @Override
        public void negotiation(int verb, int option) throws IOException {
            // Only what was asked for is agreed to; a refusal is answered once, so no loop can start.
            if (option == COM_PORT && (verb == Telnet.DO || verb == Telnet.WILL)) {
                lock.lock();
                try {
                    comPortAgreed = true;
                    changed.signalAll();
                } finally {
                    lock.unlock();
                }
            } else if (option == COM_PORT) {
                lock.lock();
                try {
                    comPortRefused = true;
                    changed.signalAll();
                } finally {
                    lock.unlock();
                }
            } else if (verb == Telnet.DO && option != BINARY) {
                send(new byte[] {(byte) Telnet.IAC, (byte) Telnet.WONT, (byte) option});
            } else if (verb == Telnet.WILL && option != BINARY && option != SUPPRESS_GO_AHEAD) {
                send(new byte[] {(byte) Telnet.IAC, (byte) Telnet.DONT, (byte) option});
            }
        }

        @Override
        public void subnegotiation(int option, byte[] payload, int length) {
            if (option != COM_PORT || length < 1) {
                return;
            }
            int command = payload[0] & 0xFF;
            byte[] value = java.util.Arrays.copyOfRange(payload, 1, length);
            int work = 0;
            lock.lock();
            try {
                if (command == NOTIFY_MODEMSTATE + SERVER && value.length >= 1) {
                    work = ConnectionEvents.MODEM;
                    modemChanged(value[0] & 0xFF);
                } else if (command == NOTIFY_LINESTATE + SERVER && value.length >= 1) {
                    work = ConnectionEvents.MODEM;
                    lineStateChanged(value[0] & 0xFF);
                } else if (command >= SERVER && command < answers.length) {
                    answers[command] = command;
                    answerValues[command] = value;
                    changed.signalAll();
                }
            } finally {
                lock.unlock();
            }
            if (work != 0) {
                for (Listening subscription : subscriptions) {
                    subscription.activity(work);
                }
            }
        }
    }

    /** With lock held: a modem state the server told, counted as a driver counts its lines' changes. */
    private void modemChanged(int state) {
        int was = modemState;
        modemState = state;
        int[][] lines = {{CTS, 0x01, NativeConnection.COUNTER_CTS_CHANGES}, {DSR, 0x02, NativeConnection.COUNTER_DSR_CHANGES},
            {DCD, 0x08, NativeConnection.COUNTER_DCD_CHANGES}};
        for (int[] line : lines) {
            if ((state & line[1]) != 0 || ((state ^ was) & line[0]) != 0) {
                counts[line[2]]++;
            }
        }
        // RI counts the ring's trailing edge.
        if ((state & 0x04) != 0 || ((was & RI) != 0 && (state & RI) == 0)) {
            counts[NativeConnection.COUNTER_RING_INDICATIONS]++;
        }
    }

    /** With lock held: a line state the server told. */
    private void lineStateChanged(int state) {
        int[][] errors = {{BREAK, NativeConnection.COUNTER_BREAKS}, {FRAMING_ERROR, NativeConnection.COUNTER_FRAMING_ERRORS},
            {PARITY_ERROR, NativeConnection.COUNTER_PARITY_ERRORS}, {OVERRUN, NativeConnection.COUNTER_OVERRUNS}};
        for (int[] error : errors) {
            if ((state & error[0]) != 0) {
                counts[error[1]]++;
            }
        }
    }

    @Override
    public long read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) {
        lock.lock();
        try {
            long deadline = timeoutMillis > 0 ? System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeoutMillis) : 0;
            while (receivedCount == 0) {
                if (closed) {
                    return NativeConnection.result(NativeConnection.CLOSED, 0);
                }
                if (hungUp) {
                    return NativeConnection.result(NativeConnection.HUNG_UP, 0);
                }
                if (deadline == 0) {
                    changed.awaitUninterruptibly();
                } else if (!waitUntil(deadline)) {
                    return NativeConnection.result(NativeConnection.TIMED_OUT, 0);
                }
            }
            int got = take(buffer, offset, length);
            long silentUntil = System.nanoTime() + TimeUnit.MICROSECONDS.toNanos(idleMicros);
            while (idleMicros > 0 && got < length && !closed && !hungUp) {
                if (receivedCount > 0) {
                    got += take(buffer, offset + got, length - got);
                    silentUntil = System.nanoTime() + TimeUnit.MICROSECONDS.toNanos(idleMicros);
                } else if (!waitUntil(silentUntil)) {
                    break;
                }
            }
            return got;
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: takes what is there, up to length. */
    private int take(byte[] buffer, int offset, int length) {
        int got = 0;
        while (got < length && receivedCount > 0) {
            int run = Math.min(length - got, Math.min(receivedCount, received.length - receivedStart));
            System.arraycopy(received, receivedStart, buffer, offset + got, run);
            receivedStart = (receivedStart + run) % received.length;
            receivedCount -= run;
            got += run;
        }
        changed.signalAll();
        return got;
    }

    @Override
    public long write(byte[] buffer, int offset, int length, int timeoutMillis) {
        lock.lock();
        try {
            long deadline = timeoutMillis > 0 ? System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeoutMillis) : 0;
            int done = 0;
            while (done < length) {
                if (closed || hungUp) {
                    return NativeConnection.result(closed ? NativeConnection.CLOSED : NativeConnection.HUNG_UP, done);
                }
                int room = QUEUED_MOST - queued.size();
                if (room > 0) {
                    int run = Math.min(room, length - done);
                    queued.write(buffer, offset + done, run);
                    done += run;
                    changed.signalAll();
                } else if (deadline == 0) {
                    changed.awaitUninterruptibly();
                } else if (!waitUntil(deadline)) {
                    return NativeConnection.result(NativeConnection.TIMED_OUT, done);
                }
            }
            return done;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public long available() {
        lock.lock();
        try {
            return closed ? NativeConnection.result(NativeConnection.CLOSED, 0) : receivedCount;
        } finally {
            lock.unlock();
        }
    }

    /** RFC 2217 has no "transmitter empty" answer: done once the server's TCP has taken every byte. */
    @Override
    public long drain(int timeoutMillis) {
        lock.lock();
        try {
            long deadline = timeoutMillis > 0 ? System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeoutMillis) : 0;
            while (queued.size() > 0 || writing) {
                if (closed || hungUp) {
                    return NativeConnection.result(closed ? NativeConnection.CLOSED : NativeConnection.HUNG_UP, 0);
                }
                if (deadline == 0) {
                    changed.awaitUninterruptibly();
                } else if (!waitUntil(deadline)) {
                    return NativeConnection.result(NativeConnection.TIMED_OUT, 0);
                }
            }
            return closed ? NativeConnection.result(NativeConnection.CLOSED, 0) : 0;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public long discard(boolean input) {
        lock.lock();
        try {
            if (input) {
                receivedCount = 0;
                changed.signalAll();
            } else {
                queued.reset();
            }
        } finally {
            lock.unlock();
        }
        return command(PURGE_DATA, (byte) (input ? 1 : 2)) == null ? unanswered() : 0;
    }

    @Override
    public long setBreak(boolean on) {
        return control(on ? BREAK_ON : BREAK_OFF);
    }

    @Override
    public long setModemLine(int line, boolean on) {
        boolean isRts = line == NativeConnection.LINE_RTS;
        long result = control(isRts ? (on ? RTS_ON : RTS_OFF) : (on ? DTR_ON : DTR_OFF));
        if (NativeConnection.statusOf(result) == NativeConnection.DONE) {
            lock.lock();
            try {
                if (isRts) {
                    rts = on;
                } else {
                    dtr = on;
                }
            } finally {
                lock.unlock();
            }
        }
        return result;
    }

    private long control(int value) {
        return command(SET_CONTROL, (byte) value) == null ? unanswered() : 0;
    }

    @Override
    public long modemLines() {
        lock.lock();
        try {
            if (closed) {
                return NativeConnection.result(NativeConnection.CLOSED, 0);
            }
            return bits(modemState, rts, dtr);
        } finally {
            lock.unlock();
        }
    }

    private static int bits(int state, boolean rts, boolean dtr) {
        return ((state & CTS) != 0 ? NativeConnection.LINE_CTS : 0) | ((state & DSR) != 0 ? NativeConnection.LINE_DSR : 0)
                | ((state & DCD) != 0 ? NativeConnection.LINE_DCD : 0) | ((state & RI) != 0 ? NativeConnection.LINE_RI : 0)
                | (rts ? NativeConnection.LINE_RTS : 0) | (dtr ? NativeConnection.LINE_DTR : 0);
    }

    @Override
    public long readSettings(int[] report) {
        lock.lock();
        try {
            if (closed) {
                return NativeConnection.result(NativeConnection.CLOSED, 0);
            }
            fill(report, settings);
            return 0;
        } finally {
            lock.unlock();
        }
    }

    /** The server's answers are the read-back; what it did not keep is set back as it was. */
    @Override
    public long reconfigure(LineSettings wanted, int[] report) {
        LineSettings before;
        lock.lock();
        try {
            before = settings;
        } finally {
            lock.unlock();
        }
        LineSettings kept = apply(wanted);
        if (kept == null) {
            return unanswered();
        }
        int refused = firstDifference(wanted, kept);
        LineSettings now = kept;
        if (refused != NativeConnection.SETTING_NONE && before != null) {
            LineSettings restored = apply(before);
            now = restored != null ? restored : before;
        }
        lock.lock();
        try {
            settings = now;
        } finally {
            lock.unlock();
        }
        fill(report, kept);
        report[NativeConnection.REPORT_REFUSED] = refused;
        return 0;
    }

    /** Sends every setting; the settings as the server answered them, or null without answers. */
    private LineSettings apply(LineSettings wanted) {
        byte[] baud = command(SET_BAUDRATE, (byte) (wanted.baud() >>> 24), (byte) (wanted.baud() >>> 16),
                (byte) (wanted.baud() >>> 8), (byte) wanted.baud());
        byte[] size = command(SET_DATASIZE, (byte) wanted.dataBits());
        // The protocol's parities are NONE, ODD, EVEN, MARK and SPACE from 1: Parity's order.
        byte[] parity = command(SET_PARITY, (byte) (wanted.parity().ordinal() + 1));
        byte[] stop = command(SET_STOPSIZE, (byte) wanted.stopBits());
        byte[] flow = command(SET_CONTROL, (byte) switch (wanted.flowControl()) {
            case NONE -> FLOW_NONE;
            case XON_XOFF -> FLOW_XON_XOFF;
            case RTS_CTS -> FLOW_HARDWARE;
        });
        if (baud == null || size == null || parity == null || stop == null || flow == null || baud.length < 4
                || size.length < 1 || parity.length < 1 || stop.length < 1 || flow.length < 1) {
            return null;
        }
        int rate = (baud[0] & 0xFF) << 24 | (baud[1] & 0xFF) << 16 | (baud[2] & 0xFF) << 8 | (baud[3] & 0xFF);
        int paritySeen = parity[0] & 0xFF;
        int flowSeen = flow[0] & 0xFF;
        try {
            return LineSettings.of(rate > 0 ? rate : wanted.baud()).withDataBits(size[0])
                    .withStopBits(stop[0] == 2 ? 2 : 1)
                    .withParity(paritySeen >= 1 && paritySeen <= 5 ? Parity.values()[paritySeen - 1] : Parity.NONE)
                    .withFlowControl(flowSeen == FLOW_HARDWARE ? FlowControl.RTS_CTS
                            : flowSeen == FLOW_XON_XOFF ? FlowControl.XON_XOFF : FlowControl.NONE);
        } catch (IllegalArgumentException nonsense) {
            return null;  // an answer no line can have, such as 9 data bits
        }
    }

    private static int firstDifference(LineSettings wanted, LineSettings got) {
        if (Math.abs((long) got.baud() - wanted.baud()) * 50 > wanted.baud()) {
            return NativeConnection.SETTING_BAUD;
        }
        if (got.dataBits() != wanted.dataBits()) {
            return NativeConnection.SETTING_DATA_BITS;
        }
        if (got.stopBits() != wanted.stopBits()) {
            return NativeConnection.SETTING_STOP_BITS;
        }
        if (got.parity() != wanted.parity()) {
            return NativeConnection.SETTING_PARITY;
        }
        return got.flowControl() != wanted.flowControl() ? NativeConnection.SETTING_FLOW_CONTROL
                : NativeConnection.SETTING_NONE;
    }

    private static void fill(int[] report, LineSettings settings) {
        if (settings == null) {
            return;
        }
        report[NativeConnection.REPORT_BAUD] = settings.baud();
        report[NativeConnection.REPORT_DATA_BITS] = settings.dataBits();
        report[NativeConnection.REPORT_STOP_BITS] = settings.stopBits();
        report[NativeConnection.REPORT_PARITY] = NativeConnection.parityCode(settings.parity());
        report[NativeConnection.REPORT_FLOW] = NativeConnection.flowCode(settings.flowControl());
    }

    /** The counts the server's notifications and this connection's traffic make, since it was opened. */
    @Override
    public long counters(long[] into) {
        lock.lock();
        try {
            if (closed) {
                return NativeConnection.result(NativeConnection.CLOSED, 0);
            }
            System.arraycopy(counts, 0, into, 0, counts.length);
            return 0;
        } finally {
            lock.unlock();
        }
    }

    /** The protocol has no RS-485. */
    @Override
    public long setRs485(Rs485 mode, int[] report) {
        report[NativeConnection.RS485_REFUSED] = mode == null ? NativeConnection.RS485_KEPT
                : NativeConnection.RS485_NO_MODE;
        return 0;
    }

    @Override
    public long readRs485(int[] report) {
        report[NativeConnection.RS485_REFUSED] = NativeConnection.RS485_NO_MODE;
        return 0;
    }

    /** The protocol has no latency control. */
    @Override
    public long setLowLatency(boolean on) {
        return 0xFFFFFFFFL;  // done, value -1
    }

    @Override
    public long readLowLatency() {
        return 0;
    }

    @Override
    public Subscription listen(SerialConnection owner, EnumSet<SerialEventType> types, Executor executor,
            SerialListener listener) throws IOException {
        Listening subscription = new Listening(new Source(), owner, types, executor, listener);
        subscriptions.add(subscription);
        subscription.activity(ConnectionEvents.INPUT);
        lock.lock();
        try {
            if (hungUp) {
                subscription.activity(ConnectionEvents.HANG_UP);
            }
        } finally {
            lock.unlock();
        }
        return subscription;
    }

    /** What a subscription to this port asks of it. */
    private final class Source implements EventSource {
        @Override
        public LineCounters counters() {
            long[] now = new long[NativeConnection.COUNTER_LENGTH];
            RemotePort.this.counters(now);
            return SerialConnection.countersOf(now);
        }

        @Override
        public ModemLines lines() {
            return SerialConnection.linesOf(NativeConnection.value(modemLines()));
        }

        @Override
        public int waiting() {
            return NativeConnection.value(available());
        }

        @Override
        public void unsubscribe(Listening subscription) {
            subscriptions.remove(subscription);
        }
    }

    @Override
    public void close(int lingerMillis) {
        for (Listening subscription : subscriptions) {
            subscription.close();
        }
        if (lingerMillis > 0) {
            drain(lingerMillis);
        }
        lock.lock();
        try {
            closed = true;
            changed.signalAll();
        } finally {
            lock.unlock();
        }
        try {
            socket.close();
        } catch (IOException ignored) {
            // closing: nothing more to say to the server
        }
    }

    @Override
    public Runnable releaser() {
        return () -> { };
    }
}
