package serialslots.netty;

import io.netty.buffer.ByteBuf;
import io.netty.channel.AbstractChannel;
import io.netty.channel.ChannelException;
import io.netty.channel.ChannelMetadata;
import io.netty.channel.ChannelOutboundBuffer;
import io.netty.channel.ChannelPromise;
import io.netty.channel.EventLoop;
import io.netty.util.concurrent.GlobalEventExecutor;
import java.io.IOException;
import java.net.SocketAddress;
import java.nio.channels.AlreadyConnectedException;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.ConnectionPendingException;
import java.nio.channels.UnsupportedAddressTypeException;
import java.util.EnumSet;
import java.util.Set;
import java.util.concurrent.Executor;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.TimeUnit;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;

/**
 * A serial port as a Netty channel, on any event loop: the loops a program
 * already runs for its TCP channels ({@code NioEventLoopGroup}, the epoll
 * group, {@code DefaultEventLoopGroup}) carry serial channels too, and no
 * channel has a thread of its own. The library's event threads wait for
 * every port in one epoll set and hand arrivals to the channel's loop, which
 * reads what has come without waiting; writes take what the port's output
 * queue has room for and wait for room without blocking the loop, so
 * {@link #isWritable()} follows the port, and {@code autoRead} off holds
 * arrivals back in the port (and, with flow control, the far end).
 *
 * <pre>{@code
 * new Bootstrap().group(group).channel(SerialChannel.class)
 *         .option(SerialChannelOption.BAUD_RATE, 115200)
 *         .handler(initializer)
 *         .connect(new SerialDeviceAddress("/dev/ttyUSB0"));
 * }</pre>
 *
 * The port's errors (and modem lines, if asked for) reach the pipeline as
 * user events ({@link SerialEvent}); a device that goes away ends the
 * channel ({@code channelInactive}). Close from anywhere.
 */
public final class SerialChannel extends AbstractChannel {

    private static final ChannelMetadata METADATA = new ChannelMetadata(false);
    private static final int MOST_PER_BUFFER = 64 * 1024;
    private static final int BUFFERS_PER_READ = 16;

    private final SerialChannelConfig config = new SerialChannelConfig(this);
    private volatile boolean open = true;
    private volatile SerialConnection connection;
    private volatile SerialDeviceAddress address;
    private volatile Subscription events;
    private volatile ScheduledFuture<?> gapTimer;
    // The event loop's:
    private boolean opening;
    private boolean readPending;
    private boolean readScheduled;
    private boolean writableAwaited;
    private byte[] copy;

    /** A channel, not yet connected; {@code Bootstrap} makes it so. */
    public SerialChannel() {
        super(null);
    }

    @Override
    public SerialChannelConfig config() {
        return config;
    }

    @Override
    public boolean isOpen() {
        return open;
    }

    @Override
    public boolean isActive() {
        return open && connection != null;
    }

    @Override
    public ChannelMetadata metadata() {
        return METADATA;
    }

    @Override
    public SerialDeviceAddress remoteAddress() {
        return (SerialDeviceAddress) super.remoteAddress();
    }

    @Override
    public SerialDeviceAddress localAddress() {
        return (SerialDeviceAddress) super.localAddress();
    }

    /** Any loop: the channel only hands it tasks. */
    @Override
    protected boolean isCompatible(EventLoop loop) {
        return true;
    }

    @Override
    protected SocketAddress localAddress0() {
        return address;
    }

    @Override
    protected SocketAddress remoteAddress0() {
        return address;
    }

    @Override
    protected AbstractUnsafe newUnsafe() {
        return new SerialUnsafe();
    }

    @Override
    protected void doBind(SocketAddress local) {
        throw new UnsupportedOperationException("a serial channel connects to a port; it binds to nothing");
    }

    @Override
    protected void doDisconnect() throws Exception {
        doClose();
    }

    @Override
    protected void doClose() throws Exception {
        open = false;
        ScheduledFuture<?> timer = gapTimer;
        if (timer != null) {
            timer.cancel(false);
        }
        Subscription subscribed = events;
        if (subscribed != null) {
            subscribed.close();
        }
        SerialConnection closing = connection;
        if (closing != null) {
            closing.close();
        }
    }

