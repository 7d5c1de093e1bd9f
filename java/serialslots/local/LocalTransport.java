package serialslots.local;

import java.io.IOException;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.Executor;
import java.util.function.Consumer;
import serialslots.ByteError;
import serialslots.FlowControl;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.Parity;
import serialslots.PortOption;
import serialslots.Rs485;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.internal.Failures;
import serialslots.internal.Threads;
import serialslots.marking.CountedKinds;
import serialslots.marking.Unmarker;
import serialslots.transport.Transport;

/**
 * A device of this machine, through the library's natives; the one place
 * their results are read. A platform thread waits in the kernel inside the
 * native call; a virtual thread waits in Java ({@link VirtualWaits}), so as
 * not to hold its carrier.
 */
public final class LocalTransport implements Transport {

    private final long handle;
    private final String device;
    private final VirtualWaits virtualWaits = new VirtualWaits(this);
    private final Unmarker unmarker;  // null unless bytes come marked
    private LocalEvents events;  // made at the first listen
    private volatile boolean closing;

    private LocalTransport(long handle, String device, boolean marking) {
        this.handle = handle;
        this.device = device;
        this.unmarker = marking ? new Unmarker(new CountedKinds(() -> {
            try {
                return counters();
            } catch (IOException keepsNone) {
                return null;
            }
        })) : null;
    }

    /** Opens a device of this machine by its path. */
    public static LocalTransport open(String device, boolean exclusive, LineSettings settings,
            Set<PortOption> options) throws IOException {
        if (isPseudoTerminalMultiplexer(device)) {
            throw Failures.pseudoTerminalMultiplexer(device);
        }
        int[] report = new int[NativeConnection.REPORT_LENGTH];
        boolean marking = options.contains(PortOption.MARK_ERRORS);
        long handle = NativeConnection.open(device, exclusive, settings.baud(), settings.dataBits(),
                settings.stopBits(), NativeConnection.parityCode(settings.parity()),
                NativeConnection.flowCode(settings.flowControl()),
                (marking ? NativeConnection.OPTION_MARK_ERRORS : 0)
                        | (options.contains(PortOption.HOLD_DTR) ? NativeConnection.OPTION_HOLD_DTR : 0), report);
        if (handle == 0) {
            throw openFailed(device, report, settings);
        }
        return new LocalTransport(handle, device, marking);
    }

    /** /dev/ptmx, by any name: each open of it makes a new pseudo-terminal, no serial device. */
    private static boolean isPseudoTerminalMultiplexer(String device) {
        try {
            java.nio.file.Path real = java.nio.file.Path.of(device).toRealPath();
            return real.getFileName() != null && real.getFileName().toString().equals("ptmx");
        } catch (IOException | RuntimeException unresolved) {
            return false;  // the open says what is wrong
        }
    }

    /** The device path of a port name of the slot table, or null. */
    public static String slotDevice(String name) {
        return NativeConnection.slotDevice(name);
    }

    long handle() {
        return handle;
    }

    boolean isClosing() {
        return closing;
    }

    @Override
    public String name() {
        return device;
    }

    // The results of the natives, read: how a call ended above what it moved.

    /** The result, unless it says the call failed: then the exception for it. */
    long check(String operation, long result, int timeoutMillis) throws IOException {
        return check(operation, result, timeoutMillis, 0);
    }

    /** As check, for a transfer of {@code length} bytes, which a failure says how much of went. */
    private long check(String operation, long result, int timeoutMillis, int length) throws IOException {
        int code = NativeConnection.code(result);
        int moved = NativeConnection.value(result);
        return switch (NativeConnection.status(code)) {
            case NativeConnection.DONE -> result;
            case NativeConnection.TIMED_OUT -> throw Failures.timedOut(device, operation, timeoutMillis, moved, length);
            case NativeConnection.HUNG_UP -> throw Failures.disconnected(device, moved, length, null);
            case NativeConnection.CLOSED -> throw Failures.closed(device);
            default -> throw Failures.failed(device, operation, NativeConnection.errorText(result));
        };
    }

