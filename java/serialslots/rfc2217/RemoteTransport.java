package serialslots.rfc2217;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.net.SocketException;
import java.net.URI;
import java.util.Arrays;
import java.util.BitSet;
import java.util.Optional;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.Rs485;
import serialslots.SettingNotSupportedException;
import serialslots.events.EventSource;
import serialslots.internal.Deadline;
import serialslots.internal.Failures;
import serialslots.tcp.TcpTransport;

/**
 * A serial port of another machine, over RFC 2217 on TCP, or over TLS for
 * {@code rfc2217s://}. Settings, modem lines, break and purges are the
 * protocol's commands, each answered by the server; its answers are the
 * read-back. Bytes cross in binary mode with every 0xFF doubled.
 */
public final class RemoteTransport extends TcpTransport {

    /** How long connecting and each call's answers may take, in ms (0: no limit): a system property. */
    public static final String TIMEOUT_PROPERTY = "serialslots.rfc2217.timeout";
    static final String FORM = "rfc2217://host:port or rfc2217s://host:port";
    private static final int BINARY = 0;
    private static final int SUPPRESS_GO_AHEAD = 3;

    // All guarded by lock.
    private final long[] answerCount = new long[ComPortOption.COMMANDS];  // answers so far, per command
    private final byte[][] answers = new byte[ComPortOption.COMMANDS][];
    private final BitSet refused = new BitSet(512);  // options refused once: verb WILL or DO, then option
    private boolean comPortAgreed;
    private boolean comPortRefused;
    private boolean spokeTheProtocol;
    private boolean rts = true;
    private boolean dtr = true;
    private final ComPortOption.Counts counts = new ComPortOption.Counts();
    private LineSettings settings;
    private final Telnet telnet = new Telnet(new FromServer());

    private RemoteTransport(String name, Connection connection, int timeoutMillis) throws IOException {
        super(name, connection, timeoutMillis);
    }

    /** Connects, agrees on the protocol and applies the settings, all within one timeout. */
    public static RemoteTransport open(String name, LineSettings settings) throws IOException {
        URI uri = parse(name, FORM);
        int timeout = timeout(uri, TIMEOUT_PROPERTY, FORM);
        Deadline deadline = Deadline.afterMillis(timeout);
        RemoteTransport port = null;
        try {
            port = new RemoteTransport(name, connect(uri, uri.getScheme().equals("rfc2217s"), deadline), timeout);
            port.start("rfc2217");
            port.agree(deadline);
            port.queue(ComPortOption.command(ComPortOption.SET_MODEMSTATE_MASK, (byte) ComPortOption.MODEM_MASK));
            port.queue(ComPortOption.command(ComPortOption.SET_LINESTATE_MASK, (byte) ComPortOption.LINE_MASK));
            port.configure(settings, deadline, "configuring");
            return port;
        } catch (IOException | RuntimeException e) {
            if (port == null) {
                throw Failures.remote(name, timeout, e);
            }
            if (e instanceof SocketException) {
                port.awaitHangUp(deadline);  // the server closed first: what it said is still on its way in
            }
            IOException dropped = port.droppedWhileOpening();
            port.close(0);
            throw dropped != null ? dropped : Failures.remote(name, timeout, e);
        }
    }

    @Override
    protected void decode(byte[] bytes, int offset, int length) throws IOException {
        telnet.feed(bytes, offset, length);
    }

    @Override
    protected void encode(byte[] bytes, int offset, int length, ByteArrayOutputStream into) {
        Telnet.escape(bytes, offset, length, into);
    }

    @Override
    protected ModemLines linesNow() {
        return ComPortOption.linesOf(counts.modemState(), rts, dtr);
    }

    @Override
    protected LineCounters countersNow() {
        return counts.snapshot(receivedCount(), transmittedCount());
    }

    /** Asks for binary both ways and the COM port option; only the latter is a must. */
    private void agree(Deadline deadline) throws IOException {
        queue(new byte[] {(byte) Telnet.IAC, (byte) Telnet.WILL, ComPortOption.OPTION, (byte) Telnet.IAC,
            (byte) Telnet.WILL, BINARY, (byte) Telnet.IAC, (byte) Telnet.DO, BINARY});
        lock.lock();
        try {
            while (!comPortAgreed && !comPortRefused && !hungUp() && !isClosed()) {
                if (!waitUntil(deadline)) {
                    throw Failures.notRfc2217(name, "it did not answer the COM port option within "
                            + timeoutMillis + " ms");
                }
            }
            if (hungUp()) {
                throw droppedWhileOpening();
            }
            if (comPortRefused) {
                throw Failures.notRfc2217(name, "it refused the COM port option");
            }
        } finally {
            lock.unlock();
        }
    }

