package serialslots.schemes;

import java.io.IOException;
import java.util.List;
import java.util.Objects;
import serialslots.LineSettings;
import serialslots.local.LocalTransport;
import serialslots.ports.SysfsPorts;
import serialslots.rfc2217.RemoteTransport;
import serialslots.tcp.SocketTransport;
import serialslots.trace.SpyTransport;
import serialslots.transport.Transport;
import serialslots.virtual.VirtualRegistry;
import serialslots.virtual.VirtualTransport;

/**
 * Which transport a port name opens: the one table of URI schemes (and
 * "virtual:" for this JVM's virtual devices). A name
 * with none of them is a device of this machine (a slot name, a path, a name
 * under /dev or a {@code usb:} identity).
 */
public final class Schemes {

    /** Opens a transport: the name as given, the settings applied, exclusive where the transport can be. */
    private interface Opener {
        Transport open(String name, LineSettings settings, boolean exclusive) throws IOException;
    }

    private record Scheme(String prefix, Opener opener) {
    }

    private static final List<Scheme> SCHEMES = List.of(
            new Scheme("rfc2217://", (name, settings, exclusive) -> RemoteTransport.open(name, settings)),
            new Scheme("rfc2217s://", (name, settings, exclusive) -> RemoteTransport.open(name, settings)),
            new Scheme("socket://", (name, settings, exclusive) -> SocketTransport.open(name, settings)),
            new Scheme("sockets://", (name, settings, exclusive) -> SocketTransport.open(name, settings)),
            new Scheme(VirtualRegistry.PREFIX, VirtualTransport::open),
            new Scheme("loop://", (name, settings, exclusive) -> VirtualTransport.loop(name, settings)),
            new Scheme(SpyTransport.PREFIX, (name, settings, exclusive) -> SpyTransport.open(name, settings,
                    exclusive, Schemes::open)));

    private Schemes() {
    }

    public static Transport open(String name, LineSettings settings, boolean exclusive) throws IOException {
        Objects.requireNonNull(name, "port");
        Objects.requireNonNull(settings, "settings");
        for (Scheme scheme : SCHEMES) {
            if (name.startsWith(scheme.prefix())) {
                return scheme.opener().open(name, settings, exclusive);
            }
        }
        return LocalTransport.open(SysfsPorts.devicePath(name), exclusive, settings);
    }
}
