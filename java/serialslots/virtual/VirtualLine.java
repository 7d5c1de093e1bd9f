package serialslots.virtual;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Function;
import serialslots.ByteError;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.Rs485;
import serialslots.events.EventSource;
import serialslots.internal.Deadline;
import serialslots.internal.Failures;
import serialslots.internal.Threads;
import serialslots.marking.Unmarker;
import serialslots.transport.ByteRing;
import serialslots.transport.WritableWaiters;

/**
 * A serial line held in memory: the device's end is played by a program (a
 * test), the other end is opened as a connection. It keeps what a driver
 * keeps: the bytes each way, the modem lines, the counts, the settings, who
 * holds it. Bytes pass at once, or at the line's speed when paced: what a
 * connection writes then waits in a transmit queue of a UART's size and
 * reaches the device a character time apart, timed lazily from a clock, with
 * no thread.
 */
public final class VirtualLine {

    /** What a connection's writes may queue before they wait: bytes the device has not read. */
    static final int RECEIVED_BY_DEVICE_MOST = 1 << 16;
    /** What the connection may be sent and not have read before the device's writes wait. */
    static final int RECEIVED_BY_CONNECTION_MOST = 1 << 16;
    /** A paced line's transmit queue, as a kernel's. */
    static final int TRANSMIT_QUEUE = 4096;
    /** A received 0xFF, as a line that marks errors gives it. */
    private static final byte[] DOUBLED_FF = {(byte) 0xFF, (byte) 0xFF};

    private final String name;
    private final boolean loopback;
    final ReentrantLock lock = new ReentrantLock();
    final Condition changed = lock.newCondition();
    private final WritableWaiters writable = new WritableWaiters();
    // All guarded by lock.
    private final ByteRing toConnection = new ByteRing(RECEIVED_BY_CONNECTION_MOST);
    // Marking as a tty with PARMRK: 0xFF doubled, a bad byte after 0xFF 0x00, its kind queued here.
    private boolean marking;
    private final ArrayDeque<ByteError> markKinds = new ArrayDeque<>();
    private final ByteRing toDevice = new ByteRing(RECEIVED_BY_DEVICE_MOST);
    private final ByteRing transmitting = new ByteRing(TRANSMIT_QUEUE);
    private long nextTransmitted;  // when the head of `transmitting` reaches the device
    private boolean paced;
    private boolean cts;
    private boolean dsr;
    private boolean dcd;
    private boolean ri;
    private boolean rts;
    private boolean dtr;
    private long received;
    private long transmitted;
    private long breaks;
    private long framingErrors;
    private long parityErrors;
    private long overruns;
    private long ctsChanges;
    private long dsrChanges;
    private long dcdChanges;
    private long rings;
    private int breaksReceived;
    private boolean breaking;
    private LineSettings settings;
    private Optional<Rs485> rs485 = Optional.empty();
    private boolean lowLatency;
    private boolean plugged = true;
    private boolean ended;
    private int generation;  // a hang-up starts a new one: connections of an older one have hung up
    private int sharedHolders;
    private boolean exclusivelyHeld;
    private Function<byte[], byte[]> responder;
    private final ArrayDeque<byte[]> requests = new ArrayDeque<>();
    private boolean responderRunning;
    private boolean responderFailed;
    private final List<VirtualTransport> connections = new CopyOnWriteArrayList<>();

    VirtualLine(String name, boolean loopback) {
        this.name = name;
        this.loopback = loopback;
    }

    /** A new device's line, plugged in, that "virtual:" + name opens. */
    public static VirtualLine create(String name) throws IOException {
        return VirtualRegistry.create(name);
    }

    public String name() {
        return name;
    }

    // The device's end.

    /** The bytes the connection sent, in order: up to length, at least one, waiting for them; -1 once ended. */
    public int deviceRead(byte[] buffer, int offset, int length) {
        lock.lock();
        try {
            for (;;) {
                advance();
                if (toDevice.count() > 0) {
                    int got = toDevice.take(buffer, offset, length);
                    signal();
                    return got;
                }
                if (ended) {
                    return -1;
                }
                awaitTransmission();
            }
        } finally {
            lock.unlock();
        }
    }

