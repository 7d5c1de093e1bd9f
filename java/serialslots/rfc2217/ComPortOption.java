package serialslots.rfc2217;

import java.net.ProtocolException;
import serialslots.FlowControl;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.Parity;
import serialslots.internal.Failures;

/**
 * RFC 2217's COM-PORT-OPTION: its codes, the client's commands as they go
 * on the wire, the server's answers read back into settings (anything out of
 * the protocol's range is a {@link ProtocolException} naming it), and its
 * notifications turned into modem lines and counts.
 */
final class ComPortOption {

    static final int OPTION = 44;

    /** The client's commands; a server answers each with its code plus {@link #ANSWER}. */
    static final int SET_BAUDRATE = 1;
    static final int SET_DATASIZE = 2;
    static final int SET_PARITY = 3;
    static final int SET_STOPSIZE = 4;
    static final int SET_CONTROL = 5;
    static final int NOTIFY_LINESTATE = 6;
    static final int NOTIFY_MODEMSTATE = 7;
    static final int SET_LINESTATE_MASK = 10;
    static final int SET_MODEMSTATE_MASK = 11;
    static final int PURGE_DATA = 12;
    static final int COMMANDS = 13;
    static final int ANSWER = 100;

    /** SET-CONTROL values. */
    static final int FLOW_NONE = 1;
    static final int FLOW_XON_XOFF = 2;
    static final int FLOW_HARDWARE = 3;
    static final int BREAK_ON = 5;
    static final int BREAK_OFF = 6;
    static final int DTR_ON = 8;
    static final int DTR_OFF = 9;
    static final int RTS_ON = 11;
    static final int RTS_OFF = 12;

    /** PURGE-DATA values. */
    static final int PURGE_RECEIVED = 1;
    static final int PURGE_TRANSMITTED = 2;

    /** NOTIFY-MODEMSTATE bits: the lines, and the changes since the last notification. */
    static final int CTS_CHANGED = 0x01;
    static final int DSR_CHANGED = 0x02;
    static final int RING_ENDED = 0x04;
    static final int DCD_CHANGED = 0x08;
    static final int CTS = 0x10;
    static final int DSR = 0x20;
    static final int RI = 0x40;
    static final int DCD = 0x80;
    /** Every line and every change: a server tells of a change only where its bit is in the mask. */
    static final int MODEM_MASK = 0xFF;

    /** NOTIFY-LINESTATE bits. */
    static final int OVERRUN = 0x02;
    static final int PARITY_ERROR = 0x04;
    static final int FRAMING_ERROR = 0x08;
    static final int BREAK = 0x10;
    static final int LINE_MASK = OVERRUN | PARITY_ERROR | FRAMING_ERROR | BREAK;

    private ComPortOption() {
    }

    /** IAC SB COM-PORT-OPTION command value IAC SE. */
    static byte[] command(int command, byte... value) {
        byte[] payload = new byte[value.length + 1];
        payload[0] = (byte) command;
        System.arraycopy(value, 0, payload, 1, value.length);
        return Telnet.subnegotiation(OPTION, payload);
    }

    /** The five commands that set a line, in the order they are sent and answered. */
    static final int[] SETTING_COMMANDS = {SET_BAUDRATE, SET_DATASIZE, SET_PARITY, SET_STOPSIZE, SET_CONTROL};

    /** The value of each of {@link #SETTING_COMMANDS} for {@code settings}. */
    static byte[][] settingValues(LineSettings settings) {
        int baud = settings.baud();
        return new byte[][] {
            {(byte) (baud >>> 24), (byte) (baud >>> 16), (byte) (baud >>> 8), (byte) baud},
            {(byte) settings.dataBits()},
            {(byte) parityCode(settings.parity())},
            {(byte) settings.stopBits()},
            {(byte) flowCode(settings.flowControl())}};
    }

    static int parityCode(Parity parity) {
        return switch (parity) {
            case NONE -> 1;
            case ODD -> 2;
            case EVEN -> 3;
            case MARK -> 4;
            case SPACE -> 5;
        };
    }

    private static int flowCode(FlowControl flow) {
        return switch (flow) {
            case NONE -> FLOW_NONE;
            case XON_XOFF -> FLOW_XON_XOFF;
            case RTS_CTS -> FLOW_HARDWARE;
        };
    }

