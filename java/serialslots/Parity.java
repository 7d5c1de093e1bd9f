package serialslots;

/** The parity bit of each character: none, odd, even, or fixed at 1 (mark) or 0 (space). */
public enum Parity {
    /** No parity bit. */
    NONE,
    /** A bit that makes the count of ones odd. */
    ODD,
    /** A bit that makes the count of ones even. */
    EVEN,
    /** A parity bit that is always 1. */
    MARK,
    /** A parity bit that is always 0. */
    SPACE
}
