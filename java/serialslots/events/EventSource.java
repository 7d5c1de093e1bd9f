package serialslots.events;

import serialslots.LineCounters;
import serialslots.ModemLines;

/** What a subscription asks of the transport its events come from. */
public interface EventSource {

    /** Work for a subscription, as bits: bytes arrived, a line or error count changed, the device went. */
    int INPUT = 1;
    int MODEM = 2;
    int HANG_UP = 4;

    /** The counts now, or null where none are kept. */
    LineCounters counters();

    /** The modem lines now, or null where there are none. */
    ModemLines lines();

    /** Bytes waiting, 0 when none or when that cannot be known. */
    int waiting();

    void unsubscribe(Listening subscription);
}
