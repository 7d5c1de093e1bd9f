package serialslots;

import java.io.IOException;

/**
 * The driver did not keep a line setting: a rate it cannot make within 2%,
 * data bits or a parity it cannot do. The device was left as it was before.
 */
public class SettingNotSupportedException extends IOException {

    private static final long serialVersionUID = 1L;

    /** @param message the device, the setting asked for and what the driver kept */
    public SettingNotSupportedException(String message) {
        super(message);
    }
}
