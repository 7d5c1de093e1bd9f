package serialslots;

import java.io.IOException;

/** The path names something that is no serial device: a regular file, a FIFO, a directory. */
public class NotASerialPortException extends IOException {

    private static final long serialVersionUID = 1L;

    /** @param message which path, and what it is */
    public NotASerialPortException(String message) {
        super(message);
    }
}
