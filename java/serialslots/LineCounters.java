package serialslots;

/**
 * What the driver has counted since the device was opened by anyone: bytes,
 * line errors and modem-line changes.
 *
 * @param received bytes received
 * @param transmitted bytes transmitted
 * @param breaks breaks received
 * @param framingErrors characters received with a framing error
 * @param parityErrors characters received with a parity error
 * @param overruns characters lost because the UART's receiver overran
 * @param bufferOverruns characters lost because the driver's buffer was full
 * @param ctsChanges changes of CTS
 * @param dsrChanges changes of DSR
 * @param dcdChanges changes of DCD
 * @param ringIndications rings on RI
 */
public record LineCounters(long received, long transmitted, long breaks, long framingErrors, long parityErrors,
        long overruns, long bufferOverruns, long ctsChanges, long dsrChanges, long dcdChanges, long ringIndications) {
}
