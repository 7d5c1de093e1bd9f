package serialslots.marking;

import java.util.function.Supplier;
import serialslots.ByteError;
import serialslots.LineCounters;

/**
 * The kind of each mark, from the driver's counts: the kernel marks a
 * parity error, a framing error and a break alike, but counts each kind
 * before the byte can be read. Marks take the kinds counted and not yet
 * given out; only where two kinds come between two reads is their order
 * unknown, and a break's zero byte goes first. A mark beyond the counts
 * takes the kind before it: an FTDI adapter reports one error for a USB
 * packet, and its driver marks every byte of the packet.
 */
public final class CountedKinds implements Unmarker.Kinds {

    private final Supplier<LineCounters> counts;
    private LineCounters last;
    private long breaks;
    private long framing;
    private long parity;
    private long lost;
    private ByteError lastKind;

    /** @param counts the driver's counts now, or null where it keeps none */
    public CountedKinds(Supplier<LineCounters> counts) {
        this.counts = counts;
        this.last = counts.get();
    }

    @Override
    public void refresh() {
        if (last == null) {
            return;
        }
        LineCounters now = counts.get();
        if (now == null) {
            return;
        }
        breaks += now.breaks() - last.breaks();
        framing += now.framingErrors() - last.framingErrors();
        parity += now.parityErrors() - last.parityErrors();
        lost += now.overruns() + now.bufferOverruns() - last.overruns() - last.bufferOverruns();
        last = now;
    }

    @Override
    public ByteError marked(int value) {
        if (value == 0 && breaks > 0) {
            breaks--;
            lastKind = ByteError.BREAK;
        } else if (parity > 0) {
            parity--;
            lastKind = ByteError.PARITY;
        } else if (framing > 0) {
            framing--;
            lastKind = ByteError.FRAMING;
        } else if (lastKind == null) {
            // Counted before this connection began, or by a driver that keeps no counts.
            return value == 0 ? ByteError.BREAK : ByteError.PARITY;
        }
        return lastKind;
    }

    @Override
    public boolean overran() {
        boolean overran = lost > 0;
        lost = 0;
        return overran;
    }
}