    public int deviceAvailable() {
        lock.lock();
        try {
            advance();
            return toDevice.count();
        } finally {
            lock.unlock();
        }
    }

    /** Bytes for the connection to receive; paced, at the line's speed; waits while the connection reads none. */
    public void deviceWrite(byte[] bytes, int offset, int length) throws IOException {
        for (int done = 0; done < length;) {
            long characterNanos = characterNanos();
            int chunk = characterNanos == 0 ? length - done : 1;
            if (characterNanos > 0) {
                LockSupport.parkNanos(characterNanos);
            }
            lock.lock();
            try {
                while (toConnection.room() == 0 && !ended && plugged) {
                    changed.awaitUninterruptibly();
                }
                if (ended) {
                    throw Failures.closed(name);
                }
                if (!plugged || holders() == 0) {
                    return;  // nobody listens: the bytes fall on the floor, as on a real wire
                }
                int put = putReceived(bytes, offset + done, chunk);
                received += put;
                done += put;
                signal();
            } finally {
                lock.unlock();
            }
            tell(EventSource.INPUT);
        }
    }

    /** Each write of the connection becomes a request: the reply goes out as the device's output. */
    public void respond(Function<byte[], byte[]> responder) {
        lock.lock();
        try {
            this.responder = responder;
            responderFailed = false;
            if (responder != null && !responderRunning) {
                responderRunning = true;
                Threads.start("serialslots-virtual-responder " + name, this::answerRequests);
            }
            signal();
        } finally {
            lock.unlock();
        }
    }

    private void answerRequests() {
        for (;;) {
            byte[] request;
            Function<byte[], byte[]> answering;
            lock.lock();
            try {
                while (requests.isEmpty() && responder != null && !ended) {
                    changed.awaitUninterruptibly();
                }
                if (responder == null || ended) {
                    responderRunning = false;
                    return;
                }
                request = requests.poll();
                answering = responder;
            } finally {
                lock.unlock();
            }
            byte[] reply;
            try {
                reply = answering.apply(request);
            } catch (RuntimeException | Error thrown) {
                reportOnce(thrown);
                continue;
            }
            if (reply != null && reply.length > 0) {
                try {
                    deviceWrite(reply, 0, reply.length);
                } catch (IOException ended) {
                    return;
                }
            }
        }
    }

    private void reportOnce(Throwable thrown) {
        lock.lock();
        try {
            if (responderFailed) {
                return;
            }
            responderFailed = true;
        } finally {
            lock.unlock();
        }
        System.err.println(Failures.responderThrew(name, thrown));
    }

    public void setInputs(Boolean newCts, Boolean newDsr, Boolean newDcd, Boolean newRi) {
        lock.lock();
        try {
            if (newCts != null && newCts != cts) {
                cts = newCts;
                ctsChanges++;
            }
            if (newDsr != null && newDsr != dsr) {
                dsr = newDsr;
                dsrChanges++;
            }
            if (newDcd != null && newDcd != dcd) {
                dcd = newDcd;
                dcdChanges++;
            }
            if (newRi != null && newRi != ri) {
                // A ring counts at its trailing edge, as a UART's driver counts it.
                rings += ri ? 1 : 0;
                ri = newRi;
            }
        } finally {
            lock.unlock();
        }
        tell(EventSource.MODEM);
    }

    /** A line error or break the connection receives, as a driver counts it. */
    public void inject(Injected kind) {
        lock.lock();
        try {
            switch (kind) {
                case BREAK -> breaks++;
                case FRAMING_ERROR -> framingErrors++;
                case PARITY_ERROR -> parityErrors++;
                case OVERRUN -> overruns++;
            }
        } finally {
            lock.unlock();
        }
        tell(EventSource.MODEM);
    }

    /** What the device can make the connection receive. */
    public enum Injected { BREAK, FRAMING_ERROR, PARITY_ERROR, OVERRUN }

