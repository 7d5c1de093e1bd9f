package serialslots;

import java.io.InterruptedIOException;

/**
 * A read or write did not finish within its timeout. As with
 * {@link java.net.SocketTimeoutException}, {@link #bytesTransferred} tells how
 * many bytes a write had sent before the time ran out (0 for a read). The
 * connection stays usable.
 */
public class SerialTimeoutException extends InterruptedIOException {

    private static final long serialVersionUID = 1L;

    /**
     * @param message what timed out, on which device, after how long
     * @param transferred the bytes moved before the timeout
     */
    public SerialTimeoutException(String message, int transferred) {
        super(message);
        bytesTransferred = transferred;
    }
}
