package serialslots;

/** The parity bit of each character: none, odd, even, or fixed at 1 (mark) or 0 (space). */
public enum Parity {
    /** No parity bit. */
    NONE('N'),
    /** A bit that makes the count of ones odd. */
    ODD('O'),
    /** A bit that makes the count of ones even. */
    EVEN('E'),
    /** A parity bit that is always 1. */
    MARK('M'),
    /** A parity bit that is always 0. */
    SPACE('S');

    private final char letter;

    Parity(char letter) {
        this.letter = letter;
    }

    /** The letter of the short form, as in "8N1". */
    char letter() {
        return letter;
    }
}