    /**
     * Why the server ended the connection while it was being opened, with the
     * words it said if it said any; null while it is up.
     */
    private IOException droppedWhileOpening() {
        lock.lock();
        try {
            if (!hungUp()) {
                return null;
            }
            if (hangUpReason() != null) {
                return Failures.brokeProtocol(name, hangUpReason());
            }
            return Failures.droppedWhileOpening(name, receivedText(200).trim().replaceAll(" +", " "),
                    spokeTheProtocol);
        } finally {
            lock.unlock();
        }
    }

    /**
     * Sends COM port commands, in order, and waits until the server has
     * answered each: the answers' values, in the same order.
     */
    private byte[][] commands(String operation, Deadline deadline, int[] commands, byte[]... values)
            throws IOException {
        lock.lock();
        try {
            long[] before = new long[commands.length];
            for (int i = 0; i < commands.length; i++) {
                before[i] = answerCount[commands[i]];
                queueLocked(ComPortOption.command(commands[i], values[i]));
            }
            byte[][] got = new byte[commands.length][];
            for (int i = 0; i < commands.length; i++) {
                while (answerCount[commands[i]] == before[i]) {
                    IOException ended = ended(0, 0);
                    if (ended != null) {
                        throw ended;
                    }
                    if (!waitUntil(deadline)) {
                        throw Failures.timedOut(name, operation, timeoutMillis, 0, 0);
                    }
                }
                got[i] = answers[commands[i]];
            }
            return got;
        } finally {
            lock.unlock();
        }
    }

    private byte[] command(String operation, int command, byte... value) throws IOException {
        return commands(operation, Deadline.afterMillis(timeoutMillis), new int[] {command}, value)[0];
    }

    /** What the server sends: data for the program, negotiation and the COM port option's answers. */
    private final class FromServer implements Telnet.Handler {

        @Override
        public void data(byte[] bytes, int offset, int length) {
            deliver(bytes, offset, length);
        }

        @Override
        public void negotiation(int verb, int option) {
            lock.lock();
            try {
                if (option == ComPortOption.OPTION) {
                    comPortAgreed |= verb == Telnet.DO || verb == Telnet.WILL;
                    comPortRefused |= verb == Telnet.DONT || verb == Telnet.WONT;
                    changed.signalAll();
                } else if (verb == Telnet.DO && option != BINARY) {
                    refuse(0, Telnet.WONT, option);
                } else if (verb == Telnet.WILL && option != BINARY && option != SUPPRESS_GO_AHEAD) {
                    refuse(256, Telnet.DONT, option);
                }
            } finally {
                lock.unlock();
            }
        }

        /** With lock held: refuses an option once; asked again, it is already refused, and no loop can start. */
        private void refuse(int verbBase, int answer, int option) {
            if (!refused.get(verbBase + option)) {
                refused.set(verbBase + option);
                queueLocked(new byte[] {(byte) Telnet.IAC, (byte) answer, (byte) option});
            }
        }

        @Override
        public void subnegotiation(int option, byte[] payload, int length) {
            if (option != ComPortOption.OPTION || length < 1) {
                return;
            }
            int command = (payload[0] & 0xFF) - ComPortOption.ANSWER;
            if (command < 0 || command >= ComPortOption.COMMANDS) {
                return;
            }
            byte[] value = Arrays.copyOfRange(payload, 1, length);
            int work = 0;
            lock.lock();
            try {
                spokeTheProtocol = true;
                if (command == ComPortOption.NOTIFY_MODEMSTATE && value.length >= 1) {
                    work = EventSource.MODEM;
                    counts.modemState(value[0] & 0xFF);
                } else if (command == ComPortOption.NOTIFY_LINESTATE && value.length >= 1) {
                    work = EventSource.MODEM;
                    counts.lineState(value[0] & 0xFF);
                } else {
                    answers[command] = value;
                    answerCount[command]++;
                    changed.signalAll();
                }
            } finally {
                lock.unlock();
            }
            if (work != 0) {
                tellSubscriptions(work);
            }
        }
    }