    private static IOException openFailed(String device, int[] report, LineSettings wanted) {
        String error = NativeConnection.describeError(report[NativeConnection.REPORT_ERRNO]);
        return switch (report[NativeConnection.REPORT_FAILURE]) {
            case NativeConnection.OPEN_BUSY -> Failures.busy(device, NativeConnection.guardianPid());
            case NativeConnection.OPEN_NOT_A_TERMINAL -> Failures.notASerialPort(device);
            case NativeConnection.OPEN_SETTING_REFUSED -> refused(device, report, wanted);
            case NativeConnection.OPEN_NO_MEMORY -> Failures.outOfMemory(device);
            case NativeConnection.OPEN_MISSING -> Failures.missing(device);
            case NativeConnection.OPEN_NO_DEVICE -> Failures.noDevice(device, error);
            case NativeConnection.OPEN_ACCESS_DENIED -> Failures.accessDenied(device);
            case NativeConnection.OPEN_NO_GUARDIAN -> Failures.noGuardian(device);
            default -> Failures.cannotOpen(device, error);
        };
    }

    /** The setting a report names as refused, as asked for and as the driver kept it. */
    private static IOException refused(String device, int[] report, LineSettings wanted) {
        return switch (report[NativeConnection.REPORT_REFUSED]) {
            case NativeConnection.SETTING_BAUD -> Failures.settingRefused(device, Failures.SETTING_BAUD,
                    wanted.baud(), report[NativeConnection.REPORT_BAUD]);
            case NativeConnection.SETTING_DATA_BITS -> Failures.settingRefused(device, Failures.SETTING_DATA_BITS,
                    wanted.dataBits(), report[NativeConnection.REPORT_DATA_BITS]);
            case NativeConnection.SETTING_STOP_BITS -> Failures.settingRefused(device, Failures.SETTING_STOP_BITS,
                    wanted.stopBits(), report[NativeConnection.REPORT_STOP_BITS]);
            case NativeConnection.SETTING_PARITY -> Failures.settingRefused(device, Failures.SETTING_PARITY,
                    wanted.parity(), NativeConnection.parityOf(report[NativeConnection.REPORT_PARITY]));
            default -> Failures.settingRefused(device, Failures.SETTING_FLOW_CONTROL, wanted.flowControl(),
                    NativeConnection.flowOf(report[NativeConnection.REPORT_FLOW]));
        };
    }

    static ModemLines linesOf(int bits) {
        return new ModemLines((bits & NativeConnection.LINE_CTS) != 0, (bits & NativeConnection.LINE_DSR) != 0,
                (bits & NativeConnection.LINE_DCD) != 0, (bits & NativeConnection.LINE_RI) != 0,
                (bits & NativeConnection.LINE_RTS) != 0, (bits & NativeConnection.LINE_DTR) != 0);
    }

    static LineCounters countersOf(long[] counts) {
        return new LineCounters(counts[NativeConnection.COUNTER_RECEIVED],
                counts[NativeConnection.COUNTER_TRANSMITTED], counts[NativeConnection.COUNTER_BREAKS],
                counts[NativeConnection.COUNTER_FRAMING_ERRORS], counts[NativeConnection.COUNTER_PARITY_ERRORS],
                counts[NativeConnection.COUNTER_OVERRUNS], counts[NativeConnection.COUNTER_BUFFER_OVERRUNS],
                counts[NativeConnection.COUNTER_CTS_CHANGES], counts[NativeConnection.COUNTER_DSR_CHANGES],
                counts[NativeConnection.COUNTER_DCD_CHANGES], counts[NativeConnection.COUNTER_RING_INDICATIONS]);
    }

    // The calls.

