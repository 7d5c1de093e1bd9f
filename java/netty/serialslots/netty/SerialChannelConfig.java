package serialslots.netty;

import static serialslots.netty.SerialChannelOption.BAUD_RATE;
import static serialslots.netty.SerialChannelOption.DATA_BITS;
import static serialslots.netty.SerialChannelOption.DTR;
import static serialslots.netty.SerialChannelOption.FLOW_CONTROL;
import static serialslots.netty.SerialChannelOption.IDLE_GAP_MICROS;
import static serialslots.netty.SerialChannelOption.LOW_LATENCY;
import static serialslots.netty.SerialChannelOption.PARITY;
import static serialslots.netty.SerialChannelOption.RS485;
import static serialslots.netty.SerialChannelOption.RTS;
import static serialslots.netty.SerialChannelOption.STOP_BITS;
import static serialslots.netty.SerialChannelOption.USER_EVENTS;

import io.netty.channel.ChannelOption;
import io.netty.channel.DefaultChannelConfig;
import java.util.EnumSet;
import java.util.Map;
import java.util.Optional;
import java.util.Set;
import serialslots.FlowControl;
import serialslots.LineSettings;
import serialslots.Parity;
import serialslots.Rs485;
import serialslots.SerialEventType;

/**
 * A {@link SerialChannel}'s configuration: Netty's own options and the
 * {@link SerialChannelOption}s. What is set before connect is applied by the
 * open; what is set while the channel is active goes to the port at once.
 */
public final class SerialChannelConfig extends DefaultChannelConfig {

    private final SerialChannel serial;
    private volatile LineSettings settings = LineSettings.of(9600);
    private volatile Boolean rts;
    private volatile Boolean dtr;
    private volatile Optional<Rs485> rs485;
    private volatile Boolean lowLatency;
    private volatile int idleGapMicros;
    private volatile Set<SerialEventType> userEvents = EnumSet.of(SerialEventType.BREAK,
            SerialEventType.FRAMING_ERROR, SerialEventType.PARITY_ERROR, SerialEventType.OVERRUN);

    SerialChannelConfig(SerialChannel channel) {
        super(channel);
        serial = channel;
    }

    @Override
    public Map<ChannelOption<?>, Object> getOptions() {
        return getOptions(super.getOptions(), BAUD_RATE, DATA_BITS, STOP_BITS, PARITY, FLOW_CONTROL, RTS, DTR,
                RS485, LOW_LATENCY, IDLE_GAP_MICROS, USER_EVENTS);
    }

    @Override
    @SuppressWarnings("unchecked")
    public <T> T getOption(ChannelOption<T> option) {
        LineSettings now = settings;
        Object value;
        if (option == BAUD_RATE) {
            value = now.baud();
        } else if (option == DATA_BITS) {
            value = now.dataBits();
        } else if (option == STOP_BITS) {
            value = now.stopBits();
        } else if (option == PARITY) {
            value = now.parity();
        } else if (option == FLOW_CONTROL) {
            value = now.flowControl();
        } else if (option == RTS) {
            value = rts;
        } else if (option == DTR) {
            value = dtr;
        } else if (option == RS485) {
            value = rs485;
        } else if (option == LOW_LATENCY) {
            value = lowLatency;
        } else if (option == IDLE_GAP_MICROS) {
            value = idleGapMicros;
        } else if (option == USER_EVENTS) {
            value = EnumSet.copyOf(userEvents);
        } else {
            return super.getOption(option);
        }
        return (T) value;
    }

    @Override
    public <T> boolean setOption(ChannelOption<T> option, T value) {
        validate(option, value);
        LineSettings now = settings;
        if (option == BAUD_RATE) {
            setSettings(LineSettings.of((Integer) value).withDataBits(now.dataBits()).withStopBits(now.stopBits())
                    .withParity(now.parity()).withFlowControl(now.flowControl()));
        } else if (option == DATA_BITS) {
            setSettings(now.withDataBits((Integer) value));
        } else if (option == STOP_BITS) {
            setSettings(now.withStopBits((Integer) value));
        } else if (option == PARITY) {
            setSettings(now.withParity((Parity) value));
        } else if (option == FLOW_CONTROL) {
            setSettings(now.withFlowControl((FlowControl) value));
        } else if (option == RTS) {
            rts = (Boolean) value;
            serial.apply(connection -> connection.setRts(rts));
        } else if (option == DTR) {
            dtr = (Boolean) value;
            serial.apply(connection -> connection.setDtr(dtr));
        } else if (option == RS485) {
            @SuppressWarnings("unchecked")
            Optional<Rs485> mode = (Optional<Rs485>) value;
            rs485 = mode;
            serial.apply(connection -> {
                if (mode.isPresent()) {
                    connection.setRs485(mode.get());
                } else {
                    connection.disableRs485();
                }
            });
        } else if (option == LOW_LATENCY) {
            lowLatency = (Boolean) value;
            serial.apply(connection -> connection.setLowLatency(lowLatency));
        } else if (option == IDLE_GAP_MICROS) {
            if ((Integer) value < 0) {
                throw new IllegalArgumentException("IDLE_GAP_MICROS: " + value + " is below 0");
            }
            idleGapMicros = (Integer) value;
        } else if (option == USER_EVENTS) {
            @SuppressWarnings("unchecked")
            Set<SerialEventType> wanted = (Set<SerialEventType>) value;
            userEvents = wanted.isEmpty() ? EnumSet.noneOf(SerialEventType.class) : EnumSet.copyOf(wanted);
            serial.resubscribe();
        } else {
            return super.setOption(option, value);
        }
        return true;
    }

    /** @return the line's settings, as the channel opens (or has opened) its port */
    public LineSettings settings() {
        return settings;
    }

    /** @param wanted the line's settings: taken by the open, or at once while the channel is active */
    public void setSettings(LineSettings wanted) {
        settings = java.util.Objects.requireNonNull(wanted, "settings");
        serial.apply(connection -> connection.reconfigure(wanted));
    }

    int idleGapMicros() {
        return idleGapMicros;
    }

    Set<SerialEventType> userEvents() {
        return userEvents;
    }

    /** What the open leaves as it is unless set: applied once the port is open. */
    void applyLines(serialslots.SerialConnection connection) throws java.io.IOException {
        Boolean rtsNow = rts;
        Boolean dtrNow = dtr;
        Optional<Rs485> rs485Now = rs485;
        Boolean lowLatencyNow = lowLatency;
        if (rtsNow != null) {
            connection.setRts(rtsNow);
        }
        if (dtrNow != null) {
            connection.setDtr(dtrNow);
        }
        if (rs485Now != null) {
            if (rs485Now.isPresent()) {
                connection.setRs485(rs485Now.get());
            } else {
                connection.disableRs485();
            }
        }
        if (lowLatencyNow != null) {
            connection.setLowLatency(lowLatencyNow);
        }
    }

    @Override
    protected void autoReadCleared() {
        serial.clearReadPending();
    }
}
