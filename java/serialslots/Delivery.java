package serialslots;

import java.util.concurrent.Executor;
import java.util.concurrent.SynchronousQueue;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The threads that run listeners unless a subscription names an executor of
 * its own: as many as are busy at once, so a listener that blocks holds up
 * no other subscription; each idle one ends after a second.
 */
final class Delivery {

    private static final Executor POOL = pool(new AtomicInteger());

    private Delivery() {
    }

    static Executor pool() {
        return POOL;
    }

    private static Executor pool(AtomicInteger count) {
        ThreadPoolExecutor pool = new ThreadPoolExecutor(0, Integer.MAX_VALUE, 1, TimeUnit.SECONDS,
                new SynchronousQueue<>(), task -> {
                    Thread thread = new Thread(task, "serialslots-listener-" + count.incrementAndGet());
                    thread.setDaemon(true);
                    return thread;
                });
        return pool;
    }
}
