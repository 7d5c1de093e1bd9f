package serialslots.virtual;

import java.io.IOException;
import java.util.List;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.Executor;
import java.util.function.Consumer;
import serialslots.ByteError;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.PortOption;
import serialslots.Rs485;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.events.EventSource;
import serialslots.events.Listening;
import serialslots.internal.Deadline;
import serialslots.internal.Failures;
import serialslots.marking.Unmarker;
import serialslots.transport.Transport;
import serialslots.transport.WritableWaiters;

/**
 * A connection to a line held in memory: a virtual device, or a loop. It
 * waits in Java only, so virtual threads never hold their carriers, and it
 * needs no native library.
 */
public final class VirtualTransport implements Transport {

    private final VirtualLine line;
    private final boolean exclusive;
    private final int generation;
    private final List<Listening> subscriptions = new CopyOnWriteArrayList<>();
    private final Unmarker unmarker;  // null unless bytes come marked
    private boolean closed;  // guarded by line.lock

    private VirtualTransport(VirtualLine line, boolean exclusive, LineSettings settings, Set<PortOption> options)
            throws IOException {
        this.line = line;
        this.exclusive = exclusive;
        boolean marking = options.contains(PortOption.MARK_ERRORS);
        this.unmarker = marking ? new Unmarker(line.kinds()) : null;
        this.generation = line.hold(this, exclusive, settings, marking);
    }

    /** Opens a virtual device by its name, "virtual:NAME". */
    public static VirtualTransport open(String name, LineSettings settings, boolean exclusive,
            Set<PortOption> options) throws IOException {
        return new VirtualTransport(VirtualRegistry.find(name), exclusive, settings, options);
    }

    /** Opens a new loop: what it sends it receives, RTS comes back as CTS, DTR as DSR and DCD. */
    public static VirtualTransport loop(String name, LineSettings settings, Set<PortOption> options)
            throws IOException {
        if (!name.equals("loop://")) {
            throw Failures.badLoopName(name);
        }
        return new VirtualTransport(new VirtualLine(name, true), true, settings, options);
    }

    @Override
    public String name() {
        return line.name();
    }

    /** With the line's lock held: the exception for a call that cannot go on, or null. */
    private IOException ended(int transferred, int length) {
        if (closed) {
            return Failures.closed(name());
        }
        return line.hungUp(generation) ? Failures.disconnected(name(), transferred, length, null) : null;
    }

    /** Runs `call` under the line's lock once the connection is known to be open and the device there. */
    private <T> T open(Call<T> call) throws IOException {
        line.lock.lock();
        try {
            IOException ended = ended(0, 0);
            if (ended != null) {
                throw ended;
            }
            return call.run();
        } finally {
            line.lock.unlock();
        }
    }

    private interface Call<T> {
        T run() throws IOException;
    }

