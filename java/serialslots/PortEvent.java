package serialslots;

/**
 * A port that came or went.
 *
 * @param kind whether it came or went
 * @param port the port as the kernel described it when it came (a REMOVED carries the same)
 */
public record PortEvent(Kind kind, PortInfo port) {

    /** Whether a port came or went. */
    public enum Kind {
        /** The port is there, and this user may open it (where the system's rules allow). */
        ADDED,
        /** The port has gone. */
        REMOVED
    }
}
