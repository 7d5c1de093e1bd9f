package serialslots.trace;

import java.io.IOException;
import java.io.OutputStream;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Instant;
import java.time.ZoneOffset;
import java.time.format.DateTimeFormatter;
import serialslots.internal.Failures;

/**
 * The record a spy writes: one line per record, the time in UTC to the
 * microsecond, then what happened. A record that cannot be written is said
 * once on standard error; the connection goes on without a record.
 */
final class Trace {

    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("yyyy-MM-dd'T'HH:mm:ss.SSSSSS'Z'")
            .withZone(ZoneOffset.UTC);
    private static final char[] HEX = "0123456789ABCDEF".toCharArray();

    private final String name;
    private final String file;
    private Writer out;  // null once writing failed; guarded by this

    private Trace(String name, String file, Writer out) {
        this.name = name;
        this.file = file;
        this.out = out;
    }

    /** A record to {@code file}, appended, or to standard error for "-"; one that cannot be opened says so once. */
    static Trace to(String name, String file) {
        try {
            OutputStream stream = file.equals("-") ? System.err : Files.newOutputStream(Path.of(file),
                    java.nio.file.StandardOpenOption.CREATE, java.nio.file.StandardOpenOption.APPEND);
            return new Trace(name, file, new OutputStreamWriter(stream, StandardCharsets.UTF_8));
        } catch (IOException | RuntimeException cannotOpen) {
            System.err.println(Failures.cannotRecord(name, file, String.valueOf(cannotOpen.getMessage())));
            return new Trace(name, file, null);
        }
    }

    /** One record: the time, then the words. */
    synchronized void record(String words) {
        if (out == null) {
            return;
        }
        try {
            out.write(TIME.format(Instant.now()) + " " + words + "\n");
            out.flush();
        } catch (IOException e) {
            out = null;
            System.err.println(Failures.cannotRecord(name, file, e.getMessage()));
        }
    }

    /** "tx 3 41 42 0D |AB.|": bytes with their count, in hex and as text, non-printable ones as dots. */
    void bytes(String direction, byte[] bytes, int offset, int length) {
        StringBuilder words = new StringBuilder(direction.length() + length * 4 + 16).append(direction).append(' ')
                .append(length);
        for (int i = offset; i < offset + length; i++) {
            words.append(' ').append(HEX[(bytes[i] >> 4) & 0xF]).append(HEX[bytes[i] & 0xF]);
        }
        words.append(" |");
        for (int i = offset; i < offset + length; i++) {
            char c = (char) (bytes[i] & 0xFF);
            words.append(c >= ' ' && c < 0x7F ? c : '.');
        }
        record(words.append('|').toString());
    }

    synchronized void close() {
        if (out != null && !file.equals("-")) {
            try {
                out.close();
            } catch (IOException e) {
                System.err.println(Failures.cannotRecord(name, file, e.getMessage()));
            }
        }
        out = null;
    }
}
