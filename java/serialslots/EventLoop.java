package serialslots;

import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;

/**
 * The one thread that waits for every connection's events: arrivals and
 * hang-ups of subscribed connections, and the readiness virtual threads wait
 * for. It only notices and hands on; listeners never run on it. It waits in
 * the kernel (epoll) with no timer, and exits a second after the last
 * registration has gone.
 */
final class EventLoop {

    /** Told, on the loop's thread, what became ready: READY_ bits. It must not wait. */
    interface Target {
        void ready(int readiness);
    }

    /** A registration: its token, and the poller to watch descriptors with. */
    record Registration(long token, long poller) {
    }

    private static final EventLoop INSTANCE = new EventLoop();
    private static final long LINGER_NANOS = TimeUnit.SECONDS.toNanos(1);

    private final Map<Long, Target> targets = new ConcurrentHashMap<>();
    private final AtomicLong tokens = new AtomicLong();
    private final ReentrantLock lock = new ReentrantLock();
    private long poller;    // guarded by lock; 0 while no thread runs
    private Thread thread;  // guarded by lock

    private EventLoop() {
    }

    static EventLoop get() {
        return INSTANCE;
    }

    /** Registers a target, starting the thread where none runs. */
    Registration add(Target target) throws java.io.IOException {
        lock.lock();
        try {
            if (thread == null) {
                poller = NativeConnection.createPoller();
                if (poller == 0) {
                    throw new java.io.IOException("cannot wait for events: the system refused an epoll set");
                }
                thread = new Thread(this::run, "serialslots-events");
                thread.setDaemon(true);
                thread.start();
            }
            long token = tokens.incrementAndGet();
            targets.put(token, target);
            return new Registration(token, poller);
        } finally {
            lock.unlock();
        }
    }

    void remove(Registration registration) {
        lock.lock();
        try {
            if (targets.remove(registration.token()) != null && targets.isEmpty() && poller != 0) {
                // The thread waits without a limit while anything is registered.
                NativeConnection.wakePoller(poller);
            }
        } finally {
            lock.unlock();
        }
    }

    private void run() {
        long[] ready = new long[64];
        int[] readiness = new int[ready.length];
        long emptySince = 0;
        long waitOn;
        lock.lock();
        try {
            waitOn = poller;
        } finally {
            lock.unlock();
        }
        for (;;) {
            int count = NativeConnection.awaitReady(waitOn, ready, readiness, targets.isEmpty() ? 1000 : -1);
            if (count < 0) {
                // Never expected; a pause keeps a failing wait from spinning.
                LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(10));
            }
            for (int i = 0; i < count; i++) {
                Target target = targets.get(ready[i]);
                if (target != null) {
                    target.ready(readiness[i]);
                }
            }
            if (!targets.isEmpty()) {
                emptySince = 0;
                continue;
            }
            long now = System.nanoTime();
            emptySince = emptySince == 0 ? now : emptySince;
            if (now - emptySince < LINGER_NANOS) {
                continue;
            }
            lock.lock();
            try {
                if (targets.isEmpty()) {
                    NativeConnection.destroyPoller(poller);
                    poller = 0;
                    thread = null;
                    return;
                }
            } finally {
                lock.unlock();
            }
        }
    }
}