    /** The settings the server's answers to {@link #SETTING_COMMANDS} say it holds. */
    static LineSettings settingsOf(String port, byte[][] answers) throws ProtocolException {
        for (int i = 0; i < answers.length; i++) {
            if (answers[i].length < (i == 0 ? 4 : 1)) {
                throw Failures.badAnswer(port, name(SETTING_COMMANDS[i]),
                        answers[i].length == 0 ? -1 : answers[i][0] & 0xFF);
            }
        }
        byte[] baud = answers[0];
        long rate = (baud[0] & 0xFFL) << 24 | (baud[1] & 0xFF) << 16 | (baud[2] & 0xFF) << 8 | (baud[3] & 0xFF);
        if (rate <= 0 || rate > Integer.MAX_VALUE) {
            throw Failures.badAnswer(port, "SET-BAUDRATE", rate);
        }
        int dataBits = answers[1][0] & 0xFF;
        if (dataBits < 5 || dataBits > 8) {
            throw Failures.badAnswer(port, "SET-DATASIZE", dataBits);
        }
        Parity parity = switch (answers[2][0] & 0xFF) {
            case 1 -> Parity.NONE;
            case 2 -> Parity.ODD;
            case 3 -> Parity.EVEN;
            case 4 -> Parity.MARK;
            case 5 -> Parity.SPACE;
            default -> throw Failures.badAnswer(port, "SET-PARITY", answers[2][0] & 0xFF);
        };
        int stopBits = answers[3][0] & 0xFF;
        if (stopBits != 1 && stopBits != 2) {
            throw Failures.badAnswer(port, "SET-STOPSIZE", stopBits);  // 3 is 1.5, which no setting here asks for
        }
        FlowControl flow = switch (answers[4][0] & 0xFF) {
            case FLOW_NONE -> FlowControl.NONE;
            case FLOW_XON_XOFF -> FlowControl.XON_XOFF;
            case FLOW_HARDWARE -> FlowControl.RTS_CTS;
            default -> throw Failures.badAnswer(port, "SET-CONTROL (flow control)", answers[4][0] & 0xFF);
        };
        return LineSettings.of((int) rate).withDataBits(dataBits).withParity(parity).withStopBits(stopBits)
                .withFlowControl(flow);
    }

    static String name(int command) {
        return switch (command) {
            case SET_BAUDRATE -> "SET-BAUDRATE";
            case SET_DATASIZE -> "SET-DATASIZE";
            case SET_PARITY -> "SET-PARITY";
            case SET_STOPSIZE -> "SET-STOPSIZE";
            case SET_CONTROL -> "SET-CONTROL";
            case PURGE_DATA -> "PURGE-DATA";
            default -> "command " + command;
        };
    }

    static ModemLines linesOf(int state, boolean rts, boolean dtr) {
        return new ModemLines((state & CTS) != 0, (state & DSR) != 0, (state & DCD) != 0, (state & RI) != 0, rts,
                dtr);
    }

    /** The counts a connection keeps from the server's notifications, as a driver counts. */
    static final class Counts {
        private long breaks;
        private long framingErrors;
        private long parityErrors;
        private long overruns;
        private long ctsChanges;
        private long dsrChanges;
        private long dcdChanges;
        private long ringIndications;
        private int modemState;

        int modemState() {
            return modemState;
        }

        /** A NOTIFY-MODEMSTATE: a line changed where its change bit is set, or its level differs. */
        void modemState(int state) {
            int was = modemState;
            modemState = state;
            int changed = state ^ was;
            ctsChanges += (state & CTS_CHANGED) != 0 || (changed & CTS) != 0 ? 1 : 0;
            dsrChanges += (state & DSR_CHANGED) != 0 || (changed & DSR) != 0 ? 1 : 0;
            dcdChanges += (state & DCD_CHANGED) != 0 || (changed & DCD) != 0 ? 1 : 0;
            // A ring counts at its trailing edge.
            ringIndications += (state & RING_ENDED) != 0 || ((was & RI) != 0 && (state & RI) == 0) ? 1 : 0;
        }

        /** A NOTIFY-LINESTATE. */
        void lineState(int state) {
            breaks += (state & BREAK) != 0 ? 1 : 0;
            framingErrors += (state & FRAMING_ERROR) != 0 ? 1 : 0;
            parityErrors += (state & PARITY_ERROR) != 0 ? 1 : 0;
            overruns += (state & OVERRUN) != 0 ? 1 : 0;
        }

        /** The counts, with the bytes received and transmitted that the connection counted. */
        LineCounters snapshot(long received, long transmitted) {
            return new LineCounters(received, transmitted, breaks, framingErrors, parityErrors, overruns, 0,
                    ctsChanges, dsrChanges, dcdChanges, ringIndications);
        }
    }
}
