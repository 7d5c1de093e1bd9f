package serialslots.events;

import java.util.ArrayList;
import java.util.Collection;
import java.util.Collections;
import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.Executor;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.Consumer;
import serialslots.LineCounters;
import serialslots.ModemLines;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;

/**
 * One subscription: what happened is gathered as pending work, and one task
 * at a time on the subscription's executor turns it into events, in order.
 * Work that comes while a listener runs folds into the next round. Each round
 * compares the driver's counts with the last round's, so changes faster than
 * delivery fold into one event while the counts say how many there were.
 */
public final class Listening implements Subscription, Runnable {

    private final EventSource events;
    private final EnumSet<SerialEventType> types;
    private final Executor executor;
    private final Consumer<SerialEvent> listener;
    private final AtomicInteger pending = new AtomicInteger();
    private final AtomicBoolean scheduled = new AtomicBoolean();
    private final Gate gate = new Gate();
    private LineCounters lastCounters;  // the delivering task's
    private ModemLines lastLines;       // the delivering task's

    public Listening(EventSource events, Set<SerialEventType> types, Executor executor,
            Consumer<SerialEvent> listener) {
        this.events = events;
        this.types = types.isEmpty() ? EnumSet.noneOf(SerialEventType.class) : EnumSet.copyOf(types);
        this.executor = executor;
        this.listener = listener;
        lastCounters = events.counters();
        lastLines = events.lines();
    }

    public boolean wants(Collection<SerialEventType> any) {
        return !Collections.disjoint(types, any);
    }

    /** New work ({@link EventSource}'s bits), from any thread; it never waits. */
    public void activity(int work) {
        if (gate.isClosed()) {
            return;
        }
        pending.getAndUpdate(bits -> bits | work);
        if (scheduled.compareAndSet(false, true)) {
            try {
                executor.execute(this);
            } catch (RejectedExecutionException e) {
                scheduled.set(false);
            }
        }
    }

    @Override
    public void run() {
        for (;;) {
            int work = pending.getAndSet(0);
            if (work == 0 || gate.isClosed()) {
                scheduled.set(false);
                // Work that came after the last look, and found it scheduled, is done here.
                if (gate.isClosed() || pending.get() == 0 || !scheduled.compareAndSet(false, true)) {
                    return;
                }
                continue;
            }
            deliver(work);
        }
    }

    private void deliver(int work) {
        LineCounters counters = events.counters();
        ModemLines lines = events.lines();
        List<SerialEventType> happened = new ArrayList<>();
        if (counters != null && lastCounters != null) {
            LineCounters was = lastCounters;
            addIf(happened, SerialEventType.CTS, counters.ctsChanges() != was.ctsChanges());
            addIf(happened, SerialEventType.DSR, counters.dsrChanges() != was.dsrChanges());
            addIf(happened, SerialEventType.DCD, counters.dcdChanges() != was.dcdChanges());
            addIf(happened, SerialEventType.RI, counters.ringIndications() != was.ringIndications());
            addIf(happened, SerialEventType.BREAK, counters.breaks() != was.breaks());
            addIf(happened, SerialEventType.FRAMING_ERROR, counters.framingErrors() != was.framingErrors());
            addIf(happened, SerialEventType.PARITY_ERROR, counters.parityErrors() != was.parityErrors());
            addIf(happened, SerialEventType.OVERRUN, counters.overruns() != was.overruns()
                    || counters.bufferOverruns() != was.bufferOverruns());
        } else if (lines != null && lastLines != null) {
            // A driver that counts nothing: a line changed when its level did.
            addIf(happened, SerialEventType.CTS, lines.cts() != lastLines.cts());
            addIf(happened, SerialEventType.DSR, lines.dsr() != lastLines.dsr());
            addIf(happened, SerialEventType.DCD, lines.dcd() != lastLines.dcd());
            addIf(happened, SerialEventType.RI, lines.ri() && !lastLines.ri());
        }
        lastCounters = counters;
        lastLines = lines;
        boolean hungUp = (work & EventSource.HANG_UP) != 0;
        addIf(happened, SerialEventType.DATA, (work & EventSource.INPUT) != 0 && events.waiting() > 0);
        addIf(happened, SerialEventType.HANG_UP, hungUp);
        for (SerialEventType type : happened) {
            if (types.contains(type)) {
                emit(new SerialEvent(type, lines, counters));
            }
        }
        if (hungUp) {
            // The device is gone: this was the last event.
            close();
        }
    }

    private static void addIf(List<SerialEventType> happened, SerialEventType type, boolean happenedNow) {
        if (happenedNow) {
            happened.add(type);
        }
    }

    private void emit(SerialEvent event) {
        if (!gate.enter()) {
            return;
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

    @Override
    public void close() {
        if (gate.close()) {
            events.unsubscribe(this);
        }
    }
}
