package serialslots.local;

import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;
import serialslots.events.Delivery;
import serialslots.internal.Failures;

/**
 * Waits for every connection's events in one place: arrivals and hang-ups of
 * subscribed connections, and the readiness virtual threads wait for. Its
 * threads wait together in one epoll set, with no timer, and the kernel wakes
 * one of them for each readiness. What the targets ask the library's pool
 * to run is handed to {@link Delivery}, whose policy it is; where it needs
 * another thread to wait meanwhile, this starts one. Two wait while nothing
 * runs; more end once their listeners return, and all once nothing is
 * registered.
 */
public final class EventLoop {

    /** Told, on a loop thread, what became ready: READY_ bits. It must not wait. */
    public interface Target {
        void ready(int readiness);
    }

    /** A registration: its token, and the poller to watch descriptors with. */
    public record Registration(long token, long poller) {
    }

    private static final EventLoop INSTANCE = new EventLoop();
    private static final int WAITING_WHEN_IDLE = 2;

    private final Map<Long, Target> targets = new ConcurrentHashMap<>();
    private final AtomicLong tokens = new AtomicLong();
    private final AtomicInteger waiting = new AtomicInteger();
    private final ReentrantLock lock = new ReentrantLock();
    private long poller;  // guarded by lock; 0 while no thread runs
    private int threads;  // guarded by lock

    private EventLoop() {
    }

    public static EventLoop get() {
        return INSTANCE;
    }

    /** Registers a target, making the poller and a thread to wait in it where there are none. */
    public Registration add(Target target) throws IOException {
        lock.lock();
        try {
            if (poller == 0) {
                poller = NativeConnection.createPoller();
                if (poller == 0) {
                    throw Failures.noEventSet();
                }
            }
            long token = tokens.incrementAndGet();
            targets.put(token, target);
            if (threads == 0) {
                startThread();
            }
            return new Registration(token, poller);
        } finally {
            lock.unlock();
        }
    }

    public void remove(Registration registration) {
        lock.lock();
        try {
            if (targets.remove(registration.token()) != null && targets.isEmpty() && poller != 0) {
                // The threads wait without a limit while anything is registered: now they end.
                NativeConnection.wakePoller(poller);
            }
        } finally {
            lock.unlock();
        }
    }

    private void startThread() {
        threads++;
        Thread thread = new Thread(this::run, "serialslots-events");
        thread.setDaemon(true);
        thread.start();
    }

    private void run() {
        long waitOn;
        lock.lock();
        try {
            waitOn = poller;  // destroyed only by the last thread to leave
        } finally {
            lock.unlock();
        }
        Wake wake = new Wake();
        List<Runnable> gathered = new ArrayList<>();
        Runnable keepWaiting = this::spare;
        for (;;) {
            waiting.incrementAndGet();
            wake.count = NativeConnection.awaitReady(waitOn, wake.ready, wake.readiness, -1);
            int othersWaiting = waiting.decrementAndGet();
            if (wake.count < 0) {
                // Never expected; a pause keeps a failing wait from spinning.
                LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(10));
            }
            Delivery.gather(gathered, wake);
            Delivery.runNoticed(gathered, othersWaiting > 0, keepWaiting);
            gathered.clear();
            if ((wake.woken || waiting.get() >= WAITING_WHEN_IDLE) && leave(waitOn)) {
                return;
            }
        }
    }

    /** What one wait of a loop thread found, told to the targets; one per thread, used for every wait. */
    private final class Wake implements Runnable {
        final long[] ready = new long[64];
        final int[] readiness = new int[ready.length];
        int count;
        boolean woken;

        @Override
        public void run() {
            woken = false;
            for (int i = 0; i < count; i++) {
                Target target = targets.get(ready[i]);
                if (target != null) {
                    target.ready(readiness[i]);
                }
                woken |= ready[i] == NativeConnection.WOKEN;
            }
        }
    }

    /** Another thread to wait while this one runs listeners. */
    private void spare() {
        lock.lock();
        try {
            startThread();
        } finally {
            lock.unlock();
        }
    }

    /**
     * Whether this thread ends: nothing is registered, or enough others wait.
     * A wake that finds something registered again is cleared. The last to
     * leave destroys the poller.
     */
    private boolean leave(long waitOn) {
        lock.lock();
        try {
            if (!targets.isEmpty()) {
                if (waiting.get() < WAITING_WHEN_IDLE) {
                    NativeConnection.clearWake(waitOn);
                    return false;
                }
            }
            if (--threads == 0) {
                NativeConnection.destroyPoller(poller);
                poller = 0;
            }
            return true;
        } finally {
            lock.unlock();
        }
    }
}