    @Override
    protected void doBeginRead() {
        readPending = true;
        if (!readScheduled && connection != null) {
            readScheduled = true;
            eventLoop().execute(() -> {
                readScheduled = false;
                if (config.idleGapMicros() == 0) {
                    readNow();
                } else if (gapTimer == null && waiting() > 0) {
                    // Whether the line is quiet yet is not known: it has one gap's time to show.
                    awaitGap();
                }
            });
        }
    }

    private int waiting() {
        SerialConnection from = connection;
        try {
            return from == null ? 0 : from.available();
        } catch (IOException closed) {
            return 0;
        }
    }

    void clearReadPending() {
        if (eventLoop().inEventLoop()) {
            readPending = false;
        } else {
            eventLoop().execute(() -> readPending = false);
        }
    }

    @Override
    protected void doWrite(ChannelOutboundBuffer out) throws Exception {
        SerialConnection to = connection;
        for (Object message; (message = out.current()) != null;) {
            ByteBuf buffer = (ByteBuf) message;
            int length = buffer.readableBytes();
            if (length == 0) {
                out.remove();
                continue;
            }
            int asked = buffer.hasArray() ? length : Math.min(length, MOST_PER_BUFFER);
            int written;
            if (buffer.hasArray()) {
                written = to.writeNow(buffer.array(), buffer.arrayOffset() + buffer.readerIndex(), asked);
            } else {
                if (copy == null) {
                    copy = new byte[MOST_PER_BUFFER];
                }
                buffer.getBytes(buffer.readerIndex(), copy, 0, asked);
                written = to.writeNow(copy, 0, asked);
            }
            out.removeBytes(written);
            if (written < asked) {
                // The port's queue is full: the rest waits in Netty's, which tells writability.
                writableAwaited = true;
                to.whenWritable(eventLoop(), () -> {
                    writableAwaited = false;
                    ((SerialUnsafe) unsafe()).flushNow();
                });
                return;
            }
        }
    }

    @Override
    protected Object filterOutboundMessage(Object message) {
        if (message instanceof ByteBuf) {
            return message;
        }
        throw new UnsupportedOperationException("a serial channel writes ByteBuf, not "
                + (message == null ? "null" : message.getClass().getName()));
    }

    /** On the event loop: what arrived, to the pipeline, as far as reads are asked for. */
    private void readNow() {
        SerialConnection from = connection;
        if (!readPending || from == null || !open || gapTimer != null) {
            return;
        }
        boolean whole = config.idleGapMicros() > 0;
        int buffers = 0;
        try {
            for (int waiting; (waiting = from.available()) > 0 && buffers < BUFFERS_PER_READ;) {
                ByteBuf buffer = alloc().ioBuffer(whole ? waiting : Math.min(waiting, MOST_PER_BUFFER));
                int got;
                try {
                    got = buffer.writeBytes(from.getInputStream(), buffer.writableBytes());
                } catch (IOException | RuntimeException e) {
                    buffer.release();
                    throw e;
                }
                if (got <= 0) {
                    buffer.release();
                    break;
                }
                readPending = false;
                buffers++;
                pipeline().fireChannelRead(buffer);
                if (!config.isAutoRead() && !readPending) {
                    break;
                }
            }
        } catch (IOException e) {
            if (open) {
                pipeline().fireExceptionCaught(e);
            }
        }
        if (buffers > 0) {
            pipeline().fireChannelReadComplete();
        }
    }

    /** On the event loop: a subscription's event. */
    private void event(SerialEvent event) {
        if (!open) {
            return;
        }
        switch (event.type()) {
            case DATA -> arrived();
            case HANG_UP -> unsafe().close(unsafe().voidPromise());
            default -> pipeline().fireUserEventTriggered(event);
        }
    }

    private void arrived() {
        if (config.idleGapMicros() == 0) {
            readNow();
        } else {
            awaitGap();
        }
    }

