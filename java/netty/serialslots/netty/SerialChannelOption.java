package serialslots.netty;

import io.netty.channel.ChannelOption;
import serialslots.FlowControl;
import serialslots.Parity;
import serialslots.Rs485;

/**
 * The options of a {@link SerialChannel}. The line's settings are taken at
 * connect and may change while the channel is active; so may the rest.
 */
public final class SerialChannelOption {

    /** Bits per second; 9600 unless set. */
    public static final ChannelOption<Integer> BAUD_RATE = option("BAUD_RATE");
    /** 5 to 8; 8 unless set. */
    public static final ChannelOption<Integer> DATA_BITS = option("DATA_BITS");
    /** 1 or 2; 1 unless set. */
    public static final ChannelOption<Integer> STOP_BITS = option("STOP_BITS");
    /** {@link Parity#NONE} unless set. */
    public static final ChannelOption<Parity> PARITY = option("PARITY");
    /** {@link FlowControl#NONE} unless set. */
    public static final ChannelOption<FlowControl> FLOW_CONTROL = option("FLOW_CONTROL");
    /** The RTS line's level; as the open leaves it unless set. */
    public static final ChannelOption<Boolean> RTS = option("RTS");
    /** The DTR line's level; as the open leaves it unless set. */
    public static final ChannelOption<Boolean> DTR = option("DTR");
    /** The driver's RS-485 mode; {@code Optional.empty()} turns it off; left as it is unless set. */
    public static final ChannelOption<java.util.Optional<Rs485>> RS485 = option("RS485");
    /** The driver's low-latency mode; left as it is unless set. */
    public static final ChannelOption<Boolean> LOW_LATENCY = option("LOW_LATENCY");
    /**
     * Microseconds of silence that end a message: with it, the bytes that
     * came together reach the pipeline as one buffer once the line has been
     * silent that long. 0 (unless set): bytes go on as they come.
     */
    public static final ChannelOption<Integer> IDLE_GAP_MICROS = option("IDLE_GAP_MICROS");

    /**
     * The port's events that reach the pipeline as user events
     * ({@link serialslots.SerialEvent}); BREAK, FRAMING_ERROR, PARITY_ERROR and
     * OVERRUN unless set. Arrivals are the channel's reads and HANG_UP is
     * {@code channelInactive}, whatever this says. CTS, DSR, DCD and RI cost
     * a local port a thread while they are wanted: the kernel waits for modem
     * lines only in a blocking call.
     */
    public static final ChannelOption<java.util.Set<serialslots.SerialEventType>> USER_EVENTS =
            option("USER_EVENTS");

    private SerialChannelOption() {
    }

    private static <T> ChannelOption<T> option(String name) {
        return ChannelOption.valueOf(SerialChannelOption.class, name);
    }
}
