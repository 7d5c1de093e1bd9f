package serialslots;

import java.io.IOException;
import serialslots.internal.Failures;

/** A frame longer than its framing's bound was dropped whole; reading goes on at the next frame. */
public class FrameTooLongException extends IOException {

    private static final long serialVersionUID = 1L;

    /** A frame was dropped for its length. */
    public FrameTooLongException() {
        super(Failures.FRAME_TOO_LONG);
    }

    /** @param message which port, and how long the frame was */
    public FrameTooLongException(String message) {
        super(message);
    }
}