    /**
     * The connection receives {@code value} with {@code error}, counted as
     * inject counts it: in the stream as a tty gives it, a break as 0, and
     * marked for a connection that marks.
     */
    public void injectReceived(ByteError error, int value) throws IOException {
        byte arrived = (byte) (error == ByteError.BREAK ? 0 : value);
        lock.lock();
        try {
            while (toConnection.room() < 3 && !ended && plugged) {
                changed.awaitUninterruptibly();
            }
            if (ended) {
                throw Failures.closed(name);
            }
            if (plugged && holders() > 0) {
                // A device knows where bytes were lost: an overrun is marked on its byte too.
                if (marking && error != ByteError.NONE) {
                    toConnection.put(new byte[] {(byte) 0xFF, 0, arrived}, 0, 3);
                    markKinds.add(error);
                } else {
                    putReceived(new byte[] {arrived}, 0, 1);
                }
                received++;
                signal();
            }
        } finally {
            lock.unlock();
        }
        switch (error) {
            case BREAK -> inject(Injected.BREAK);
            case FRAMING -> inject(Injected.FRAMING_ERROR);
            case PARITY -> inject(Injected.PARITY_ERROR);
            case OVERRUN -> inject(Injected.OVERRUN);
            case NONE -> { }
        }
        tell(EventSource.INPUT);
    }

    /** With lock held: bytes into the connection's ring, a 0xFF doubled where it marks; how many went. */
    private int putReceived(byte[] bytes, int offset, int length) {
        if (!marking) {
            return toConnection.put(bytes, offset, length);
        }
        int put = 0;
        while (put < length) {
            int run = put;
            while (run < length && bytes[offset + run] != (byte) 0xFF) {
                run++;
            }
            put += toConnection.put(bytes, offset + put, run - put);
            if (put < run || put == length || toConnection.room() < 2) {
                break;  // the ring is full, or all went
            }
            toConnection.put(DOUBLED_FF, 0, 2);
            put++;
        }
        return put;
    }

    /** The kinds of the marks in the connection's ring, as they were injected. */
    Unmarker.Kinds kinds() {
        return new Unmarker.Kinds() {
            @Override
            public void refresh() {
            }

            @Override
            public ByteError marked(int value) {
                lock.lock();
                try {
                    ByteError kind = markKinds.poll();
                    return kind == null ? ByteError.PARITY : kind;
                } finally {
                    lock.unlock();
                }
            }

            @Override
            public boolean overran() {
                return false;  // marked in place instead
            }
        };
    }

    public boolean rts() {
        lock.lock();
        try {
            return rts;
        } finally {
            lock.unlock();
        }
    }

    public boolean dtr() {
        lock.lock();
        try {
            return dtr;
        } finally {
            lock.unlock();
        }
    }

    public LineSettings settings() {
        lock.lock();
        try {
            return settings;
        } finally {
            lock.unlock();
        }
    }

    public int breaksReceived() {
        lock.lock();
        try {
            return breaksReceived;
        } finally {
            lock.unlock();
        }
    }

    public void pace(boolean atLineSpeed) {
        lock.lock();
        try {
            advance();
            paced = atLineSpeed;
            nextTransmitted = System.nanoTime();
            signal();
        } finally {
            lock.unlock();
        }
    }

    public boolean isOpen() {
        lock.lock();
        try {
            return holders() > 0;
        } finally {
            lock.unlock();
        }
    }

    /** The cable pulled: every connection hangs up; with `end`, for good. */
    public void unplug(boolean end) {
        boolean wasPlugged;
        lock.lock();
        try {
            if ((!plugged && !end) || ended) {
                return;
            }
            wasPlugged = plugged;
            plugged = false;
            ended |= end;
            generation++;
            sharedHolders = 0;
            exclusivelyHeld = false;
            // The kernel discards what was unread at a hang-up.
            toConnection.clear();
            transmitting.clear();
            signal();
            writable.release();  // their next call says the line hung up
        } finally {
            lock.unlock();
        }
        tell(EventSource.HANG_UP);
        connections.clear();
        if (end) {
            VirtualRegistry.remove(this);
        }
        if (wasPlugged) {
            VirtualRegistry.plugged(this, false);
        }
    }

    public void plugBack() {
        lock.lock();
        try {
            if (ended || plugged) {
                return;
            }
            plugged = true;
        } finally {
            lock.unlock();
        }
        VirtualRegistry.plugged(this, true);
    }