    /** A message ends in silence: the read waits until the line has been quiet for the gap. */
    private void awaitGap() {
        ScheduledFuture<?> timer = gapTimer;
        if (timer != null) {
            timer.cancel(false);
        }
        gapTimer = eventLoop().schedule(() -> {
            gapTimer = null;
            readNow();
        }, config.idleGapMicros(), TimeUnit.MICROSECONDS);
    }

    /** The port's events, as the configuration asks for them now. */
    void resubscribe() {
        if (!eventLoop().inEventLoop()) {
            eventLoop().execute(this::resubscribe);
            return;
        }
        SerialConnection now = connection;
        if (now == null || !open) {
            return;
        }
        Subscription old = events;
        try {
            events = subscribe(now);
        } catch (IOException e) {
            pipeline().fireExceptionCaught(e);
            return;
        }
        old.close();
    }

    private Subscription subscribe(SerialConnection to) throws IOException {
        Set<SerialEventType> wanted = EnumSet.of(SerialEventType.DATA, SerialEventType.HANG_UP);
        wanted.addAll(config.userEvents());
        return to.listen(wanted, eventLoop(), (connection, event) -> event(event));
    }

    /** Runs `change` on the port now where the channel is active; an open applies it later. */
    void apply(PortChange change) {
        SerialConnection now = connection;
        if (now == null || !open) {
            return;
        }
        try {
            change.apply(now);
        } catch (IOException e) {
            throw new ChannelException(e.getMessage(), e);
        }
    }

    interface PortChange {
        void apply(SerialConnection connection) throws IOException;
    }

    private final class SerialUnsafe extends AbstractUnsafe {

        @Override
        public void connect(SocketAddress remote, SocketAddress local, ChannelPromise promise) {
            if (!promise.setUncancellable() || !ensureOpen(promise)) {
                return;
            }
            if (connection != null) {
                promise.setFailure(new AlreadyConnectedException());
            } else if (opening) {
                promise.setFailure(new ConnectionPendingException());
            } else if (!(remote instanceof SerialDeviceAddress)) {
                promise.setFailure(new UnsupportedAddressTypeException());
            } else {
                opening = true;
                SerialDeviceAddress to = (SerialDeviceAddress) remote;
                LineSettings settings = config.settings();
                // An open may wait (a remote port, an exclusive lock): never on the loop.
                Thread opener = new Thread(() -> open(to, settings, promise), "serialslots-netty-open " + to);
                opener.setDaemon(true);
                opener.start();
            }
        }

        private void open(SerialDeviceAddress to, LineSettings settings, ChannelPromise promise) {
            SerialConnection opened = null;
            Throwable failed = null;
            try {
                opened = SerialConnection.open(to.name(), settings);
                config.applyLines(opened);
            } catch (IOException | RuntimeException e) {
                failed = e;
            }
            SerialConnection result = opened;
            Throwable failure = failed;
            eventLoop().execute(() -> connected(to, result, failure, promise));
        }

        private void connected(SerialDeviceAddress to, SerialConnection opened, Throwable failure,
                ChannelPromise promise) {
            opening = false;
            if (failure == null && !open) {
                failure = new ClosedChannelException();
            }
            if (failure == null) {
                address = to;
                connection = opened;
                try {
                    events = subscribe(opened);
                } catch (IOException e) {
                    failure = e;
                    connection = null;
                }
            }
            if (failure != null) {
                closeQuietly(opened);
                promise.tryFailure(failure);
                closeIfClosed();
                return;
            }
            promise.trySuccess();
            pipeline().fireChannelActive();
        }

        @Override
        protected void flush0() {
            if (!writableAwaited) {
                super.flush0();
            }
        }

        void flushNow() {
            super.flush0();
        }

        /** Closing may wait for queued output to leave the port: never on the loop. */
        @Override
        protected Executor prepareToClose() {
            return connection != null ? GlobalEventExecutor.INSTANCE : null;
        }
    }

    private static void closeQuietly(SerialConnection opened) {
        if (opened != null) {
            try {
                opened.close();
            } catch (IOException ignored) {
                // it was never handed out
            }
        }
    }
}
