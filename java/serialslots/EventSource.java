package serialslots;

/** What a subscription asks of where its events come from, a device of this machine or a remote port. */
interface EventSource {

    /** The counts now, or null where none are kept. */
    LineCounters counters();

    /** The modem lines now, or null where there are none. */
    ModemLines lines();

    /** Bytes waiting, 0 when none or when that cannot be known. */
    int waiting();

    void unsubscribe(Listening subscription);
}
