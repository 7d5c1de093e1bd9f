package serialslots;

/**
 * Told of a connection's events. Events of one subscription come one at a
 * time, in order; a listener that takes long delays only its own
 * subscription. What it throws goes to its thread's uncaught-exception
 * handler, and delivery goes on.
 */
@FunctionalInterface
public interface SerialListener {

    /**
     * @param connection the connection the event happened on; DATA is read from its input stream
     * @param event what happened
     */
    void serialEvent(SerialConnection connection, SerialEvent event);
}