    boolean plugged() {
        lock.lock();
        try {
            return plugged && !ended;
        } finally {
            lock.unlock();
        }
    }

    // The connection's end.

    /** Takes the line for a connection: its generation, or an exception. */
    int hold(VirtualTransport connection, boolean exclusive, LineSettings wanted, boolean marks) throws IOException {
        lock.lock();
        try {
            if (ended || !plugged) {
                throw Failures.noVirtualDevice(name, VirtualRegistry.names());
            }
            if (exclusivelyHeld || (exclusive && sharedHolders > 0)) {
                throw Failures.busyHere(name);
            }
            if (holders() == 0) {
                // Opening a tty raises DTR and RTS.
                rts = true;
                dtr = true;
                wire();
            }
            exclusivelyHeld = exclusive;
            sharedHolders += exclusive ? 0 : 1;
            settings = wanted;
            if (marks != marking) {
                // As a tty's PARMRK: what is queued already stays as it came.
                marking = marks;
                markKinds.clear();
            }
            connections.add(connection);
            return generation;
        } finally {
            lock.unlock();
        }
    }

    /** With lock held: a loop's outputs are its inputs. */
    private void wire() {
        if (loopback) {
            if (cts != rts) {
                cts = rts;
                ctsChanges++;
            }
            if (dsr != dtr) {
                dsr = dtr;
                dsrChanges++;
            }
            if (dcd != dtr) {
                dcd = dtr;
                dcdChanges++;
            }
        }
    }

    void release(VirtualTransport connection, int heldGeneration, boolean exclusive) {
        lock.lock();
        try {
            connections.remove(connection);
            if (heldGeneration == generation) {
                if (exclusive) {
                    exclusivelyHeld = false;
                } else {
                    sharedHolders--;
                }
            }
            signal();
        } finally {
            lock.unlock();
        }
    }

    /** With lock held. */
    private int holders() {
        return (exclusivelyHeld ? 1 : 0) + sharedHolders;
    }

    /** With lock held: whether a connection of `heldGeneration` is gone with the device. */
    boolean hungUp(int heldGeneration) {
        return heldGeneration != generation;
    }

    /** With lock held: what the device sent and the connection has not read. */
    ByteRing toConnection() {
        return toConnection;
    }

    /** With lock held: wakes every waiter; hands writers' tasks on once a connection's bytes have room. */
    void signal() {
        changed.signalAll();
        if (!writable.isEmpty() && (ended || roomForConnection() > 0)) {
            writable.release();
        }
    }

    /** Hands every writer's task on: a connection closed, and its next call says so. */
    void releaseWriters() {
        writable.release();
    }

    /** With lock held: `task` goes to `executor` once a connection's bytes have room, or the line ends. */
    void whenRoom(Executor executor, Runnable task) {
        writable.add(executor, task);
        long untilCarried = nanosToNextTransmission();
        if (untilCarried != Long.MAX_VALUE) {
            // A paced line makes room as time passes, with no call to notice it.
            CompletableFuture.delayedExecutor(untilCarried, TimeUnit.NANOSECONDS).execute(() -> {
                lock.lock();
                try {
                    signal();
                } finally {
                    lock.unlock();
                }
            });
        }
    }

    /** With lock held: room for a connection's bytes now, after what the line carried meanwhile. */
    int roomForConnection() {
        advance();
        return paced ? transmitting.room() : toDevice.room();
    }

    /** With lock held: queues a connection's bytes, as much as there is room for; returns how many. */
    int connectionWrite(byte[] bytes, int offset, int length) {
        int put;
        if (loopback) {
            put = putReceived(bytes, offset, length);
            received += put;
        } else if (paced) {
            if (transmitting.count() == 0) {
                nextTransmitted = Math.max(nextTransmitted, System.nanoTime()) + characterNanos();
            }
            put = transmitting.put(bytes, offset, length);
        } else {
            put = toDevice.put(bytes, offset, length);
        }
        transmitted += put;
        signal();
        return put;
    }

