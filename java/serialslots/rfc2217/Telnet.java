package serialslots.rfc2217;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import serialslots.internal.Failures;

/**
 * The telnet stream of an RFC 2217 connection: data, in which the byte 0xFF
 * (IAC) is doubled, option negotiation (IAC WILL, WONT, DO, DONT and an
 * option) and subnegotiation (IAC SB option ... IAC SE). A state machine fed
 * bytes in any split; nothing the server sends can make it hold more than a
 * subnegotiation's bound, or hang.
 */
public final class Telnet {

    public static final int IAC = 255;
    public static final int DONT = 254;
    public static final int DO = 253;
    public static final int WONT = 252;
    public static final int WILL = 251;
    public static final int SB = 250;
    public static final int SE = 240;

    /** The longest subnegotiation believed: a COM-PORT-OPTION command and a 4-byte value, with room to spare. */
    public static final int MAX_SUBNEGOTIATION = 64;

    /** Told what the stream holds, in order. */
    public interface Handler {
        void data(byte[] bytes, int offset, int length) throws IOException;

        /** A negotiation: WILL, WONT, DO or DONT, and its option. */
        void negotiation(int verb, int option) throws IOException;

        /** A subnegotiation's option and payload, IACs undoubled. */
        void subnegotiation(int option, byte[] payload, int length) throws IOException;
    }

    private enum State { DATA, IAC, VERB, SB_OPTION, SB_DATA, SB_IAC }

    private final Handler handler;
    private final byte[] payload = new byte[MAX_SUBNEGOTIATION];
    private State state = State.DATA;
    private int verb;
    private int option;
    private int length;

    public Telnet(Handler handler) {
        this.handler = handler;
    }

    /** Takes the next bytes of the stream. */
    public void feed(byte[] bytes, int offset, int count) throws IOException {
        int end = offset + count;
        int run = offset;  // the start of a run of plain data not yet handed on
        for (int i = offset; i < end; i++) {
            int b = bytes[i] & 0xFF;
            switch (state) {
                case DATA -> {
                    if (b == IAC) {
                        if (i > run) {
                            handler.data(bytes, run, i - run);
                        }
                        state = State.IAC;
                    }
                }
                case IAC -> {
                    state = State.DATA;
                    switch (b) {
                        case IAC -> handler.data(bytes, i, 1);
                        case WILL, WONT, DO, DONT -> {
                            verb = b;
                            state = State.VERB;
                        }
                        case SB -> state = State.SB_OPTION;
                        default -> {
                            // NOP, GA, a stray SE and the like carry nothing for a serial line
                        }
                    }
                    run = i + 1;
                }
                case VERB -> {
                    state = State.DATA;
                    run = i + 1;
                    handler.negotiation(verb, b);
                }
                case SB_OPTION -> {
                    option = b;
                    length = 0;
                    state = State.SB_DATA;
                    run = i + 1;
                }
                case SB_DATA -> {
                    if (b == IAC) {
                        state = State.SB_IAC;
                    } else {
                        keep(b);
                    }
                    run = i + 1;
                }
                case SB_IAC -> {
                    run = i + 1;
                    if (b == IAC) {
                        keep(b);
                        state = State.SB_DATA;
                    } else if (b == SE) {
                        state = State.DATA;
                        handler.subnegotiation(option, payload, length);
                    } else {
                        throw Failures.telnetBreach("IAC " + b + " inside a subnegotiation");
                    }
                }
                default -> throw new IllegalStateException(state.toString());
            }
        }
        if (state == State.DATA && end > run) {
            handler.data(bytes, run, end - run);
        }
    }

    private void keep(int b) throws IOException {
        if (length == payload.length) {
            throw Failures.telnetBreach("a subnegotiation longer than " + MAX_SUBNEGOTIATION + " bytes");
        }
        payload[length++] = (byte) b;
    }

    /** Data as it goes on the wire: every 0xFF doubled. */
    public static void escape(byte[] bytes, int offset, int length, ByteArrayOutputStream into) {
        int run = offset;
        for (int i = offset; i < offset + length; i++) {
            if (bytes[i] == (byte) IAC) {
                into.write(bytes, run, i + 1 - run);
                into.write(IAC);
                run = i + 1;
            }
        }
        into.write(bytes, run, offset + length - run);
    }

    /** IAC SB option payload IAC SE, the payload's 0xFF doubled. */
    public static byte[] subnegotiation(int option, byte... payload) {
        ByteArrayOutputStream frame = new ByteArrayOutputStream();
        frame.write(IAC);
        frame.write(SB);
        frame.write(option);
        escape(payload, 0, payload.length, frame);
        frame.write(IAC);
        frame.write(SE);
        return frame.toByteArray();
    }
}
