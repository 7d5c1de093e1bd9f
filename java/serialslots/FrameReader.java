package serialslots;

import java.io.IOException;

/**
 * Frames read from a connection, one at a time. It reads with the
 * connection's input stream and takes turns with other readers as they do.
 */
public interface FrameReader extends AutoCloseable {

    /**
     * @return the next frame; null once the device has gone (an unfinished frame is dropped)
     * @throws SerialTimeoutException when the connection's read timeout passed first
     * @throws FrameTooLongException when a frame was dropped for its length; the next call goes on
     * @throws IOException when a frame was badly encoded (SLIP, COBS), or the connection is closed
     */
    byte[] read() throws IOException;

    /** @return frames dropped so far: too long, badly encoded, or noise before a start */
    long dropped();

    /** Ends the reader; the connection stays open. */
    @Override
    void close();
}
