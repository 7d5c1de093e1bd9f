package serialslots.local;

import java.io.IOException;
import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.Executor;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Consumer;
import serialslots.LineCounters;
import serialslots.ModemLines;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.events.EventSource;
import serialslots.events.Listening;

/**
 * A local device's events: its registration with the event loop (arrivals and
 * hang-up), the thread that waits for its modem lines while a subscription
 * wants them (the kernel offers only a blocking wait for those), and its
 * subscriptions, each told of what happened.
 */
final class LocalEvents implements EventLoop.Target, EventSource {

    private static final Set<SerialEventType> MODEM_TYPES =
            EnumSet.of(SerialEventType.CTS, SerialEventType.DSR, SerialEventType.DCD, SerialEventType.RI);
    private static final long WATCHER_STACK = 128 * 1024;

    private final LocalTransport transport;
    private final long handle;
    private final List<Listening> subscriptions = new CopyOnWriteArrayList<>();
    private final ReentrantLock lock = new ReentrantLock();
    private EventLoop.Registration registration;  // guarded by lock
    private Thread modemWatcher;                  // guarded by lock
    private volatile boolean noModemLines;
    private volatile boolean noCounters;

    LocalEvents(LocalTransport transport, long handle) {
        this.transport = transport;
        this.handle = handle;
    }

    Subscription subscribe(Set<SerialEventType> types, Executor executor, Consumer<SerialEvent> listener)
            throws IOException {
        Listening subscription = new Listening(this, types, executor, listener);
        lock.lock();
        try {
            if (registration == null) {
                EventLoop.Registration added = EventLoop.get().add(this);
                long result = NativeConnection.watch(handle, added.poller(),
                        NativeConnection.WATCH_EVENTS, added.token());
                if (NativeConnection.statusOf(result) != NativeConnection.DONE) {
                    EventLoop.get().remove(added);
                    transport.check("listening", result, 0);
                }
                registration = added;
            }
            subscriptions.add(subscription);
            if (subscription.wants(MODEM_TYPES) && modemWatcher == null) {
                NativeConnection.stopModemWaits(handle, false);
                modemWatcher = new Thread(null, this::watchModemLines, "serialslots-modem " + transport.name(),
                        WATCHER_STACK);
                modemWatcher.setDaemon(true);
                modemWatcher.start();
            }
        } finally {
            lock.unlock();
        }
        // Bytes already waiting are news to a new subscription.
        subscription.activity(EventSource.INPUT);
        return subscription;
    }

    @Override
    public void unsubscribe(Listening subscription) {
        Thread stopped = null;
        lock.lock();
        try {
            if (!subscriptions.remove(subscription)) {
                return;
            }
            if (modemWatcher != null && subscriptions.stream().noneMatch(other -> other.wants(MODEM_TYPES))) {
                NativeConnection.stopModemWaits(handle, true);
                stopped = modemWatcher;
                modemWatcher = null;
            }
            if (subscriptions.isEmpty() && registration != null) {
                NativeConnection.unwatch(handle, registration.poller(), NativeConnection.WATCH_EVENTS);
                EventLoop.get().remove(registration);
                registration = null;
            }
        } finally {
            lock.unlock();
        }
        if (stopped != null && stopped != Thread.currentThread()) {
            try {
                // A signal has cut its wait short; it leaves at once.
                stopped.join(1000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /** Ends every subscription, without a HANG_UP: the connection is closing. */
    void closeAll() {
        for (Listening subscription : subscriptions) {
            subscription.close();
        }
    }

    @Override
    public void ready(int readiness) {
        int work = ((readiness & NativeConnection.READY_IN) != 0 ? EventSource.INPUT : 0)
                | ((readiness & NativeConnection.READY_HANG_UP) != 0 ? EventSource.HANG_UP : 0);
        for (Listening subscription : subscriptions) {
            subscription.activity(work);
        }
    }

    private void watchModemLines() {
        for (;;) {
            long result = NativeConnection.awaitModemChange(handle);
            if (NativeConnection.statusOf(result) != NativeConnection.DONE) {
                // Stopped, closed, or a device without modem lines: nothing to wait for.
                return;
            }
            for (Listening subscription : subscriptions) {
                subscription.activity(EventSource.MODEM);
            }
        }
    }

    @Override
    public ModemLines lines() {
        if (noModemLines) {
            return null;
        }
        long result = NativeConnection.modemLines(handle);
        if (NativeConnection.statusOf(result) != NativeConnection.DONE) {
            noModemLines = driverLacks(result);
            return null;
        }
        return LocalTransport.linesOf(NativeConnection.value(result));
    }

    @Override
    public LineCounters counters() {
        if (noCounters) {
            return null;
        }
        long[] counts = new long[NativeConnection.COUNTER_LENGTH];
        long result = NativeConnection.counters(handle, counts);
        if (NativeConnection.statusOf(result) != NativeConnection.DONE) {
            noCounters = driverLacks(result);
            return null;
        }
        return LocalTransport.countersOf(counts);
    }

    /** A device that has none, not a call that failed once (a USB adapter's EIO): remembered. */
    private static boolean driverLacks(long result) {
        return NativeConnection.statusOf(result) == NativeConnection.FAILED
                && NativeConnection.driverLacks(NativeConnection.errno(NativeConnection.code(result)));
    }

    @Override
    public int waiting() {
        long result = NativeConnection.available(handle);
        return NativeConnection.statusOf(result) == NativeConnection.DONE
                ? NativeConnection.value(result) : 0;
    }
}
