package serialslots.tcp;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.ProtocolException;
import java.net.Socket;
import java.net.URI;
import java.net.URISyntaxException;
import java.util.List;
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
import serialslots.ModemLines;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.events.EventSource;
import serialslots.events.Listening;
import serialslots.internal.Deadline;
import serialslots.internal.Failures;
import serialslots.internal.Threads;
import serialslots.transport.ByteRing;
import serialslots.transport.Transport;
import serialslots.transport.WritableWaiters;

/**
 * A port whose bytes cross a TCP connection, plain or over TLS: what raw TCP
 * and RFC 2217 share. One thread reads what the server sends and hands it to
 * {@link #decode}; one writes, in order, what the program and the protocol
 * queued, so that no caller ever waits on the socket itself and every call
 * keeps its own deadline, whatever the server does. What the program has not
 * read is held here (1 MiB, then TCP makes the server wait); what it wrote
 * waits here (64 KiB, then a write waits for its timeout).
 */
public abstract class TcpTransport implements Transport {

    private static final int RECEIVED_MOST = 1 << 20;
    private static final int QUEUED_MOST = 1 << 16;

    protected final String name;
    /** How long each call's answers may take, in ms; 0: no limit. */
    protected final int timeoutMillis;
    protected final ReentrantLock lock = new ReentrantLock();
    protected final Condition changed = lock.newCondition();
    private final WritableWaiters writable = new WritableWaiters();
    private final Socket plain;
    private final InputStream fromServer;
    private final OutputStream toServer;
    // All guarded by lock.
    private final ByteRing received = new ByteRing(RECEIVED_MOST);
    private ByteArrayOutputStream outgoing = new ByteArrayOutputStream();
    private int queuedData;    // data bytes in outgoing
    private int sendingData;   // data bytes the writer is sending now
    private long receivedCount;
    private long transmittedCount;
    private boolean hungUp;
    private String hangUpReason;
    private boolean closed;
    private final List<Listening> subscriptions = new CopyOnWriteArrayList<>();

    /** A connected socket: the TCP one, and the one to talk over (the same, or TLS over it). */
    protected record Connection(Socket plain, Socket socket) {
    }

    protected TcpTransport(String name, Connection connection, int timeoutMillis) throws IOException {
        this.name = name;
        this.plain = connection.plain();
        this.fromServer = connection.socket().getInputStream();
        this.toServer = connection.socket().getOutputStream();
        this.timeoutMillis = timeoutMillis;
    }

    // Names, timeouts and connecting.

    /** The URI, with every part these transports do not use refused; `form` says what a name looks like. */
    protected static URI parse(String name, String form) {
        URI uri;
        try {
            uri = new URI(name);
        } catch (URISyntaxException e) {
            throw Failures.badRemoteName(name, e.getReason(), form);
        }
        if (uri.getHost() == null) {
            throw Failures.badRemoteName(name, "no host", form);
        }
        if (uri.getPort() < 1 || uri.getPort() > 65535) {
            throw Failures.badRemoteName(name, uri.getPort() < 0 ? "no port" : "port " + uri.getPort()
                    + " is out of range (1 to 65535)", form);
        }
        if (uri.getRawUserInfo() != null) {
            throw Failures.badRemoteName(name, "user information is not supported", form);
        }
        if (uri.getRawPath() != null && !uri.getRawPath().isEmpty() && !uri.getRawPath().equals("/")) {
            throw Failures.badRemoteName(name, "a path is not supported", form);
        }
        if (uri.getRawFragment() != null) {
            throw Failures.badRemoteName(name, "a fragment is not supported", form);
        }
        return uri;
    }

