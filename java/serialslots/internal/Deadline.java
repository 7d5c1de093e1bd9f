package serialslots.internal;

import java.util.concurrent.TimeUnit;

/** A moment on {@link System#nanoTime}'s clock by which a wait ends, or none. */
public final class Deadline {

    private static final Deadline NONE = new Deadline(0, false);

    private final long at;
    private final boolean bounded;

    private Deadline(long at, boolean bounded) {
        this.at = at;
        this.bounded = bounded;
    }

    /** @param millis how long from now; 0 for no limit */
    public static Deadline afterMillis(int millis) {
        return millis > 0 ? afterNanos(TimeUnit.MILLISECONDS.toNanos(millis)) : NONE;
    }

    public static Deadline afterMicros(long micros) {
        return afterNanos(TimeUnit.MICROSECONDS.toNanos(micros));
    }

    private static Deadline afterNanos(long nanos) {
        return new Deadline(System.nanoTime() + nanos, true);
    }

    public boolean bounded() {
        return bounded;
    }

    public boolean passed() {
        return bounded && System.nanoTime() - at >= 0;
    }

    /** @return the nanoseconds left, at least 1 while not passed; Long.MAX_VALUE without a limit */
    public long nanosLeft() {
        return bounded ? Math.max(0, at - System.nanoTime()) : Long.MAX_VALUE;
    }

    /** @return the milliseconds left, rounded up, for a native wait: 0 once passed, -1 without a limit */
    public int millisLeft() {
        if (!bounded) {
            return -1;
        }
        long nanos = at - System.nanoTime();
        return nanos <= 0 ? 0 : (int) Math.min(Integer.MAX_VALUE, (nanos + 999_999) / 1_000_000);
    }
}
