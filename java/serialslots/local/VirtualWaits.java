package serialslots.local;

import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReferenceArray;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;
import serialslots.internal.Deadline;
import serialslots.transport.WritableWaiters;

/**
 * The waits of virtual threads. A native call that waits would hold its
 * carrier thread, so these wait in Java instead: steps that do not wait, and
 * between them a park until the event loop says the device is ready, the
 * timeout passes or the connection closes. Results are as the waiting natives'.
 * Tasks waiting for room to write are told by the same readiness.
 */
final class VirtualWaits {

    private static final int READ = 0;
    private static final int WRITE = 1;
    private static final long DRAIN_NAP_NANOS = TimeUnit.MILLISECONDS.toNanos(5);

    private final LocalTransport connection;
    private final AtomicReferenceArray<Thread> waiters = new AtomicReferenceArray<>(2);
    private final EventLoop.Registration[] registrations = new EventLoop.Registration[2];  // guarded by lock
    private final ReentrantLock lock = new ReentrantLock();
    private boolean closed;  // guarded by lock
    private final WritableWaiters writable = new WritableWaiters();

    VirtualWaits(LocalTransport connection) {
        this.connection = connection;
    }

    /** A read; with idleMicros, then more until the line is silent that long or the buffer is full. */
    long read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) {
        Deadline deadline = Deadline.afterMillis(timeoutMillis);
        long first;
        for (;;) {
            first = NativeConnection.readNow(connection.handle(), buffer, offset, length);
            if (NativeConnection.statusOf(first) != NativeConnection.WOULD_BLOCK) {
                break;
            }
            if (deadline.passed()) {
                return NativeConnection.result(NativeConnection.TIMED_OUT, 0);
            }
            await(READ, deadline);
        }
        if (idleMicros == 0 || NativeConnection.statusOf(first) != NativeConnection.DONE) {
            return first;
        }
        int got = NativeConnection.value(first);
        Deadline silentUntil = Deadline.afterMicros(idleMicros);
        while (got < length && !silentUntil.passed()) {
            long more = NativeConnection.readNow(connection.handle(), buffer, offset + got, length - got);
            if (NativeConnection.statusOf(more) == NativeConnection.DONE) {
                got += NativeConnection.value(more);
                silentUntil = Deadline.afterMicros(idleMicros);
            } else if (NativeConnection.statusOf(more) == NativeConnection.WOULD_BLOCK) {
                await(READ, silentUntil);
            } else {
                break;  // closed or gone: the frame so far; the next call says so
            }
        }
        return got;
    }

    long write(byte[] buffer, int offset, int length, int timeoutMillis) {
        Deadline deadline = Deadline.afterMillis(timeoutMillis);
        int done = 0;
        while (done < length) {
            long result = NativeConnection.writeNow(connection.handle(), buffer, offset + done, length - done);
            int status = NativeConnection.statusOf(result);
            if (status == NativeConnection.DONE) {
                done += NativeConnection.value(result);
            } else if (status != NativeConnection.WOULD_BLOCK) {
                return NativeConnection.result(NativeConnection.code(result), done);
            } else if (deadline.passed()) {
                return NativeConnection.result(NativeConnection.TIMED_OUT, done);
            } else {
                await(WRITE, deadline);
            }
        }
        return done;
    }

    long drain(int timeoutMillis) {
        Deadline deadline = Deadline.afterMillis(timeoutMillis);
        for (;;) {
            long result = NativeConnection.outputQueued(connection.handle());
            if (NativeConnection.statusOf(result) != NativeConnection.WOULD_BLOCK) {
                if (NativeConnection.statusOf(result) != NativeConnection.DONE) {
                    return result;
                }
                break;
            }
            if (deadline.passed()) {
                return NativeConnection.result(NativeConnection.TIMED_OUT, 0);
            }
            if (connection.isClosing()) {
                return NativeConnection.result(NativeConnection.CLOSED, 0);
            }
            // No event marks an emptied queue: short naps, which leave the carrier.
            LockSupport.parkNanos(this, DRAIN_NAP_NANOS);
        }
        // What is left is in the UART: the native wait for it is a character's time.
        return NativeConnection.drain(connection.handle(), deadline.bounded() ? Math.max(1, deadline.millisLeft()) : 0);
    }

    /** Has the event loop hand `task` over once the device takes output (or the connection closes). */
    void whenWritable(Executor executor, Runnable task) {
        writable.add(executor, task);
        EventLoop.Registration registration = registration(WRITE);
        long armed = registration == null ? 0 : NativeConnection.watch(connection.handle(), registration.poller(),
                NativeConnection.WATCH_WRITE, registration.token());
        if (registration == null || NativeConnection.statusOf(armed) != NativeConnection.DONE
                || connection.isClosing()) {
            writable.release();  // the next call says why
        }
    }

    /** Wakes every waiting virtual thread and leaves the event loop. */
    void close() {
        lock.lock();
        try {
            closed = true;
            for (int kind = READ; kind <= WRITE; kind++) {
                if (registrations[kind] != null) {
                    EventLoop.get().remove(registrations[kind]);
                    registrations[kind] = null;
                }
                Thread waiter = waiters.get(kind);
                if (waiter != null) {
                    LockSupport.unpark(waiter);
                }
            }
        } finally {
            lock.unlock();
        }
        writable.release();
    }

    /** Parks until the device may be ready for `kind`; returning early is fine: the caller tries again. */
    private void await(int kind, Deadline deadline) {
        EventLoop.Registration registration = registration(kind);
        if (registration == null) {
            return;  // closed: the next step says so
        }
        waiters.set(kind, Thread.currentThread());
        try {
            long armed = NativeConnection.watch(connection.handle(), registration.poller(),
                    kind == READ ? NativeConnection.WATCH_READ : NativeConnection.WATCH_WRITE, registration.token());
            if (NativeConnection.statusOf(armed) != NativeConnection.DONE || connection.isClosing()) {
                return;
            }
            if (deadline.bounded()) {
                LockSupport.parkNanos(this, deadline.nanosLeft());
            } else {
                LockSupport.park(this);
            }
        } finally {
            waiters.set(kind, null);
        }
    }

    private EventLoop.Registration registration(int kind) {
        lock.lock();
        try {
            if (closed) {
                return null;
            }
            if (registrations[kind] == null) {
                registrations[kind] = EventLoop.get().add(readiness -> {
                    Thread waiter = waiters.get(kind);
                    if (waiter != null) {
                        LockSupport.unpark(waiter);
                    }
                    if (kind == WRITE) {
                        writable.release();
                    }
                });
            }
            return registrations[kind];
        } catch (java.io.IOException cannotWait) {
            return null;
        } finally {
            lock.unlock();
        }
    }
}