    /** The timeout: ?timeout=MILLIS, else the system property, else 5000 ms. */
    protected static int timeout(URI uri, String property, String form) {
        String query = uri.getRawQuery();
        String value = System.getProperty(property);
        boolean fromQuery = false;
        if (query != null) {
            for (String parameter : query.split("&")) {
                if (!parameter.startsWith("timeout=")) {
                    throw Failures.badRemoteName(uri.toString(), "the query parameter \"" + parameter
                            + "\" is not supported", form);
                }
                value = parameter.substring("timeout=".length());
                fromQuery = true;
            }
        }
        if (value == null) {
            return 5000;
        }
        try {
            int millis = Integer.parseInt(value.trim());
            if (millis >= 0) {
                return millis;
            }
        } catch (NumberFormatException e) {
            // said below
        }
        throw fromQuery ? Failures.badRemoteName(uri.toString(), "the timeout " + value
                + " is not 0 or more milliseconds", form) : Failures.badTimeoutProperty(property, value);
    }

    /** Connects by the deadline, with TLS where asked: the JVM's trust store, and the server's name checked. */
    protected static Connection connect(URI uri, boolean tls, Deadline deadline) throws IOException {
        Socket plain = new Socket();
        try {
            plain.connect(new InetSocketAddress(uri.getHost(), uri.getPort()), Math.max(0, deadline.millisLeft()));
            plain.setTcpNoDelay(true);
            if (!tls) {
                return new Connection(plain, plain);
            }
            SSLSocket secure = (SSLSocket) ((SSLSocketFactory) SSLSocketFactory.getDefault()).createSocket(plain,
                    uri.getHost(), uri.getPort(), true);
            SSLParameters parameters = secure.getSSLParameters();
            parameters.setEndpointIdentificationAlgorithm("HTTPS");
            secure.setSSLParameters(parameters);
            secure.setSoTimeout(deadline.bounded() ? Math.max(1, deadline.millisLeft()) : 0);
            secure.startHandshake();
            secure.setSoTimeout(0);
            return new Connection(plain, secure);
        } catch (IOException | RuntimeException e) {
            plain.close();
            throw e;
        }
    }

    /** Starts the threads that read and write the socket. */
    protected final void start(String threadName) {
        Threads.start("serialslots-" + threadName + "-in " + name, this::readFromServer);
        Threads.start("serialslots-" + threadName + "-out " + name, this::writeToServer);
    }

    // What the subclass's protocol makes of the stream.

    /** On the reading thread: what the server sent; data for the program goes to {@link #deliver}. */
    protected abstract void decode(byte[] bytes, int offset, int length) throws IOException;

    /** The program's bytes as they go on the wire. */
    protected abstract void encode(byte[] bytes, int offset, int length, ByteArrayOutputStream into);

    /** With lock held: the modem lines now, or null where the protocol has none. */
    protected abstract ModemLines linesNow();

    /** With lock held: the counts now, or null where the protocol keeps none. */
    protected abstract LineCounters countersNow();

    /** With lock held: the bytes received and sent so far. */
    protected final long receivedCount() {
        return receivedCount;
    }

    protected final long transmittedCount() {
        return transmittedCount;
    }

    /** On the reading thread: data for the program; waits while 1 MiB is unread, as TCP makes the server wait. */
    protected final void deliver(byte[] bytes, int offset, int length) {
        lock.lock();
        try {
            for (int taken = 0; taken < length;) {
                while (received.room() == 0 && !closed) {
                    changed.awaitUninterruptibly();
                }
                if (closed) {
                    return;
                }
                int run = received.put(bytes, offset + taken, length - taken);
                taken += run;
                receivedCount += run;
                changed.signalAll();
            }
        } finally {
            lock.unlock();
        }
        tellSubscriptions(EventSource.INPUT);
    }

