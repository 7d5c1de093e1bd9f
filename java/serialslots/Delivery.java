package serialslots;

import java.util.concurrent.Executor;
import java.util.concurrent.SynchronousQueue;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Where listeners run unless a subscription names an executor of its own:
 * on the event loop's thread that noticed the event, once it has handed the
 * waiting on (no hand-over before the call), else on a pool of as many
 * threads as are busy at once, each idle one ending after a second. Either
 * way a listener that blocks holds up no other subscription.
 */
final class Delivery {

    private static final AtomicInteger COUNT = new AtomicInteger();
    private static final ThreadPoolExecutor THREADS = new ThreadPoolExecutor(0, Integer.MAX_VALUE, 1,
            TimeUnit.SECONDS, new SynchronousQueue<>(), task -> {
                Thread thread = new Thread(task, "serialslots-listener-" + COUNT.incrementAndGet());
                thread.setDaemon(true);
                return thread;
            });
    private static final Executor POOL = task -> {
        if (!EventLoop.gather(task)) {
            THREADS.execute(task);
        }
    };

    private Delivery() {
    }

    static Executor pool() {
        return POOL;
    }

    /** Runs the task on a thread of the pool. */
    static void handOff(Runnable task) {
        THREADS.execute(task);
    }
}
