package serialslots;

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

/**
 * Waits for every connection's events in one place: arrivals and hang-ups of
 * subscribed connections, and the readiness virtual threads wait for. Its
 * threads wait together in one epoll set, with no timer, and the kernel wakes
 * one of them for each readiness. The thread woken calls the listeners of the
 * library's own pool itself, with no hand-over between noticing and calling,
 * while another waits: where none is left it starts one first, so a listener
 * that blocks holds up no other connection. Two wait while nothing runs;
 * more end once their listener returns, and all once nothing is registered.
 */
final class EventLoop {

    /** Told, on a loop thread, what became ready: READY_ bits. It must not wait. */
    interface Target {
        void ready(int readiness);
    }

    /** A registration: its token, and the poller to watch descriptors with. */
    record Registration(long token, long poller) {
    }

    private static final EventLoop INSTANCE = new EventLoop();
    private static final int WAITING_WHEN_IDLE = 2;
    /** The work a loop thread gathers while it tells targets what is ready; set only then. */
    private static final ThreadLocal<List<Runnable>> GATHERING = new ThreadLocal<>();

    private final Map<Long, Target> targets = new ConcurrentHashMap<>();
    private final AtomicLong tokens = new AtomicLong();
    private final AtomicInteger waiting = new AtomicInteger();
    private final ReentrantLock lock = new ReentrantLock();
    private long poller;  // guarded by lock; 0 while no thread runs
    private int threads;  // guarded by lock

    private EventLoop() {
    }

    static EventLoop get() {
        return INSTANCE;
    }

    /** Takes `task` to run on this loop thread once it has looked at everything ready, when called there. */
    static boolean gather(Runnable task) {
        List<Runnable> gathered = GATHERING.get();
        if (gathered == null) {
            return false;
        }
        gathered.add(task);
        return true;
    }

    /** Registers a target, making the poller and a thread to wait in it where there are none. */
    Registration add(Target target) throws IOException {
        lock.lock();
        try {
            if (poller == 0) {
                poller = NativeConnection.createPoller();
                if (poller == 0) {
                    throw new IOException("cannot wait for events: the system refused an epoll set");
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

    void remove(Registration registration) {
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
        long[] ready = new long[64];
        int[] readiness = new int[ready.length];
        List<Runnable> gathered = new ArrayList<>();
        for (;;) {
            waiting.incrementAndGet();
            int count = NativeConnection.awaitReady(waitOn, ready, readiness, -1);
            int othersWaiting = waiting.decrementAndGet();
            if (count < 0) {
                // Never expected; a pause keeps a failing wait from spinning.
                LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(10));
            }
            boolean woken = false;
            GATHERING.set(gathered);
            try {
                for (int i = 0; i < count; i++) {
                    Target target = targets.get(ready[i]);
                    if (target != null) {
                        target.ready(readiness[i]);
                    }
                    woken |= ready[i] == NativeConnection.WOKEN;
                }
            } finally {
                GATHERING.remove();
            }
            if (!gathered.isEmpty()) {
                if (othersWaiting == 0) {
                    spare();
                }
                for (int i = 1; i < gathered.size(); i++) {
                    Delivery.handOff(gathered.get(i));
                }
                gathered.get(0).run();
                gathered.clear();
            }
            if ((woken || waiting.get() >= WAITING_WHEN_IDLE) && leave(waitOn)) {
                return;
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