    @Override
    public int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) throws IOException {
        return Unmarker.read(unmarker, this::readAsReceived, buffer, offset, length, timeoutMillis, idleMicros);
    }

    @Override
    public int readMarked(byte[] buffer, ByteError[] errors, int offset, int length, int timeoutMillis)
            throws IOException {
        return Unmarker.readMarked(unmarker, name(), this::readAsReceived, buffer, errors, offset, length, timeoutMillis);
    }

    private int readAsReceived(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros)
            throws IOException {
        line.lock.lock();
        try {
            Deadline deadline = Deadline.afterMillis(timeoutMillis);
            while (line.toConnection().count() == 0) {
                if (closed) {
                    throw Failures.closed(name());
                }
                if (line.hungUp(generation)) {
                    return -1;
                }
                if (!await(deadline)) {
                    throw Failures.timedOut(name(), "read", timeoutMillis, 0, 0);
                }
            }
            int got = line.toConnection().take(buffer, offset, length);
            Deadline silentUntil = Deadline.afterMicros(idleMicros);
            while (idleMicros > 0 && got < length && !closed && !line.hungUp(generation)) {
                if (line.toConnection().count() > 0) {
                    got += line.toConnection().take(buffer, offset + got, length - got);
                    silentUntil = Deadline.afterMicros(idleMicros);
                } else if (!await(silentUntil)) {
                    break;
                }
            }
            line.signal();
            return got;
        } finally {
            line.lock.unlock();
        }
    }

    /** With the line's lock held: waits for a change until the deadline; false once it has passed. */
    private boolean await(Deadline deadline) {
        if (!deadline.bounded()) {
            line.changed.awaitUninterruptibly();
            return true;
        }
        long left = deadline.nanosLeft();
        if (left <= 0) {
            return false;
        }
        try {
            line.changed.awaitNanos(left);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        return true;
    }

    @Override
    public void write(byte[] buffer, int offset, int length, int timeoutMillis) throws IOException {
        line.lock.lock();
        try {
            if (takenAsRequest(buffer, offset, length)) {
                return;
            }
            Deadline deadline = Deadline.afterMillis(timeoutMillis);
            for (int done = 0; done < length;) {
                IOException ended = ended(done, length);
                if (ended != null) {
                    throw ended;
                }
                if (line.roomForConnection() > 0) {
                    done += line.connectionWrite(buffer, offset + done, length - done);
                } else if (!awaitRoom(deadline)) {
                    throw Failures.timedOut(name(), "write", timeoutMillis, done, length);
                }
            }
        } finally {
            line.lock.unlock();
        }
        tellLoop();
    }

    @Override
    public int writeNow(byte[] buffer, int offset, int length) throws IOException {
        int done;
        line.lock.lock();
        try {
            if (takenAsRequest(buffer, offset, length)) {
                done = length;
            } else {
                done = line.roomForConnection() > 0 ? line.connectionWrite(buffer, offset, length) : 0;
            }
        } finally {
            line.lock.unlock();
        }
        tellLoop();
        return done;
    }

    @Override
    public void whenWritable(Executor executor, Runnable task) {
        line.lock.lock();
        try {
            if (closed || line.hungUp(generation) || line.roomForConnection() > 0) {
                WritableWaiters.handOver(executor, task);
            } else {
                line.whenRoom(executor, task);
            }
        } finally {
            line.lock.unlock();
        }
    }

    /** With the line's lock held: fails once this connection has ended; true where a responder took the write whole. */
    private boolean takenAsRequest(byte[] buffer, int offset, int length) throws IOException {
        IOException ended = ended(0, length);
        if (ended != null) {
            throw ended;
        }
        return length > 0 && line.takeRequest(buffer, offset, length);
    }

    /** With the line's lock held: waits until the device reads or the line carries a byte; false once too late. */
    private boolean awaitRoom(Deadline deadline) {
        if (deadline.passed()) {
            return false;
        }
        awaitLine(deadline);
        return true;
    }

    /** With the line's lock held: waits for a change, up to the deadline or the next paced byte's arrival. */
    private void awaitLine(Deadline deadline) {
        long left = Math.min(deadline.nanosLeft(), line.nanosToNextTransmission());
        if (left == Long.MAX_VALUE) {
            line.changed.awaitUninterruptibly();
            return;
        }
        try {
            line.changed.awaitNanos(Math.max(1, left));
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** A loop receives what it sends: its subscriptions hear of it. */
    private void tellLoop() {
        line.lock.lock();
        boolean waiting;
        try {
            waiting = line.toConnection().count() > 0;
        } finally {
            line.lock.unlock();
        }
        if (waiting) {
            tell(EventSource.INPUT);
        }
    }

    @Override
    public int available() throws IOException {
        int waiting;
        line.lock.lock();
        try {
            if (closed) {
                throw Failures.closed(name());
            }
            waiting = line.hungUp(generation) ? 0 : line.toConnection().count();
        } finally {
            line.lock.unlock();
        }
        return unmarker == null ? waiting : unmarker.available(waiting, this::takeWithoutWaiting);
    }

    private int takeWithoutWaiting(byte[] buffer, int offset, int length) {
        line.lock.lock();
        try {
            int got = line.toConnection().take(buffer, offset, length);
            line.signal();
            return got;
        } finally {
            line.lock.unlock();
        }
    }

    @Override
    public void drain(int timeoutMillis) throws IOException {
        line.lock.lock();
        try {
            Deadline deadline = Deadline.afterMillis(timeoutMillis);
            for (;;) {
                IOException ended = ended(0, 0);
                if (ended != null) {
                    throw ended;
                }
                if (line.transmitted()) {
                    return;
                }
                if (deadline.passed()) {
                    throw Failures.timedOut(name(), "drain", timeoutMillis, 0, 0);
                }
                awaitLine(deadline);
            }
        } finally {
            line.lock.unlock();
        }
    }

    @Override
    public void discard(boolean input) throws IOException {
        open(() -> null);
        if (input) {
            line.discardToConnection();
            if (unmarker != null) {
                unmarker.discard();
            }
        } else {
            line.discardFromConnection();
        }
    }

    @Override
    public void setBreak(boolean on) throws IOException {
        open(() -> null);
        line.setBreak(on);
    }

    @Override
    public void setRts(boolean on) throws IOException {
        open(() -> null);
        line.setOutputs(on, null);
    }

    @Override
    public void setDtr(boolean on) throws IOException {
        open(() -> null);
        line.setOutputs(null, on);
    }

    @Override
    public ModemLines modemLines() throws IOException {
        open(() -> null);
        return line.lines();
    }

    @Override
    public LineSettings settings() throws IOException {
        return open(line::settings);
    }

    /** A virtual line takes every setting. */
    @Override
    public void reconfigure(LineSettings settings) throws IOException {
        open(() -> null);
        line.configure(settings);
    }

    @Override
    public LineCounters counters() throws IOException {
        open(() -> null);
        return line.counters();
    }

    @Override
    public void setRs485(Optional<Rs485> mode) throws IOException {
        open(() -> null);
        line.setRs485(mode);
    }

    @Override
    public Optional<Rs485> rs485() throws IOException {
        open(() -> null);
        return line.rs485();
    }

    @Override
    public void setLowLatency(boolean on) throws IOException {
        open(() -> null);
        line.setLowLatency(on);
    }

    @Override
    public boolean isLowLatency() throws IOException {
        open(() -> null);
        return line.lowLatency();
    }

    @Override
    public Subscription listen(Set<SerialEventType> types, Executor executor, Consumer<SerialEvent> listener)
            throws IOException {
        Listening subscription = new Listening(new Source(), types, executor, listener);
        subscriptions.add(subscription);
        subscription.activity(EventSource.INPUT);
        line.lock.lock();
        try {
            if (line.hungUp(generation)) {
                subscription.activity(EventSource.HANG_UP);
            }
        } finally {
            line.lock.unlock();
        }
        return subscription;
    }

    void tell(int work) {
        for (Listening subscription : subscriptions) {
            subscription.activity(work);
        }
    }

    /** What a subscription to this connection asks of it. */
    private final class Source implements EventSource {
        @Override
        public LineCounters counters() {
            return line.counters();
        }

        @Override
        public ModemLines lines() {
            return line.lines();
        }

        @Override
        public int waiting() {
            line.lock.lock();
            try {
                return line.hungUp(generation) ? 0 : line.toConnection().count();
            } finally {
                line.lock.unlock();
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
        line.lock.lock();
        try {
            if (closed) {
                return;
            }
            closed = true;
            line.signal();
        } finally {
            line.lock.unlock();
        }
        line.releaseWriters();
        line.release(this, generation, exclusive);
    }

    @Override
    public Runnable releaser() {
        return () -> { };
    }
}
