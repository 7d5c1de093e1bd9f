package serialslots.trace;

import java.io.IOException;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.Executor;
import java.util.function.Consumer;
import serialslots.ByteError;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.PortOption;
import serialslots.Rs485;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.internal.Failures;
import serialslots.transport.Transport;

/**
 * {@code spy://NAME?file=PATH}: any other port, with a record of everything
 * that passes (see {@link Trace}): the open, each write and read as bytes,
 * every setting applied and read back, every control-line call and what it
 * read, every event, every failure, and the close. It never changes what
 * passes.
 */
public final class SpyTransport implements Transport {

    public static final String PREFIX = "spy://";

    /** Opens a port by its name, as the scheme table does. */
    public interface Opener {
        Transport open(String name, LineSettings settings, boolean exclusive, Set<PortOption> options)
                throws IOException;
    }

    private final Transport spied;
    private final Trace trace;

    private SpyTransport(Transport spied, Trace trace) {
        this.spied = spied;
        this.trace = trace;
    }

    /** Opens the port the spy's name wraps, with {@code opener}, and records it. */
    public static SpyTransport open(String name, LineSettings settings, boolean exclusive, Set<PortOption> options,
            Opener opener) throws IOException {
        int separator = Math.max(name.lastIndexOf("?file="), name.lastIndexOf("&file="));
        String wrapped = separator < 0 ? "" : name.substring(PREFIX.length(), separator);
        String file = separator < 0 ? "" : name.substring(separator + "?file=".length());
        if (wrapped.isEmpty() || file.isEmpty()) {
            throw Failures.badSpyName(name);
        }
        Trace trace = Trace.to(name, file);
        trace.record("open " + wrapped + " " + settings + " " + (exclusive ? "exclusive" : "shared")
                + (options.isEmpty() ? "" : " " + options));
        try {
            SpyTransport spy = new SpyTransport(opener.open(wrapped, settings, exclusive, options), trace);
            spy.trace.record("settings " + spy.spied.settings());
            return spy;
        } catch (IOException | RuntimeException e) {
            trace.record("failed open: " + e.getMessage());
            trace.close();
            throw e;
        }
    }

    /** A call that answers nothing. */
    private interface Step {
        void run() throws IOException;
    }

    /** A call that answers a value. */
    private interface Call<T> {
        T run() throws IOException;
    }

    /** Runs a call, recording `what` before it and its failure, if any. */
    private void step(String what, Step step) throws IOException {
        trace.record(what);
        try {
            step.run();
        } catch (IOException | RuntimeException e) {
            trace.record("failed " + what + ": " + e.getMessage());
            throw e;
        }
    }

    /** Runs a call and records what it answered, as `what` and the answer, or its failure. */
    private <T> T read(String what, Call<T> call) throws IOException {
        try {
            T answer = call.run();
            trace.record(what + " " + answer);
            return answer;
        } catch (IOException | RuntimeException e) {
            trace.record("failed " + what + ": " + e.getMessage());
            throw e;
        }
    }

    @Override
    public String name() {
        return spied.name();
    }

    @Override
    public int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) throws IOException {
        return received(buffer, offset, () -> spied.read(buffer, offset, length, timeoutMillis, idleMicros));
    }

    @Override
    public int readMarked(byte[] buffer, ByteError[] errors, int offset, int length, int timeoutMillis)
            throws IOException {
        int got = received(buffer, offset, () -> spied.readMarked(buffer, errors, offset, length, timeoutMillis));
        for (int at = offset; at < offset + got; at++) {
            if (errors[at] != ByteError.NONE) {
                trace.record("rx error " + errors[at] + " at " + (at - offset));
            }
        }
        return got;
    }

    /** Runs a read, recording the bytes it took, the end of the stream or its failure. */
    private int received(byte[] buffer, int offset, Call<Integer> read) throws IOException {
        try {
            int got = read.run();
            if (got < 0) {
                trace.record("rx end");
            } else {
                trace.bytes("rx", buffer, offset, got);
            }
            return got;
        } catch (IOException | RuntimeException e) {
            trace.record("failed read: " + e.getMessage());
            throw e;
        }
    }

    @Override
    public void write(byte[] buffer, int offset, int length, int timeoutMillis) throws IOException {
        try {
            spied.write(buffer, offset, length, timeoutMillis);
            trace.bytes("tx", buffer, offset, length);
        } catch (IOException | RuntimeException e) {
            int sent = e instanceof java.io.InterruptedIOException partial ? partial.bytesTransferred : 0;
            if (sent > 0) {
                trace.bytes("tx", buffer, offset, sent);
            }
            trace.record("failed write: " + e.getMessage());
            throw e;
        }
    }

    @Override
    public int writeNow(byte[] buffer, int offset, int length) throws IOException {
        try {
            int sent = spied.writeNow(buffer, offset, length);
            if (sent > 0) {
                trace.bytes("tx", buffer, offset, sent);
            }
            return sent;
        } catch (IOException | RuntimeException e) {
            trace.record("failed write: " + e.getMessage());
            throw e;
        }
    }

    @Override
    public void whenWritable(Executor executor, Runnable task) {
        spied.whenWritable(executor, task);
    }

    @Override
    public int available() throws IOException {
        return spied.available();
    }

    @Override
    public void drain(int timeoutMillis) throws IOException {
        step("drain", () -> spied.drain(timeoutMillis));
    }

    @Override
    public void discard(boolean input) throws IOException {
        step("discard " + (input ? "input" : "output"), () -> spied.discard(input));
    }

    @Override
    public void setBreak(boolean on) throws IOException {
        step("break " + (on ? "on" : "off"), () -> spied.setBreak(on));
    }

    @Override
    public void setRts(boolean on) throws IOException {
        step("rts " + (on ? "on" : "off"), () -> spied.setRts(on));
    }

    @Override
    public void setDtr(boolean on) throws IOException {
        step("dtr " + (on ? "on" : "off"), () -> spied.setDtr(on));
    }

    @Override
    public ModemLines modemLines() throws IOException {
        return read("lines", spied::modemLines);
    }

    @Override
    public LineSettings settings() throws IOException {
        return read("settings", spied::settings);
    }

    @Override
    public void reconfigure(LineSettings settings) throws IOException {
        step("reconfigure " + settings, () -> spied.reconfigure(settings));
        trace.record("settings " + spied.settings());
    }

    @Override
    public LineCounters counters() throws IOException {
        return read("counters", spied::counters);
    }

    @Override
    public void setRs485(Optional<Rs485> mode) throws IOException {
        step("rs485 " + mode.map(Rs485::toString).orElse("off"), () -> spied.setRs485(mode));
    }

    @Override
    public Optional<Rs485> rs485() throws IOException {
        return read("rs485", spied::rs485);
    }

    @Override
    public void setLowLatency(boolean on) throws IOException {
        step("low-latency " + (on ? "on" : "off"), () -> spied.setLowLatency(on));
    }

    @Override
    public boolean isLowLatency() throws IOException {
        return read("low-latency", spied::isLowLatency);
    }

    @Override
    public Subscription listen(Set<SerialEventType> types, Executor executor, Consumer<SerialEvent> listener)
            throws IOException {
        trace.record("listen " + types);
        return spied.listen(types, executor, event -> {
            trace.record("event " + event.type() + " lines=" + event.lines() + " counters=" + event.counters());
            listener.accept(event);
        });
    }

    @Override
    public void close(int lingerMillis) {
        trace.record("close");
        spied.close(lingerMillis);
        trace.close();
    }

    @Override
    public Runnable releaser() {
        return spied.releaser();
    }
}