    /** With lock held: one write of the connection was whole, as a request for a responder. */
    boolean takeRequest(byte[] bytes, int offset, int length) {
        if (responder == null || loopback) {
            return false;
        }
        byte[] request = new byte[length];
        System.arraycopy(bytes, offset, request, 0, length);
        requests.add(request);
        transmitted += length;
        signal();
        return true;
    }

    /** With lock held: whether everything the connection wrote has reached the device. */
    boolean transmitted() {
        advance();
        return transmitting.count() == 0;
    }

    /** With lock held: moves what a paced line has carried by now to the device. */
    private void advance() {
        if (transmitting.count() == 0) {
            return;
        }
        long characterNanos = characterNanos();
        long now = System.nanoTime();
        if (characterNanos == 0) {
            nextTransmitted = now;
        }
        byte[] one = new byte[1];
        while (transmitting.count() > 0 && toDevice.room() > 0 && now - nextTransmitted >= 0) {
            transmitting.take(one, 0, 1);
            toDevice.put(one, 0, 1);
            nextTransmitted += characterNanos;
            changed.signalAll();
        }
    }

    /** With lock held: how long until the next paced byte reaches the device; Long.MAX_VALUE for none. */
    long nanosToNextTransmission() {
        return paced && transmitting.count() > 0 ? Math.max(1, nextTransmitted - System.nanoTime()) : Long.MAX_VALUE;
    }

    /** With lock held: waits until the next paced byte reaches the device, or anything changes. */
    private void awaitTransmission() {
        if (transmitting.count() > 0 && paced) {
            try {
                changed.awaitNanos(Math.max(1, nextTransmitted - System.nanoTime()));
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        } else {
            changed.awaitUninterruptibly();
        }
    }

    /** With lock held. */
    private long characterNanos() {
        LineSettings now = settings;
        return paced && now != null ? now.characterMicros() * 1000L : 0;
    }

    void discardToConnection() {
        lock.lock();
        try {
            toConnection.clear();
            signal();
        } finally {
            lock.unlock();
        }
    }

    void discardFromConnection() {
        lock.lock();
        try {
            transmitting.clear();
            signal();
        } finally {
            lock.unlock();
        }
    }

    void setBreak(boolean on) {
        lock.lock();
        try {
            if (on && !breaking) {
                breaksReceived++;
            }
            breaking = on;
            if (on && loopback) {
                breaks++;
            }
        } finally {
            lock.unlock();
        }
        if (on && loopback) {
            tell(EventSource.MODEM);
        }
    }

    void setOutputs(Boolean newRts, Boolean newDtr) {
        lock.lock();
        try {
            if (newRts != null) {
                rts = newRts;
            }
            if (newDtr != null) {
                dtr = newDtr;
            }
            wire();
        } finally {
            lock.unlock();
        }
        if (loopback) {
            tell(EventSource.MODEM);
        }
    }

    ModemLines lines() {
        lock.lock();
        try {
            return new ModemLines(cts, dsr, dcd, ri, rts, dtr);
        } finally {
            lock.unlock();
        }
    }

    LineCounters counters() {
        lock.lock();
        try {
            return new LineCounters(received, transmitted, breaks, framingErrors, parityErrors, overruns, 0,
                    ctsChanges, dsrChanges, dcdChanges, rings);
        } finally {
            lock.unlock();
        }
    }

    void configure(LineSettings wanted) {
        lock.lock();
        try {
            advance();
            settings = wanted;
        } finally {
            lock.unlock();
        }
    }

    void setRs485(Optional<Rs485> mode) {
        lock.lock();
        try {
            rs485 = mode;
        } finally {
            lock.unlock();
        }
    }

    Optional<Rs485> rs485() {
        lock.lock();
        try {
            return rs485;
        } finally {
            lock.unlock();
        }
    }

    void setLowLatency(boolean on) {
        lock.lock();
        try {
            lowLatency = on;
        } finally {
            lock.unlock();
        }
    }

    boolean lowLatency() {
        lock.lock();
        try {
            return lowLatency;
        } finally {
            lock.unlock();
        }
    }

    /** Tells every open connection's subscriptions. */
    private void tell(int work) {
        for (VirtualTransport connection : connections) {
            connection.tell(work);
        }
    }
}
