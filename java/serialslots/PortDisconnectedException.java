package serialslots;

import java.io.IOException;

/**
 * The device went away while the connection was open: a USB adapter was
 * pulled, or the far end of a pseudo-terminal closed. It does not come back on
 * this connection; close it, and open the device again once it has returned
 * (a USB adapter may come back under another name).
 */
public class PortDisconnectedException extends IOException {

    private static final long serialVersionUID = 1L;

    /** @param message which device, and how many bytes went before */
    public PortDisconnectedException(String message) {
        super(message);
    }
}
