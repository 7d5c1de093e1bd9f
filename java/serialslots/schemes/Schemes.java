package serialslots.schemes;

import java.io.IOException;
import java.util.List;
import java.util.Objects;
import java.util.Set;
import serialslots.LineSettings;
import serialslots.PortOption;
import serialslots.internal.Failures;
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
        Transport open(String name, LineSettings settings, boolean exclusive, Set<PortOption> options)
                throws IOException;
    }

    /** A port of another machine, which takes no option: its server decides. */
    private interface RemoteOpener {
        Transport open(String name, LineSettings settings) throws IOException;
    }

    private record Scheme(String prefix, Opener opener) {
    }

    private static final List<Scheme> SCHEMES = List.of(
            new Scheme("rfc2217://", remote("RFC 2217", RemoteTransport::open)),
            new Scheme("rfc2217s://", remote("RFC 2217", RemoteTransport::open)),
            new Scheme("socket://", remote("a raw TCP port", SocketTransport::open)),
            new Scheme("sockets://", remote("a raw TCP port", SocketTransport::open)),
            new Scheme(VirtualRegistry.PREFIX, VirtualTransport::open),
            new Scheme("loop://", (name, settings, exclusive, options) -> VirtualTransport.loop(name, settings,
                    options)),
            new Scheme(SpyTransport.PREFIX, (name, settings, exclusive, options) -> SpyTransport.open(name, settings,
                    exclusive, options, Schemes::open)));

    private Schemes() {
    }

    private static Opener remote(String transport, RemoteOpener opener) {
        return (name, settings, exclusive, options) -> {
            if (options.contains(PortOption.MARK_ERRORS)) {
                throw Failures.notCarried(name, "marks on bad bytes", transport);
            }
            if (options.contains(PortOption.HOLD_DTR)) {
                throw Failures.notCarried(name, "hold on DTR at close", transport);
            }
            return opener.open(name, settings);
        };
    }

    public static Transport open(String name, LineSettings settings, boolean exclusive, Set<PortOption> options)
            throws IOException {
        Objects.requireNonNull(name, "port");
        Objects.requireNonNull(settings, "settings");
        for (Scheme scheme : SCHEMES) {
            if (name.startsWith(scheme.prefix())) {
                return scheme.opener().open(name, settings, exclusive, options);
            }
        }
        return LocalTransport.open(SysfsPorts.devicePath(name), exclusive, settings, options);
    }
}
