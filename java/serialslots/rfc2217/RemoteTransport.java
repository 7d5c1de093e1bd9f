package serialslots.rfc2217;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.ProtocolException;
import java.net.Socket;
import java.net.SocketException;
import java.net.URI;
import java.net.URISyntaxException;
import java.util.Arrays;
import java.util.BitSet;
import java.util.List;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.Executor;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Consumer;
import javax.net.ssl.SSLParameters;
import javax.net.ssl.SSLSocket;
import javax.net.ssl.SSLSocketFactory;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.Rs485;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.SettingNotSupportedException;
import serialslots.Subscription;
import serialslots.events.EventSource;
import serialslots.events.Listening;
import serialslots.internal.Deadline;
import serialslots.internal.Failures;
import serialslots.internal.Threads;
import serialslots.transport.ByteRing;
import serialslots.transport.Transport;

/**
 * A serial port of another machine, over RFC 2217 on TCP, or over TLS for
 * {@code rfc2217s://}. Settings, modem lines, break and purges are the
 * protocol's commands, each answered by the server; its answers are the
 * read-back. One thread reads what the server sends; one writes, in order,
 * what the program and the protocol queued, so that no caller ever waits on
 * the socket itself: every call keeps its own deadline whatever the server
 * does.
 */
public final class RemoteTransport implements Transport {

    /** How long connecting and each call's answers may take, in ms (0: no limit): a system property. */
    public static final String TIMEOUT_PROPERTY = "serialslots.rfc2217.timeout";
    private static final int DEFAULT_TIMEOUT = 5000;
    private static final int BINARY = 0;
    private static final int SUPPRESS_GO_AHEAD = 3;
    private static final int RECEIVED_MOST = 1 << 20;
    private static final int QUEUED_MOST = 1 << 16;

    private final String name;
    private final Socket plain;
    private final InputStream fromServer;
    private final OutputStream toServer;
    private final int answerMillis;
    private final ReentrantLock lock = new ReentrantLock();
    private final Condition changed = lock.newCondition();
    // All guarded by lock.
    private final ByteRing received = new ByteRing(RECEIVED_MOST);
    private ByteArrayOutputStream outgoing = new ByteArrayOutputStream();
    private int queuedData;    // data bytes in outgoing
    private int sendingData;   // data bytes the writer is sending now
    private final long[] answerCount = new long[ComPortOption.COMMANDS];  // answers so far, per command
    private final byte[][] answers = new byte[ComPortOption.COMMANDS][];
    private final BitSet refused = new BitSet(512);  // options refused once: verb WILL or DO, then option
    private boolean hungUp;
    private String hangUpReason;
    private boolean closed;
    private boolean comPortAgreed;
    private boolean comPortRefused;
    private boolean spokeTheProtocol;
    private boolean rts = true;
    private boolean dtr = true;
    private final ComPortOption.Counts counts = new ComPortOption.Counts();
    private LineSettings settings;
    private final List<Listening> subscriptions = new CopyOnWriteArrayList<>();
    private final Telnet telnet = new Telnet(new FromServer());

    private RemoteTransport(String name, Socket plain, Socket socket, int answerMillis) throws IOException {
        this.name = name;
        this.plain = plain;
        this.fromServer = socket.getInputStream();
        this.toServer = socket.getOutputStream();
        this.answerMillis = answerMillis;
    }

