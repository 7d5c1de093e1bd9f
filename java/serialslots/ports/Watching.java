package serialslots.ports;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Queue;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Consumer;
import java.util.function.Supplier;
import serialslots.PortEvent;
import serialslots.PortInfo;
import serialslots.Subscription;
import serialslots.events.Delivery;
import serialslots.events.Gate;
import serialslots.internal.Deadline;
import serialslots.internal.Failures;
import serialslots.local.EventLoop;
import serialslots.local.NativeConnection;
import serialslots.virtual.VirtualRegistry;

/**
 * A watch for ports that come and go: the kernel's uevents, on a socket the
 * event loop waits on with the rest, turned into events one at a time, in
 * order. The socket opens before the first list is read, so a port that
 * comes or goes meanwhile is neither missed nor told twice.
 */
public final class Watching implements Subscription, EventLoop.Target, Runnable {

    /** How long an added node may wait for udev to give it its owner and mode. */
    private static final int PERMISSION_WAIT_MILLIS = 2000;

    private final Consumer<PortEvent> listener;
    private final int socket;
    private final EventLoop.Registration registration;
    private final AtomicBoolean scheduled = new AtomicBoolean();
    private final AtomicBoolean more = new AtomicBoolean();
    // Reading the socket and closing it take turns, so a closed number is never read.
    private final ReentrantLock lock = new ReentrantLock();
    private final Map<String, PortInfo> present = new HashMap<>();  // the delivering task's
    private final Queue<String> virtualChanges = new ConcurrentLinkedQueue<>();
    private volatile Runnable stopWatchingVirtual;
    private final Gate gate = new Gate();
    private boolean listed;  // the delivering task's

    private Watching(Consumer<PortEvent> listener, int socket) throws IOException {
        this.listener = listener;
        this.socket = socket;
        EventLoop.Registration added;
        try {
            added = EventLoop.get().add(this);
        } catch (IOException e) {
            NativeConnection.closeDescriptor(socket);
            throw e;
        }
        registration = added;
        long result = NativeConnection.watchDescriptor(added.poller(), socket, added.token());
        if (NativeConnection.statusOf(result) != NativeConnection.DONE) {
            close();
            throw Failures.cannotWatch(NativeConnection.errorText(result));
        }
        // Virtual devices come and go as "+virtual:NAME" and "-virtual:NAME", beside the kernel's ttys.
        stopWatchingVirtual = VirtualRegistry.watch(change -> {
            virtualChanges.add(change);
            ready(NativeConnection.READY_IN);
        });
    }

    public static Subscription start(Consumer<PortEvent> listener) throws IOException {
        int socket = NativeConnection.openUevents();
        if (socket < 0) {
            throw Failures.cannotWatch(NativeConnection.describeError(-socket));
        }
        Watching watching = new Watching(listener, socket);
        watching.ready(NativeConnection.READY_IN);
        return watching;
    }

    @Override
    public void ready(int readiness) {
        more.set(true);
        if (!gate.isClosed() && scheduled.compareAndSet(false, true)) {
            Delivery.pool().execute(this);
        }
    }

    @Override
    public void run() {
        while (more.getAndSet(false) && !gate.isClosed()) {
            for (PortEvent event : news()) {
                if (!gate.enter()) {
                    break;
                }
                try {
                    listener.accept(event);
                } catch (Throwable thrown) {
                    Thread thread = Thread.currentThread();
                    thread.getUncaughtExceptionHandler().uncaughtException(thread, thrown);
                } finally {
                    gate.leave();
                }
            }
        }
        scheduled.set(false);
        if (more.get() && !gate.isClosed() && scheduled.compareAndSet(false, true)) {
            Delivery.pool().execute(this);
        }
    }

    /** What came and went since the last look; the first look lists what is there. */
    private List<PortEvent> news() {
        List<String> changes = new ArrayList<>();
        lock.lock();
        try {
            for (String change; !gate.isClosed() && (change = NativeConnection.nextTtyEvent(socket)) != null;) {
                if (!change.isEmpty()) {
                    changes.add(change);
                }
            }
        } finally {
            lock.unlock();
        }
        List<PortEvent> news = new ArrayList<>();
        if (!listed) {
            listed = true;
            try {
                for (PortInfo port : SysfsPorts.listAll()) {
                    present.put(port.device(), port);
                    news.add(new PortEvent(PortEvent.Kind.ADDED, port));
                }
            } catch (IOException unreadable) {
                // no sysfs: only what the kernel tells from now on
            }
        }
        for (String change; (change = virtualChanges.poll()) != null;) {
            String device = change.substring(1);
            apply(news, change.charAt(0) == '+', device, () -> VirtualRegistry.describe(device));
        }
        // Nodes added together wait for their owner and mode together.
        awaitOpenable(changes.stream().filter(change -> change.charAt(0) == '+')
                .map(change -> Path.of("/dev/" + change.substring(1))).toList());
        for (String change : changes) {
            String tty = change.substring(1);
            apply(news, change.charAt(0) == '+', "/dev/" + tty,
                    () -> Files.exists(Path.of("/dev/" + tty)) ? SysfsPorts.describe(tty) : null);
        }
        return news;
    }

    /** A port added or removed, told where it changes what is present; `describe` may answer null: no port. */
    private void apply(List<PortEvent> news, boolean added, String device, Supplier<PortInfo> describe) {
        if (!added) {
            PortInfo gone = present.remove(device);
            if (gone != null) {
                news.add(new PortEvent(PortEvent.Kind.REMOVED, gone));
            }
        } else if (!present.containsKey(device)) {
            PortInfo port = describe.get();
            if (port != null) {
                present.put(device, port);
                news.add(new PortEvent(PortEvent.Kind.ADDED, port));
            }
        }
    }

    /**
     * Waits, bounded, until this user may open each node: the kernel makes it
     * as root's, and udev gives it its group and mode a little later. Without
     * udev the wait ends at its bound, and the ports are told as they are.
     */
    private void awaitOpenable(List<Path> nodes) {
        Deadline until = Deadline.afterMillis(PERMISSION_WAIT_MILLIS);
        while (!gate.isClosed() && !until.passed()
                && nodes.stream().anyMatch(node -> Files.exists(node) && !(Files.isReadable(node)
                        && Files.isWritable(node)))) {
            LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(10));
        }
    }

    @Override
    public void close() {
        lock.lock();
        try {
            if (!gate.close()) {
                return;
            }
            if (stopWatchingVirtual != null) {
                stopWatchingVirtual.run();
            }
            if (registration != null) {
                EventLoop.get().remove(registration);
            }
            NativeConnection.closeDescriptor(socket);
        } finally {
            lock.unlock();
        }
    }
}
