package serialslots.framing;

/**
 * Finds a byte sequence in a stream fed a byte at a time, overlaps included
 * ("\r\r\n" is found in "\r\r\r\n"): Knuth, Morris and Pratt's automaton.
 */
final class Matcher {

    private final byte[] pattern;
    private final int[] fallback;
    private int matched;

    Matcher(byte[] pattern) {
        this.pattern = pattern.clone();
        fallback = new int[pattern.length];
        for (int i = 1, k = 0; i < pattern.length; i++) {
            while (k > 0 && pattern[i] != pattern[k]) {
                k = fallback[k - 1];
            }
            if (pattern[i] == pattern[k]) {
                k++;
            }
            fallback[i] = k;
        }
    }

    /** Takes the next byte: true when it completes the sequence. */
    boolean next(byte b) {
        while (matched > 0 && b != pattern[matched]) {
            matched = fallback[matched - 1];
        }
        if (b == pattern[matched]) {
            matched++;
        }
        if (matched == pattern.length) {
            matched = 0;
            return true;
        }
        return false;
    }

    /** How many bytes of the sequence the last bytes fed are. */
    int matched() {
        return matched;
    }

    int length() {
        return pattern.length;
    }

    void reset() {
        matched = 0;
    }
}
