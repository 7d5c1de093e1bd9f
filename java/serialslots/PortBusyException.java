package serialslots;

import java.io.IOException;

/** The device is held by another connection or program; the message names it when the system shows it. */
public class PortBusyException extends IOException {

    private static final long serialVersionUID = 1L;

    /** @param message which device, and which process holds it where known */
    public PortBusyException(String message) {
        super(message);
    }
}
