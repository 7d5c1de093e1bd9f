package serialslots.events;

import java.util.concurrent.atomic.AtomicInteger;

/**
 * Whether a listener may start: a call starts with one step, open to
 * calling, that a closed gate fails, and closing is one step. So nothing
 * starts once {@link #close} returns, and closing never waits for a call.
 */
public final class Gate {

    private static final int OPEN = 0;
    private static final int CALLING = 1;
    private static final int CLOSED = 2;

    private final AtomicInteger state = new AtomicInteger(OPEN);

    /** @return whether the call may start; if so, {@link #leave} follows it */
    public boolean enter() {
        return state.compareAndSet(OPEN, CALLING);
    }

    public void leave() {
        // Fails where the call itself, or another thread, closed the gate meanwhile.
        state.compareAndSet(CALLING, OPEN);
    }

    /** @return whether this call closed it */
    public boolean close() {
        return state.getAndSet(CLOSED) != CLOSED;
    }

    public boolean isClosed() {
        return state.get() == CLOSED;
    }
}
