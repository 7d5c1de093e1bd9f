package serialslots.virtual;

import java.io.IOException;
import java.nio.file.FileAlreadyExistsException;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.function.Consumer;
import serialslots.PortInfo;
import serialslots.internal.Failures;

/**
 * The virtual devices of this JVM by name, and who is told when one is
 * plugged in or out: the port list and the hot-plug watch see them as ports.
 */
public final class VirtualRegistry {

    public static final String PREFIX = "virtual:";
    /** The driver a virtual device's {@link PortInfo} names. */
    public static final String DRIVER = "virtual";

    private static final Map<String, VirtualLine> LINES = new TreeMap<>();  // guarded by itself
    private static final List<Consumer<String>> WATCHERS = new CopyOnWriteArrayList<>();

    private VirtualRegistry() {
    }

    static VirtualLine create(String name) throws IOException {
        if (name == null || !name.matches("[A-Za-z0-9._-]+")) {
            throw Failures.badVirtualName(String.valueOf(name));
        }
        VirtualLine line;
        synchronized (LINES) {
            if (LINES.containsKey(name)) {
                throw new FileAlreadyExistsException(PREFIX + name, null, Failures.VIRTUAL_TAKEN);
            }
            line = new VirtualLine(PREFIX + name, false);
            LINES.put(name, line);
        }
        plugged(line, true);
        return line;
    }

    static void remove(VirtualLine line) {
        synchronized (LINES) {
            LINES.values().remove(line);
        }
    }

    /** The line a "virtual:NAME" names, plugged in; else NoSuchFileException listing the devices there are. */
    static VirtualLine find(String name) throws IOException {
        VirtualLine line;
        synchronized (LINES) {
            line = LINES.get(name.substring(PREFIX.length()));
        }
        if (line == null || !line.plugged()) {
            throw Failures.noVirtualDevice(name, names());
        }
        return line;
    }

    /** The names of the devices plugged in now. */
    static List<String> names() {
        List<String> names = new ArrayList<>();
        for (PortInfo port : ports()) {
            names.add(port.device());
        }
        return names;
    }

    /** The devices plugged in now, as ports. */
    public static List<PortInfo> ports() {
        List<VirtualLine> lines;
        synchronized (LINES) {
            lines = new ArrayList<>(LINES.values());
        }
        List<PortInfo> ports = new ArrayList<>();
        for (VirtualLine line : lines) {
            if (line.plugged()) {
                ports.add(describe(line.name()));
            }
        }
        return ports;
    }

    public static PortInfo describe(String name) {
        return new PortInfo(name, null, DRIVER, null, null, null, null, null, null);
    }

    /** Tells {@code watcher} "+virtual:NAME" when a device is plugged in, "-virtual:NAME" when out. */
    public static Runnable watch(Consumer<String> watcher) {
        WATCHERS.add(watcher);
        return () -> WATCHERS.remove(watcher);
    }

    static void plugged(VirtualLine line, boolean in) {
        for (Consumer<String> watcher : WATCHERS) {
            watcher.accept((in ? "+" : "-") + line.name());
        }
    }
}
