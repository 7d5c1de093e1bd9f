package serialslots;

import java.io.IOException;
import java.util.EnumSet;
import java.util.concurrent.Executor;

/**
 * A device of this machine, through the library's natives. A platform
 * thread waits in the kernel inside the native call; a virtual thread waits
 * in Java ({@link VirtualWaits}), so as not to hold its carrier.
 */
final class LocalPort implements Port {

    private final long handle;
    private final VirtualWaits virtualWaits = new VirtualWaits(this);
    private ConnectionEvents events;  // made at the first listen
    private volatile boolean closing;

    private LocalPort(long handle) {
        this.handle = handle;
    }

    /** Opens a device of this machine. */
    static LocalPort open(String device, boolean exclusive, LineSettings settings) throws IOException {
        int[] report = new int[NativeConnection.REPORT_LENGTH];
        long handle = NativeConnection.open(device, exclusive, settings.baud(), settings.dataBits(),
                settings.stopBits(), NativeConnection.parityCode(settings.parity()),
                NativeConnection.flowCode(settings.flowControl()), report);
        if (handle == 0) {
            throw Failures.openFailed(device, report, settings);
        }
        return new LocalPort(handle);
    }

    long handle() {
        return handle;
    }

    boolean isClosing() {
        return closing;
    }

    @Override
    public long read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) {
        if (Threads.currentIsVirtual()) {
            return virtualWaits.read(buffer, offset, length, timeoutMillis, idleMicros);
        }
        return idleMicros == 0 ? NativeConnection.read(handle, buffer, offset, length, timeoutMillis)
                : NativeConnection.readUntilIdle(handle, buffer, offset, length, timeoutMillis, idleMicros);
    }

    @Override
    public long write(byte[] buffer, int offset, int length, int timeoutMillis) {
        return Threads.currentIsVirtual() ? virtualWaits.write(buffer, offset, length, timeoutMillis)
                : NativeConnection.write(handle, buffer, offset, length, timeoutMillis);
    }

    @Override
    public long available() {
        return NativeConnection.available(handle);
    }

    @Override
    public long drain(int timeoutMillis) {
        return Threads.currentIsVirtual() ? virtualWaits.drain(timeoutMillis)
                : NativeConnection.drain(handle, timeoutMillis);
    }

    @Override
    public long discard(boolean input) {
        return NativeConnection.discard(handle, input);
    }

    @Override
    public long setBreak(boolean on) {
        return NativeConnection.setBreak(handle, on);
    }

    @Override
    public long setModemLine(int line, boolean on) {
        return NativeConnection.setModemLine(handle, line, on);
    }

    @Override
    public long modemLines() {
        return NativeConnection.modemLines(handle);
    }

    @Override
    public long readSettings(int[] report) {
        return NativeConnection.readSettings(handle, report);
    }

    @Override
    public long reconfigure(LineSettings settings, int[] report) {
        return NativeConnection.reconfigure(handle, settings.baud(), settings.dataBits(), settings.stopBits(),
                NativeConnection.parityCode(settings.parity()), NativeConnection.flowCode(settings.flowControl()),
                report);
    }

    @Override
    public long counters(long[] counts) {
        return NativeConnection.counters(handle, counts);
    }

    @Override
    public long setRs485(Rs485 mode, int[] report) {
        Rs485 fields = mode == null ? Rs485.standard() : mode;
        return NativeConnection.setRs485(handle, mode != null, fields.rtsOnSend(), fields.rtsAfterSend(),
                fields.delayBeforeSendMillis(), fields.delayAfterSendMillis(), fields.receiveDuringSend(),
                fields.terminateBus(), report);
    }

    @Override
    public long readRs485(int[] report) {
        return NativeConnection.readRs485(handle, report);
    }

    @Override
    public long setLowLatency(boolean on) {
        return NativeConnection.setLowLatency(handle, on);
    }

    @Override
    public long readLowLatency() {
        return NativeConnection.readLowLatency(handle);
    }

    @Override
    public synchronized Subscription listen(SerialConnection owner, EnumSet<SerialEventType> types,
            Executor executor, SerialListener listener) throws IOException {
        if (events == null) {
            events = new ConnectionEvents(owner, handle);
        }
        return events.subscribe(types, executor, listener);
    }

    @Override
    public void close(int lingerMillis) {
        closing = true;
        ConnectionEvents subscribed;
        synchronized (this) {
            subscribed = events;
        }
        if (subscribed != null) {
            subscribed.closeAll();
        }
        virtualWaits.close();
        NativeConnection.close(handle, lingerMillis);
    }

    @Override
    public Runnable releaser() {
        long releasing = handle;
        return () -> NativeConnection.release(releasing);
    }
}