    /** Connects, agrees on the protocol and applies the settings, all within one timeout. */
    public static RemoteTransport open(String name, LineSettings settings) throws IOException {
        URI uri = parse(name);
        int timeout = timeout(uri);
        Deadline deadline = Deadline.afterMillis(timeout);
        Socket plain = new Socket();
        RemoteTransport port = null;
        try {
            plain.connect(new InetSocketAddress(uri.getHost(), uri.getPort()), Math.max(0, deadline.millisLeft()));
            plain.setTcpNoDelay(true);
            Socket socket = uri.getScheme().equals("rfc2217s") ? secure(plain, uri, deadline) : plain;
            port = new RemoteTransport(name, plain, socket, timeout);
            port.start();
            port.agree(deadline);
            port.queue(ComPortOption.command(ComPortOption.SET_MODEMSTATE_MASK, (byte) ComPortOption.MODEM_MASK));
            port.queue(ComPortOption.command(ComPortOption.SET_LINESTATE_MASK, (byte) ComPortOption.LINE_MASK));
            port.configure(settings, deadline, "configuring");
            return port;
        } catch (IOException | RuntimeException e) {
            if (port == null) {
                plain.close();
                throw Failures.remote(name, timeout, e);
            }
            if (e instanceof SocketException) {
                port.awaitHangUp(deadline);  // the server closed first: what it said is still on its way in
            }
            IOException dropped = port.droppedWhileOpening();
            port.close(0);
            throw dropped != null ? dropped : Failures.remote(name, timeout, e);
        }
    }

    /** The URI, with every part this transport does not use refused. */
    private static URI parse(String name) {
        URI uri;
        try {
            uri = new URI(name);
        } catch (URISyntaxException e) {
            throw Failures.badRemoteName(name, e.getReason());
        }
        if (uri.getHost() == null) {
            throw Failures.badRemoteName(name, "no host");
        }
        if (uri.getPort() < 1 || uri.getPort() > 65535) {
            throw Failures.badRemoteName(name, uri.getPort() < 0 ? "no port" : "port " + uri.getPort()
                    + " is out of range (1 to 65535)");
        }
        if (uri.getRawUserInfo() != null) {
            throw Failures.badRemoteName(name, "user information is not supported");
        }
        if (uri.getRawPath() != null && !uri.getRawPath().isEmpty() && !uri.getRawPath().equals("/")) {
            throw Failures.badRemoteName(name, "a path is not supported");
        }
        if (uri.getRawFragment() != null) {
            throw Failures.badRemoteName(name, "a fragment is not supported");
        }
        return uri;
    }

    /** The timeout: ?timeout=MILLIS, else the system property, else the default. */
    private static int timeout(URI uri) {
        String query = uri.getRawQuery();
        String value = System.getProperty(TIMEOUT_PROPERTY);
        String source = TIMEOUT_PROPERTY;
        if (query != null) {
            for (String parameter : query.split("&")) {
                if (!parameter.startsWith("timeout=")) {
                    throw Failures.badRemoteName(uri.toString(), "the query parameter \"" + parameter
                            + "\" is not supported");
                }
                value = parameter.substring("timeout=".length());
                source = "timeout";
            }
        }
        if (value == null) {
            return DEFAULT_TIMEOUT;
        }
        try {
            int millis = Integer.parseInt(value.trim());
            if (millis >= 0) {
                return millis;
            }
        } catch (NumberFormatException e) {
            // said below
        }
        throw source.equals(TIMEOUT_PROPERTY) ? Failures.badTimeoutProperty(TIMEOUT_PROPERTY, value)
                : Failures.badRemoteName(uri.toString(), "the timeout " + value + " is not 0 or more milliseconds");
    }

    /** TLS over the connected socket: the JVM's trust store, and the server's name checked. */
    private static Socket secure(Socket plain, URI uri, Deadline deadline) throws IOException {
        SSLSocket tls = (SSLSocket) ((SSLSocketFactory) SSLSocketFactory.getDefault()).createSocket(plain,
                uri.getHost(), uri.getPort(), true);
        SSLParameters parameters = tls.getSSLParameters();
        parameters.setEndpointIdentificationAlgorithm("HTTPS");
        tls.setSSLParameters(parameters);
        tls.setSoTimeout(Math.max(1, deadline.millisLeft()));
        if (!deadline.bounded()) {
            tls.setSoTimeout(0);
        }
        tls.startHandshake();
        tls.setSoTimeout(0);
        return tls;
    }

    private void start() {
        Threads.start("serialslots-rfc2217-in " + name, this::readFromServer);
        Threads.start("serialslots-rfc2217-out " + name, this::writeToServer);
    }