    /** A frame of the protocol's own for the writer, after everything queued before it; it never waits. */
    protected final void queue(byte[] frame) {
        lock.lock();
        try {
            queueLocked(frame);
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: as {@link #queue}. */
    protected final void queueLocked(byte[] frame) {
        outgoing.writeBytes(frame);
        changed.signalAll();
    }

    /** With lock held: the exception for a call that cannot go on, or null. */
    protected final IOException ended(int transferred, int length) {
        if (closed) {
            return Failures.closed(name);
        }
        return hungUp ? Failures.disconnected(name, transferred, length, hangUpReason) : null;
    }

    /** With lock held: whether this transport was closed. */
    protected final boolean isClosed() {
        return closed;
    }

    /** Under the lock, unless this transport is closed: what {@code read} answers. */
    protected final <T> T whileOpen(java.util.function.Supplier<T> read) throws IOException {
        lock.lock();
        try {
            if (closed) {
                throw Failures.closed(name);
            }
            return read.get();
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: whether the server has gone. */
    protected final boolean hungUp() {
        return hungUp;
    }

    /** With lock held: why the server went, where the protocol says. */
    protected final String hangUpReason() {
        return hangUpReason;
    }

    /** With lock held: waits on `changed` until the deadline; false once it has passed. */
    protected final boolean waitUntil(Deadline deadline) {
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

    /** Waits, by the deadline, until the server has gone: what it said before is then all in. */
    protected final void awaitHangUp(Deadline deadline) {
        lock.lock();
        try {
            while (!hungUp && waitUntil(deadline)) {
                // the reader is taking in the rest
            }
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: the first bytes received and unread, as text, for a message. */
    protected final String receivedText(int most) {
        return received.text(most);
    }

    /** Drops what was received and not read. */
    protected final void discardReceived() {
        lock.lock();
        try {
            received.clear();
            changed.signalAll();
        } finally {
            lock.unlock();
        }
    }

    private void readFromServer() {
        byte[] buffer = new byte[8192];
        String reason = null;
        try {
            for (int got; (got = fromServer.read(buffer)) > 0;) {
                decode(buffer, 0, got);
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
        writable.release();
        if (reason != null) {
            closeSocket();  // nothing more can be understood: the writer ends too
        }
        tellSubscriptions(EventSource.HANG_UP);
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
                queuedData = 0;
            } finally {
                lock.unlock();
            }
            writable.release();
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

    /** Tells every subscription of new work ({@link EventSource}'s bits). */
    protected final void tellSubscriptions(int work) {
        for (Listening subscription : subscriptions) {
            subscription.activity(work);
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
            int got = received.take(buffer, offset, length);
            Deadline silentUntil = Deadline.afterMicros(idleMicros);
            while (idleMicros > 0 && got < length && !closed && !hungUp) {
                if (received.count() > 0) {
                    got += received.take(buffer, offset + got, length - got);
                    silentUntil = Deadline.afterMicros(idleMicros);
                } else if (!waitUntil(silentUntil)) {
                    break;
                }
            }
            changed.signalAll();
            return got;
        } finally {
            lock.unlock();
        }
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
                int run = queueNow(buffer, offset + done, length - done);
                done += run;
                if (run == 0 && !waitUntil(deadline)) {
                    throw Failures.timedOut(name, "write", timeoutMillis, done, length);
                }
            }
        } finally {
            lock.unlock();
        }
    }

    @Override
    public int writeNow(byte[] buffer, int offset, int length) throws IOException {
        lock.lock();
        try {
            IOException ended = ended(0, length);
            if (ended != null) {
                throw ended;
            }
            return queueNow(buffer, offset, length);
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: queues for the writer thread as many bytes as there is room for; how many. */
    private int queueNow(byte[] buffer, int offset, int length) {
        int run = Math.max(0, Math.min(QUEUED_MOST - queuedData, length));
        if (run > 0) {
            encode(buffer, offset, run, outgoing);
            queuedData += run;
            transmittedCount += run;
            changed.signalAll();
        }
        return run;
    }

    @Override
    public void whenWritable(Executor executor, Runnable task) {
        lock.lock();
        try {
            if (!closed && !hungUp && queuedData >= QUEUED_MOST) {
                writable.add(executor, task);
                return;
            }
        } finally {
            lock.unlock();
        }
        WritableWaiters.handOver(executor, task);
    }

    @Override
    public int available() throws IOException {
        return whileOpen(received::count);
    }

    /** Done once the server's TCP has taken every byte: neither protocol says when the line has sent them. */
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

    /** What a subscription asks of this transport. */
    private final class Source implements EventSource {
        @Override
        public LineCounters counters() {
            lock.lock();
            try {
                return countersNow();
            } finally {
                lock.unlock();
            }
        }

        @Override
        public ModemLines lines() {
            lock.lock();
            try {
                return linesNow();
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
        writable.release();
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