    @Override
    public void discard(boolean input) throws IOException {
        if (input) {
            discardReceived();
        }
        command(input ? "discard input" : "discard output", ComPortOption.PURGE_DATA,
                (byte) (input ? ComPortOption.PURGE_RECEIVED : ComPortOption.PURGE_TRANSMITTED));
    }

    @Override
    public void setBreak(boolean on) throws IOException {
        command("break", ComPortOption.SET_CONTROL, (byte) (on ? ComPortOption.BREAK_ON : ComPortOption.BREAK_OFF));
    }

    @Override
    public void setRts(boolean on) throws IOException {
        command("setting RTS", ComPortOption.SET_CONTROL, (byte) (on ? ComPortOption.RTS_ON : ComPortOption.RTS_OFF));
        lock.lock();
        try {
            rts = on;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public void setDtr(boolean on) throws IOException {
        command("setting DTR", ComPortOption.SET_CONTROL, (byte) (on ? ComPortOption.DTR_ON : ComPortOption.DTR_OFF));
        lock.lock();
        try {
            dtr = on;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public ModemLines modemLines() throws IOException {
        return whileOpen(() -> linesNow());
    }

    @Override
    public LineSettings settings() throws IOException {
        return whileOpen(() -> settings);
    }

    @Override
    public void reconfigure(LineSettings wanted) throws IOException {
        configure(wanted, Deadline.afterMillis(timeoutMillis), "configuring");
    }

    /**
     * Sends every setting and reads the server's answers back; what it did not
     * keep is refused and the settings before are sent again, all by one deadline.
     */
    private void configure(LineSettings wanted, Deadline deadline, String operation) throws IOException {
        LineSettings before;
        lock.lock();
        try {
            before = settings;
        } finally {
            lock.unlock();
        }
        LineSettings kept = ComPortOption.settingsOf(name, commands(operation, deadline, ComPortOption.SETTING_COMMANDS,
                ComPortOption.settingValues(wanted)));
        SettingNotSupportedException refusal = refusal(wanted, kept);
        LineSettings now = kept;
        if (refusal != null && before != null) {
            now = ComPortOption.settingsOf(name, commands(operation, deadline, ComPortOption.SETTING_COMMANDS,
                    ComPortOption.settingValues(before)));
        }
        lock.lock();
        try {
            settings = now;
        } finally {
            lock.unlock();
        }
        if (refusal != null) {
            throw refusal;
        }
    }

    /** The first setting the server did not keep, as asked and as kept; a rate within 2% counts as kept. */
    private SettingNotSupportedException refusal(LineSettings wanted, LineSettings got) {
        if (Math.abs((long) got.baud() - wanted.baud()) * 50 > wanted.baud()) {
            return Failures.settingRefused(name, Failures.SETTING_BAUD, wanted.baud(), got.baud());
        }
        if (got.dataBits() != wanted.dataBits()) {
            return Failures.settingRefused(name, Failures.SETTING_DATA_BITS, wanted.dataBits(), got.dataBits());
        }
        if (got.stopBits() != wanted.stopBits()) {
            return Failures.settingRefused(name, Failures.SETTING_STOP_BITS, wanted.stopBits(), got.stopBits());
        }
        if (got.parity() != wanted.parity()) {
            return Failures.settingRefused(name, Failures.SETTING_PARITY, wanted.parity(), got.parity());
        }
        if (got.flowControl() != wanted.flowControl()) {
            return Failures.settingRefused(name, Failures.SETTING_FLOW_CONTROL, wanted.flowControl(),
                    got.flowControl());
        }
        return null;
    }

    /** The counts the server's notifications and this connection's traffic make, since it was opened. */
    @Override
    public LineCounters counters() throws IOException {
        return whileOpen(() -> countersNow());
    }

    /** The protocol has no RS-485: turning it off is done already. */
    @Override
    public void setRs485(Optional<Rs485> mode) throws IOException {
        if (mode.isPresent()) {
            throw Failures.noRs485(name);
        }
    }

    @Override
    public Optional<Rs485> rs485() {
        return Optional.empty();
    }

    /** The protocol has no latency control. */
    @Override
    public void setLowLatency(boolean on) throws IOException {
        throw Failures.noLatencyControl(name, on);
    }

    @Override
    public boolean isLowLatency() {
        return false;
    }
}