    /** Asks for binary both ways and the COM port option; only the latter is a must. */
    private void agree(Deadline deadline) throws IOException {
        queue(new byte[] {(byte) Telnet.IAC, (byte) Telnet.WILL, ComPortOption.OPTION, (byte) Telnet.IAC,
            (byte) Telnet.WILL, BINARY, (byte) Telnet.IAC, (byte) Telnet.DO, BINARY});
        lock.lock();
        try {
            while (!comPortAgreed && !comPortRefused && !hungUp && !closed) {
                if (!waitUntil(deadline)) {
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

    private void awaitHangUp(Deadline deadline) {
        lock.lock();
        try {
            while (!hungUp && waitUntil(deadline)) {
                // the reader is taking in the rest
            }
        } finally {
            lock.unlock();
        }
    }

    /**
     * Why the server ended the connection while it was being opened, with the
     * words it said if it said any; null while it is up.
     */
    private IOException droppedWhileOpening() {
        lock.lock();
        try {
            if (!hungUp) {
                return null;
            }
            if (hangUpReason != null) {
                return Failures.brokeProtocol(name, hangUpReason);
            }
            return Failures.droppedWhileOpening(name, received.text(200).trim().replaceAll(" +", " "),
                    spokeTheProtocol);
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: waits on `changed` until the deadline; false once it has passed. */
    private boolean waitUntil(Deadline deadline) {
        if (!deadline.bounded()) {
            changed.awaitUninterruptibly();
            return true;
        }
        long left = deadline.nanosLeft();
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

    /** Queues a frame for the writer, after everything queued before it; it never waits. */
    private void queue(byte[] frame) {
        lock.lock();
        try {
            outgoing.writeBytes(frame);
            changed.signalAll();
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: the exception for a call that cannot go on, or null. */
    private IOException ended(int transferred, int length) {
        if (closed) {
            return Failures.closed(name);
        }
        return hungUp ? Failures.disconnected(name, transferred, length, hangUpReason) : null;
    }

    /**
     * Sends COM port commands, in order, and waits until the server has
     * answered each: the answers' values, in the same order.
     */
    private byte[][] commands(String operation, Deadline deadline, int[] commands, byte[]... values)
            throws IOException {
        lock.lock();
        try {
            long[] before = new long[commands.length];
            for (int i = 0; i < commands.length; i++) {
                before[i] = answerCount[commands[i]];
                outgoing.writeBytes(ComPortOption.command(commands[i], values[i]));
            }
            changed.signalAll();
            byte[][] got = new byte[commands.length][];
            for (int i = 0; i < commands.length; i++) {
                while (answerCount[commands[i]] == before[i]) {
                    IOException ended = ended(0, 0);
                    if (ended != null) {
                        throw ended;
                    }
                    if (!waitUntil(deadline)) {
                        throw Failures.timedOut(name, operation, answerMillis, 0, 0);
                    }
                }
                got[i] = answers[commands[i]];
            }
            return got;
        } finally {
            lock.unlock();
        }
    }

    private byte[] command(String operation, int command, byte... value) throws IOException {
        return commands(operation, Deadline.afterMillis(answerMillis), new int[] {command}, value)[0];
    }

    private void readFromServer() {
        byte[] buffer = new byte[8192];
        String reason = null;
        try {
            for (int got; (got = fromServer.read(buffer)) > 0;) {
                telnet.feed(buffer, 0, got);
            }
        } catch (ProtocolException breach) {
            reason = breach.getMessage();
        } catch (IOException ended) {
            // the server went away: the connection ends as when it closes
        }
        hangUp(reason);
    }

    private void hangUp(String reason) {
        lock.lock();
        try {
            if (hungUp) {
                return;
            }
            hungUp = true;
            hangUpReason = reason;
            changed.signalAll();
        } finally {
            lock.unlock();
        }
        if (reason != null) {
            closeSocket();  // nothing more can be understood: the writer ends too
        }
        for (Listening subscription : subscriptions) {
            subscription.activity(EventSource.HANG_UP);
        }
    }

    private void writeToServer() {
        ByteArrayOutputStream sending = new ByteArrayOutputStream();
        for (;;) {
            lock.lock();
            try {
                sendingData = 0;
                changed.signalAll();
                while (outgoing.size() == 0 && !closed && !hungUp) {
                    changed.awaitUninterruptibly();
                }
                if (outgoing.size() == 0 || hungUp) {
                    return;
                }
                ByteArrayOutputStream taken = outgoing;
                outgoing = sending;
                sending = taken;
                sendingData = queuedData;
                counts.transmitted(queuedData);
                queuedData = 0;
            } finally {
                lock.unlock();
            }
            try {
                sending.writeTo(toServer);
                toServer.flush();
            } catch (IOException gone) {
                hangUp(null);
                return;
            }
            sending.reset();
        }
    }

    /** What the server sends: data for the program, negotiation and the COM port option's answers. */
    private final class FromServer implements Telnet.Handler {

        @Override
        public void data(byte[] bytes, int offset, int length) {
            lock.lock();
            try {
                for (int taken = 0; taken < length;) {
                    while (received.room() == 0 && !closed) {
                        // The program reads nothing: TCP waits with the server.
                        changed.awaitUninterruptibly();
                    }
                    if (closed) {
                        return;
                    }
                    int run = received.put(bytes, offset + taken, length - taken);
                    taken += run;
                    counts.received(run);
                    changed.signalAll();
                }
            } finally {
                lock.unlock();
            }
            for (Listening subscription : subscriptions) {
                subscription.activity(EventSource.INPUT);
            }
        }

        @Override
        public void negotiation(int verb, int option) {
            lock.lock();
            try {
                if (option == ComPortOption.OPTION) {
                    comPortAgreed |= verb == Telnet.DO || verb == Telnet.WILL;
                    comPortRefused |= verb == Telnet.DONT || verb == Telnet.WONT;
                    changed.signalAll();
                } else if (verb == Telnet.DO && option != BINARY) {
                    refuse(0, Telnet.WONT, option);
                } else if (verb == Telnet.WILL && option != BINARY && option != SUPPRESS_GO_AHEAD) {
                    refuse(256, Telnet.DONT, option);
                }
            } finally {
                lock.unlock();
            }
        }

        /** With lock held: refuses an option once; asked again, it is already refused, and no loop can start. */
        private void refuse(int verbBase, int answer, int option) {
            if (!refused.get(verbBase + option)) {
                refused.set(verbBase + option);
                outgoing.writeBytes(new byte[] {(byte) Telnet.IAC, (byte) answer, (byte) option});
                changed.signalAll();
            }
        }

        @Override
        public void subnegotiation(int option, byte[] payload, int length) {
            if (option != ComPortOption.OPTION || length < 1) {
                return;
            }
            int command = (payload[0] & 0xFF) - ComPortOption.ANSWER;
            if (command < 0 || command >= ComPortOption.COMMANDS) {
                return;
            }
            byte[] value = Arrays.copyOfRange(payload, 1, length);
            int work = 0;
            lock.lock();
            try {
                spokeTheProtocol = true;
                if (command == ComPortOption.NOTIFY_MODEMSTATE && value.length >= 1) {
                    work = EventSource.MODEM;
                    counts.modemState(value[0] & 0xFF);
                } else if (command == ComPortOption.NOTIFY_LINESTATE && value.length >= 1) {
                    work = EventSource.MODEM;
                    counts.lineState(value[0] & 0xFF);
                } else {
                    answers[command] = value;
                    answerCount[command]++;
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

    @Override
    public String name() {
        return name;
    }

    @Override
    public int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) throws IOException {
        lock.lock();
        try {
            Deadline deadline = Deadline.afterMillis(timeoutMillis);
            while (received.count() == 0) {
                if (closed) {
                    throw Failures.closed(name);
                }
                if (hungUp) {
                    return -1;
                }
                if (!waitUntil(deadline)) {
                    throw Failures.timedOut(name, "read", timeoutMillis, 0, 0);
                }
            }
            int got = take(buffer, offset, length);
            Deadline silentUntil = Deadline.afterMicros(idleMicros);
            while (idleMicros > 0 && got < length && !closed && !hungUp) {
                if (received.count() > 0) {
                    got += take(buffer, offset + got, length - got);
                    silentUntil = Deadline.afterMicros(idleMicros);
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
        int got = received.take(buffer, offset, length);
        changed.signalAll();
        return got;
    }

    @Override
    public void write(byte[] buffer, int offset, int length, int timeoutMillis) throws IOException {
        lock.lock();
        try {
            Deadline deadline = Deadline.afterMillis(timeoutMillis);
            int done = 0;
            while (done < length) {
                IOException ended = ended(done, length);
                if (ended != null) {
                    throw ended;
                }
                int room = QUEUED_MOST - queuedData;
                if (room > 0) {
                    int run = Math.min(room, length - done);
                    Telnet.escape(buffer, offset + done, run, outgoing);
                    queuedData += run;
                    done += run;
                    changed.signalAll();
                } else if (!waitUntil(deadline)) {
                    throw Failures.timedOut(name, "write", timeoutMillis, done, length);
                }
            }
        } finally {
            lock.unlock();
        }
    }

    @Override
    public int available() throws IOException {
        lock.lock();
        try {
            if (closed) {
                throw Failures.closed(name);
            }
            return received.count();
        } finally {
            lock.unlock();
        }
    }

    /** RFC 2217 has no "transmitter empty" answer: done once the server's TCP has taken every byte. */
    @Override
    public void drain(int timeoutMillis) throws IOException {
        lock.lock();
        try {
            Deadline deadline = Deadline.afterMillis(timeoutMillis);
            for (;;) {
                IOException ended = ended(0, 0);
                if (ended != null) {
                    throw ended;
                }
                if (queuedData == 0 && sendingData == 0) {
                    return;
                }
                if (!waitUntil(deadline)) {
                    throw Failures.timedOut(name, "drain", timeoutMillis, 0, 0);
                }
            }
        } finally {
            lock.unlock();
        }
    }

    @Override
    public void discard(boolean input) throws IOException {
        lock.lock();
        try {
            if (input) {
                received.clear();
                changed.signalAll();
            }
        } finally {
            lock.unlock();
        }
        command(input ? "discard input" : "discard output", ComPortOption.PURGE_DATA,
                (byte) (input ? ComPortOption.PURGE_RECEIVED : ComPortOption.PURGE_TRANSMITTED));
    }

    @Override
    public void setBreak(boolean on) throws IOException {
        command("break", ComPortOption.SET_CONTROL, (byte) (on ? ComPortOption.BREAK_ON : ComPortOption.BREAK_OFF));
    }

    @Override
    public void setRts(boolean on) throws IOException {
        command("setting RTS", ComPortOption.SET_CONTROL, (byte) (on ? ComPortOption.RTS_ON : ComPortOption.RTS_OFF));
        lock.lock();
        try {
            rts = on;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public void setDtr(boolean on) throws IOException {
        command("setting DTR", ComPortOption.SET_CONTROL, (byte) (on ? ComPortOption.DTR_ON : ComPortOption.DTR_OFF));
        lock.lock();
        try {
            dtr = on;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public ModemLines modemLines() throws IOException {
        lock.lock();
        try {
            if (closed) {
                throw Failures.closed(name);
            }
            return ComPortOption.linesOf(counts.modemState(), rts, dtr);
        } finally {
            lock.unlock();
        }
    }

    @Override
    public LineSettings settings() throws IOException {
        lock.lock();
        try {
            if (closed) {
                throw Failures.closed(name);
            }
            return settings;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public void reconfigure(LineSettings wanted) throws IOException {
        configure(wanted, Deadline.afterMillis(answerMillis), "configuring");
    }

    /**
     * Sends every setting and reads the server's answers back; what it did not
     * keep is refused and the settings before are sent again, all by one deadline.
     */
    private void configure(LineSettings wanted, Deadline deadline, String operation) throws IOException {
        LineSettings before;
        lock.lock();
        try {
            before = settings;
        } finally {
            lock.unlock();
        }
        LineSettings kept = ComPortOption.settingsOf(name, commands(operation, deadline, ComPortOption.SETTING_COMMANDS,
                ComPortOption.settingValues(wanted)));
        SettingNotSupportedException refusal = refusal(wanted, kept);
        LineSettings now = kept;
        if (refusal != null && before != null) {
            now = ComPortOption.settingsOf(name, commands(operation, deadline, ComPortOption.SETTING_COMMANDS,
                    ComPortOption.settingValues(before)));
        }
        lock.lock();
        try {
            settings = now;
        } finally {
            lock.unlock();
        }
        if (refusal != null) {
            throw refusal;
        }
    }

    /** The first setting the server did not keep, as asked and as kept; a rate within 2% counts as kept. */
    private SettingNotSupportedException refusal(LineSettings wanted, LineSettings got) {
        if (Math.abs((long) got.baud() - wanted.baud()) * 50 > wanted.baud()) {
            return Failures.settingRefused(name, Failures.SETTING_BAUD, wanted.baud(), got.baud());
        }
        if (got.dataBits() != wanted.dataBits()) {
            return Failures.settingRefused(name, Failures.SETTING_DATA_BITS, wanted.dataBits(), got.dataBits());
        }
        if (got.stopBits() != wanted.stopBits()) {
            return Failures.settingRefused(name, Failures.SETTING_STOP_BITS, wanted.stopBits(), got.stopBits());
        }
        if (got.parity() != wanted.parity()) {
            return Failures.settingRefused(name, Failures.SETTING_PARITY, wanted.parity(), got.parity());
        }
        if (got.flowControl() != wanted.flowControl()) {
            return Failures.settingRefused(name, Failures.SETTING_FLOW_CONTROL, wanted.flowControl(),
                    got.flowControl());
        }
        return null;
    }

    /** The counts the server's notifications and this connection's traffic make, since it was opened. */
    @Override
    public LineCounters counters() throws IOException {
        lock.lock();
        try {
            if (closed) {
                throw Failures.closed(name);
            }
            return counts.snapshot();
        } finally {
            lock.unlock();
        }
    }

    /** The protocol has no RS-485: turning it off is done already. */
    @Override
    public void setRs485(Optional<Rs485> mode) throws IOException {
        if (mode.isPresent()) {
            throw Failures.noRs485(name);
        }
    }

    @Override
    public Optional<Rs485> rs485() {
        return Optional.empty();
    }

    /** The protocol has no latency control. */
    @Override
    public void setLowLatency(boolean on) throws IOException {
        throw Failures.noLatencyControl(name, on);
    }

    @Override
    public boolean isLowLatency() {
        return false;
    }

    @Override
    public Subscription listen(Set<SerialEventType> types, Executor executor, Consumer<SerialEvent> listener)
            throws IOException {
        Listening subscription = new Listening(new Source(), types, executor, listener);
        subscriptions.add(subscription);
        subscription.activity(EventSource.INPUT);
        lock.lock();
        try {
            if (hungUp) {
                subscription.activity(EventSource.HANG_UP);
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
            lock.lock();
            try {
                return counts.snapshot();
            } finally {
                lock.unlock();
            }
        }

        @Override
        public ModemLines lines() {
            lock.lock();
            try {
                return ComPortOption.linesOf(counts.modemState(), rts, dtr);
            } finally {
                lock.unlock();
            }
        }

        @Override
        public int waiting() {
            lock.lock();
            try {
                return received.count();
            } finally {
                lock.unlock();
            }
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
            try {
                drain(lingerMillis);
            } catch (IOException notAllLeft) {
                // closing anyway: what did not leave is discarded
            }
        }
        lock.lock();
        try {
            closed = true;
            changed.signalAll();
        } finally {
            lock.unlock();
        }
        closeSocket();
    }

    /** Closes the TCP socket under any TLS, so that nothing waits for the server to read a goodbye. */
    private void closeSocket() {
        try {
            plain.close();
        } catch (IOException ignored) {
            // nothing more to say to the server
        }
    }

    @Override
    public Runnable releaser() {
        return () -> { };
    }
}
