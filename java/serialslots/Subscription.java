package serialslots;

/** A listener's registration; closing it ends the events it gets. */
public interface Subscription extends AutoCloseable {

    /**
     * Ends the subscription: once this returns no new event starts. From any
     * thread, the listener's own included, any number of times; it does not
     * wait for an event being delivered.
     */
    @Override
    void close();
}
