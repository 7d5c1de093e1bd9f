package serialslots.events;

import java.util.List;
import java.util.Queue;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.Executor;
import java.util.concurrent.SynchronousQueue;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import java.util.concurrent.locks.LockSupport;
import serialslots.internal.Threads;

/**
 * Where listeners run unless a subscription names an executor of its own,
 * and the whole policy of handing them over:
 *
 * <ul>
 * <li>A thread of the event loop that noticed events runs their listeners
 * itself, with no hand-over between noticing and calling, once another
 * thread waits for events in its place.
 * <li>What it noticed beyond the first listener, and listeners asked for from
 * other threads, go to one queue; the threads already running listeners take
 * from it until it is empty. Where none runs, one is started.
 * <li>Threads are added only when the queue has made no progress for
 * {@link #RESCUE_NANOS}: every thread is busy in a listener that blocks.
 * Then as many are added as run already (at most one per queued listener),
 * so that many blocked listeners are all running within a few such spells,
 * while the count stays within twice the number of listeners running at
 * once; listeners that return at once add none.
 * <li>Threads added for the queue are virtual where the JDK has them (21 and
 * newer), so a listener that blocks holds no thread of the system; on JDK 17
 * they come from a pool whose idle threads end after a second.
 * </ul>
 */
public final class Delivery {

    static final long RESCUE_NANOS = TimeUnit.MILLISECONDS.toNanos(5);
    private static final long RESCUER_IDLE_NANOS = TimeUnit.SECONDS.toNanos(1);

    private static final ThreadLocal<List<Runnable>> GATHERING = new ThreadLocal<>();
    private static final Queue<Runnable> QUEUED = new ConcurrentLinkedQueue<>();
    /** Threads taking from the queue now. */
    private static final AtomicInteger RUNNING = new AtomicInteger();
    /** Tasks taken from the queue so far: the rescuer's measure of progress. */
    private static final AtomicLong TAKEN = new AtomicLong();
    private static final AtomicReference<Thread> RESCUER = new AtomicReference<>();
    private static final AtomicInteger COUNT = new AtomicInteger();
    private static final ThreadPoolExecutor PLATFORM_THREADS = new ThreadPoolExecutor(0, Integer.MAX_VALUE, 1,
            TimeUnit.SECONDS, new SynchronousQueue<>(), task -> {
                Thread thread = new Thread(task, "serialslots-listener-" + COUNT.incrementAndGet());
                thread.setDaemon(true);
                return thread;
            });
    private static final Executor POOL = Delivery::submit;

    private Delivery() {
    }

    /** @return the library's own executor for listeners */
    public static Executor pool() {
        return POOL;
    }

    /**
     * Runs {@code noticing} with this thread gathering what it asks the pool
     * to run into {@code gathered}, for {@link #runNoticed}.
     */
    public static void gather(List<Runnable> gathered, Runnable noticing) {
        GATHERING.set(gathered);
        try {
            noticing.run();
        } finally {
            GATHERING.remove();
        }
    }

    /**
     * Runs what an event loop thread gathered: first {@code keepWaiting}, where
     * no other thread waits for events, then the first listener here and the
     * rest as they come, with what else is queued.
     */
    public static void runNoticed(List<Runnable> gathered, boolean othersWaiting, Runnable keepWaiting) {
        if (gathered.isEmpty()) {
            return;
        }
        if (!othersWaiting) {
            keepWaiting.run();
        }
        for (int i = 1; i < gathered.size(); i++) {
            QUEUED.add(gathered.get(i));
        }
        RUNNING.incrementAndGet();
        if (gathered.size() > 1) {
            armRescuer();
        }
        gathered.get(0).run();
        takeQueued();
    }

    private static void submit(Runnable task) {
        List<Runnable> gathered = GATHERING.get();
        if (gathered != null) {
            gathered.add(task);
            return;
        }
        QUEUED.add(task);
        if (RUNNING.get() == 0) {
            startRunner();
        } else {
            armRescuer();
        }
    }

    /** With RUNNING counting this thread: takes queued tasks until there are none, then stops counting. */
    private static void takeQueued() {
        for (;;) {
            Runnable task = QUEUED.poll();
            if (task != null) {
                TAKEN.incrementAndGet();
                task.run();
                continue;
            }
            RUNNING.decrementAndGet();
            // A task queued just as this thread stopped counting found it still counted.
            if (QUEUED.isEmpty()) {
                return;
            }
            RUNNING.incrementAndGet();
        }
    }

    private static void startRunner() {
        RUNNING.incrementAndGet();
        Runnable runner = Delivery::takeQueued;
        if (Threads.virtualAvailable()) {
            Threads.start("serialslots-listener", runner);
        } else {
            PLATFORM_THREADS.execute(runner);
        }
    }

    /** Makes sure a rescuer watches the queue while it is not empty. */
    private static void armRescuer() {
        Thread rescuer = RESCUER.get();
        if (rescuer != null) {
            LockSupport.unpark(rescuer);
            return;
        }
        Threads.start("serialslots-listener-rescue", Delivery::rescue);
    }

    /** Adds a runner whenever the queue stands still for RESCUE_NANOS; ends after a second without work. */
    private static void rescue() {
        if (!RESCUER.compareAndSet(null, Thread.currentThread())) {
            return;
        }
        for (;;) {
            if (QUEUED.isEmpty()) {
                long idleSince = System.nanoTime();
                LockSupport.parkNanos(RESCUER_IDLE_NANOS);
                if (QUEUED.isEmpty() && System.nanoTime() - idleSince >= RESCUER_IDLE_NANOS) {
                    RESCUER.set(null);
                    // Work queued as this one left found it still there: take the part again.
                    if (QUEUED.isEmpty() || !RESCUER.compareAndSet(null, Thread.currentThread())) {
                        return;
                    }
                }
                continue;
            }
            long taken = TAKEN.get();
            long since = System.nanoTime();
            // An unpark only says more was queued: the whole interval is waited out.
            for (long left = RESCUE_NANOS; left > 0; left = RESCUE_NANOS - (System.nanoTime() - since)) {
                LockSupport.parkNanos(left);
            }
            if (!QUEUED.isEmpty() && TAKEN.get() == taken) {
                for (int added = Math.max(1, Math.min(QUEUED.size(), RUNNING.get())); added > 0; added--) {
                    startRunner();
                }
            }
        }
    }
}
