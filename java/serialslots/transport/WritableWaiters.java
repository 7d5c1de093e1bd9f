package serialslots.transport;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Executor;
import java.util.concurrent.RejectedExecutionException;

/** Tasks waiting for room in an output queue; each goes to its executor once. */
public final class WritableWaiters {

    private final List<Runnable> waiting = new ArrayList<>();

    public synchronized void add(Executor executor, Runnable task) {
        waiting.add(() -> handOver(executor, task));
    }

    public synchronized boolean isEmpty() {
        return waiting.isEmpty();
    }

    /** Hands every waiting task to its executor: there is room, or the transport has ended. */
    public void release() {
        List<Runnable> now;
        synchronized (this) {
            if (waiting.isEmpty()) {
                return;
            }
            now = new ArrayList<>(waiting);
            waiting.clear();
        }
        now.forEach(Runnable::run);
    }

    /** Hands a task to its executor; one that refuses it (shut down) has no one left to tell. */
    public static void handOver(Executor executor, Runnable task) {
        try {
            executor.execute(task);
        } catch (RejectedExecutionException shutDown) {
            // dropped with the executor
        }
    }
}