    @Override
    public int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) throws IOException {
        return Unmarker.read(unmarker, this::readAsReceived, buffer, offset, length, timeoutMillis, idleMicros);
    }

    @Override
    public int readMarked(byte[] buffer, ByteError[] errors, int offset, int length, int timeoutMillis)
            throws IOException {
        return Unmarker.readMarked(unmarker, device, this::readAsReceived, buffer, errors, offset, length, timeoutMillis);
    }

    private int readAsReceived(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros)
            throws IOException {
        long result;
        if (Threads.currentIsVirtual()) {
            result = virtualWaits.read(buffer, offset, length, timeoutMillis, idleMicros);
        } else if (idleMicros == 0) {
            result = NativeConnection.read(handle, buffer, offset, length, timeoutMillis);
        } else {
            result = NativeConnection.readUntilIdle(handle, buffer, offset, length, timeoutMillis, idleMicros);
        }
        if (NativeConnection.statusOf(result) == NativeConnection.HUNG_UP) {
            // The kernel discards what was unread at a hang-up: the stream ends here.
            return -1;
        }
        return NativeConnection.value(check("read", result, timeoutMillis));
    }

    @Override
    public void write(byte[] buffer, int offset, int length, int timeoutMillis) throws IOException {
        check("write", Threads.currentIsVirtual() ? virtualWaits.write(buffer, offset, length, timeoutMillis)
                : NativeConnection.write(handle, buffer, offset, length, timeoutMillis), timeoutMillis, length);
    }

    @Override
    public int writeNow(byte[] buffer, int offset, int length) throws IOException {
        long result = NativeConnection.writeNow(handle, buffer, offset, length);
        if (NativeConnection.statusOf(result) == NativeConnection.WOULD_BLOCK) {
            return 0;
        }
        return NativeConnection.value(check("write", result, 0, length));
    }

    @Override
    public void whenWritable(Executor executor, Runnable task) {
        virtualWaits.whenWritable(executor, task);
    }

    @Override
    public int available() throws IOException {
        int waiting = NativeConnection.value(check("available", NativeConnection.available(handle), 0));
        return unmarker == null ? waiting : unmarker.available(waiting, this::readWithoutWaiting);
    }

    /** What one read that does not wait takes: 0 when nothing is there, or the device has gone. */
    private int readWithoutWaiting(byte[] buffer, int offset, int length) throws IOException {
        long result = NativeConnection.readNow(handle, buffer, offset, length);
        int status = NativeConnection.statusOf(result);
        if (status == NativeConnection.WOULD_BLOCK || status == NativeConnection.HUNG_UP) {
            return 0;
        }
        return NativeConnection.value(check("read", result, 0));
    }

    @Override
    public void drain(int timeoutMillis) throws IOException {
        check("drain", Threads.currentIsVirtual() ? virtualWaits.drain(timeoutMillis)
                : NativeConnection.drain(handle, timeoutMillis), timeoutMillis);
    }

    @Override
    public void discard(boolean input) throws IOException {
        check(input ? "discard input" : "discard output", NativeConnection.discard(handle, input), 0);
        if (input && unmarker != null) {
            unmarker.discard();
        }
    }

    @Override
    public void setBreak(boolean on) throws IOException {
        check("break", NativeConnection.setBreak(handle, on), 0);
    }

    @Override
    public void setRts(boolean on) throws IOException {
        check("setting RTS", NativeConnection.setModemLine(handle, NativeConnection.LINE_RTS, on), 0);
    }

    @Override
    public void setDtr(boolean on) throws IOException {
        check("setting DTR", NativeConnection.setModemLine(handle, NativeConnection.LINE_DTR, on), 0);
    }

    @Override
    public ModemLines modemLines() throws IOException {
        return linesOf(NativeConnection.value(check("reading the modem lines", NativeConnection.modemLines(handle),
                0)));
    }

    @Override
    public LineSettings settings() throws IOException {
        int[] kept = new int[NativeConnection.REPORT_LENGTH];
        check("reading the settings", NativeConnection.readSettings(handle, kept), 0);
        if (kept[NativeConnection.REPORT_BAUD] <= 0) {
            throw Failures.noBaudRate(device);
        }
        Parity parity = NativeConnection.parityOf(kept[NativeConnection.REPORT_PARITY]);
        FlowControl flow = NativeConnection.flowOf(kept[NativeConnection.REPORT_FLOW]);
        return LineSettings.of(kept[NativeConnection.REPORT_BAUD])
                .withDataBits(kept[NativeConnection.REPORT_DATA_BITS])
                .withStopBits(kept[NativeConnection.REPORT_STOP_BITS]).withParity(parity).withFlowControl(flow);
    }

    @Override
    public void reconfigure(LineSettings settings) throws IOException {
        int[] report = new int[NativeConnection.REPORT_LENGTH];
        check("reconfiguring", NativeConnection.reconfigure(handle, settings.baud(), settings.dataBits(),
                settings.stopBits(), NativeConnection.parityCode(settings.parity()),
                NativeConnection.flowCode(settings.flowControl()), report), 0);
        if (report[NativeConnection.REPORT_REFUSED] != NativeConnection.SETTING_NONE) {
            throw refused(device, report, settings);
        }
    }

    @Override
    public LineCounters counters() throws IOException {
        long[] counts = new long[NativeConnection.COUNTER_LENGTH];
        long result = NativeConnection.counters(handle, counts);
        if (NativeConnection.statusOf(result) == NativeConnection.FAILED) {
            throw Failures.noCounters(device, NativeConnection.errorText(result));
        }
        check("reading the counters", result, 0);
        return countersOf(counts);
    }

    @Override
    public void setRs485(Optional<Rs485> mode) throws IOException {
        Rs485 wanted = mode.orElse(Rs485.standard());
        int[] report = new int[NativeConnection.RS485_REPORT_LENGTH];
        check(mode.isPresent() ? "setting RS-485" : "ending RS-485", NativeConnection.setRs485(handle,
                mode.isPresent(), wanted.rtsOnSend(), wanted.rtsAfterSend(), wanted.delayBeforeSendMillis(),
                wanted.delayAfterSendMillis(), wanted.receiveDuringSend(), wanted.terminateBus(), report), 0);
        if (mode.isPresent()) {
            IOException refused = rs485Refused(report, wanted);
            if (refused != null) {
                throw refused;
            }
        }
    }

    /** What an RS-485 report says was not kept, as asked for and as the driver would give it; null when all was. */
    private IOException rs485Refused(int[] report, Rs485 wanted) {
        int field = report[NativeConnection.RS485_REFUSED];
        int offered = report[field];
        return switch (field) {
            case NativeConnection.RS485_KEPT -> null;
            case NativeConnection.RS485_NO_MODE -> Failures.noRs485(device);
            case NativeConnection.RS485_RTS_ON_SEND -> Failures.rs485Refused(device, Failures.RS485_RTS_ON_SEND,
                    Failures.level(wanted.rtsOnSend()), Failures.level(offered != 0));
            case NativeConnection.RS485_RTS_AFTER_SEND -> Failures.rs485Refused(device,
                    Failures.RS485_RTS_AFTER_SEND, Failures.level(wanted.rtsAfterSend()),
                    Failures.level(offered != 0));
            case NativeConnection.RS485_DELAY_BEFORE_SEND -> Failures.rs485Refused(device,
                    Failures.RS485_DELAY_BEFORE_SEND, wanted.delayBeforeSendMillis() + " ms", offered + " ms");
            case NativeConnection.RS485_DELAY_AFTER_SEND -> Failures.rs485Refused(device,
                    Failures.RS485_DELAY_AFTER_SEND, wanted.delayAfterSendMillis() + " ms", offered + " ms");
            case NativeConnection.RS485_RECEIVE_DURING_SEND -> Failures.rs485Refused(device,
                    Failures.RS485_RECEIVE_DURING_SEND, String.valueOf(wanted.receiveDuringSend()),
                    String.valueOf(offered != 0));
            default -> Failures.rs485Refused(device, Failures.RS485_TERMINATE_BUS,
                    String.valueOf(wanted.terminateBus()), String.valueOf(offered != 0));
        };
    }

    @Override
    public Optional<Rs485> rs485() throws IOException {
        int[] report = new int[NativeConnection.RS485_REPORT_LENGTH];
        check("reading RS-485", NativeConnection.readRs485(handle, report), 0);
        if (report[NativeConnection.RS485_REFUSED] != NativeConnection.RS485_KEPT
                || report[NativeConnection.RS485_ENABLED] == 0) {
            return Optional.empty();
        }
        return Optional.of(new Rs485(report[NativeConnection.RS485_RTS_ON_SEND] != 0,
                report[NativeConnection.RS485_RTS_AFTER_SEND] != 0, report[NativeConnection.RS485_DELAY_BEFORE_SEND],
                report[NativeConnection.RS485_DELAY_AFTER_SEND],
                report[NativeConnection.RS485_RECEIVE_DURING_SEND] != 0,
                report[NativeConnection.RS485_TERMINATE_BUS] != 0));
    }

    @Override
    public void setLowLatency(boolean on) throws IOException {
        if (NativeConnection.value(check("setting low latency", NativeConnection.setLowLatency(handle, on), 0)) < 0) {
            throw Failures.noLatencyControl(device, on);
        }
    }

    @Override
    public boolean isLowLatency() throws IOException {
        return NativeConnection.value(check("reading low latency", NativeConnection.readLowLatency(handle), 0)) > 0;
    }

    @Override
    public synchronized Subscription listen(Set<SerialEventType> types, Executor executor,
            Consumer<SerialEvent> listener) throws IOException {
        if (events == null) {
            events = new LocalEvents(this, handle);
        }
        return events.subscribe(types, executor, listener);
    }

    @Override
    public void close(int lingerMillis) {
        closing = true;
        LocalEvents subscribed;
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
