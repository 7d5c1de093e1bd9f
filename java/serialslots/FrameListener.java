package serialslots;

/** Told of each frame a connection receives, in order, on the subscription's thread. */
@FunctionalInterface
public interface FrameListener {

    /**
     * @param connection the connection the frame came on
     * @param frame the frame, the listener's to keep
     */
    void frame(SerialConnection connection, byte[] frame);

    /**
     * Told of bytes that made no frame: too long, badly encoded, noise before
     * a start, or unfinished when the device went away.
     *
     * @param connection the connection
     * @param length how many bytes
     * @param why the reason, in words
     */
    default void dropped(SerialConnection connection, int length, String why) {
    }
}
