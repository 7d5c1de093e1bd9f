package serialslots.netty;

import java.net.SocketAddress;
import java.util.Objects;

/**
 * The port a {@link SerialChannel} connects to: any name
 * {@link serialslots.SerialConnection#open} takes (a device path, a slot name,
 * {@code usb:}, {@code rfc2217://}, {@code socket://}, a virtual device).
 */
public final class SerialDeviceAddress extends SocketAddress {

    private static final long serialVersionUID = 1L;

    /** The port's name. */
    private final String name;

    /** @param name the port's name */
    public SerialDeviceAddress(String name) {
        this.name = Objects.requireNonNull(name, "name");
    }

    /** @return the port's name */
    public String name() {
        return name;
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof SerialDeviceAddress address && address.name.equals(name);
    }

    @Override
    public int hashCode() {
        return name.hashCode();
    }

    @Override
    public String toString() {
        return name;
    }
}
