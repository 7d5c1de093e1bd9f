package serialslots;

/**
 * Something that happened on a connection.
 *
 * @param type what happened
 * @param lines the modem lines just after it, or null where the device has none (a pseudo-terminal)
 *     or they could not be read just then
 * @param counters the driver's counts just after it, or null where it keeps none (a pseudo-terminal)
 *     or they could not be read just then
 */
public record SerialEvent(SerialEventType type, ModemLines lines, LineCounters counters) {
}
